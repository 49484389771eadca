// The state at load and the port-handle exports that touch only the table.
#include <gtest/gtest.h>

#include "interface/module_state.h"
#include "platform/virtual_platform.h"
#include "sadclink.h"

namespace {

using namespace sadc;

class ModuleAtLoad : public ::testing::Test {
protected:
    void SetUp() override { virt::Install(1234); }
    void TearDown() override { virt::Uninstall(); }
};

TEST_F(ModuleAtLoad, HoldsTheLoadValues) {
    for (PortHandle h : Module.PortTable) EXPECT_EQ(h, InvalidHandle);
    EXPECT_EQ(Module.CurrentPort, 1);
    EXPECT_EQ(Module.ReplyTimeout, 0.0);
    EXPECT_EQ(Module.RxChecksum, 0);
    EXPECT_EQ(Module.ScanCount, 0);
    for (std::uint8_t b : Module.ReplyBuffer) EXPECT_EQ(b, 0);
    EXPECT_EQ(Module.CommStatus.cbInQue, 0u);
    EXPECT_EQ(Module.ClockStart, 1234u);
}

TEST_F(ModuleAtLoad, GetComHandleReportsAClosedSlot) {
    SadcHandle out = nullptr;
    EXPECT_EQ(GetComHandle(&out), SADC_INVALID_HANDLE);
    EXPECT_EQ(out, SADC_INVALID_HANDLE);
}

TEST_F(ModuleAtLoad, SetComHandleAttachesToSlotOne) {
    SadcHandle h = reinterpret_cast<SadcHandle>(std::uintptr_t{0x4242});
    SetComHandle(h);
    EXPECT_EQ(Module.PortTable[1], 0x4242u);
    SadcHandle out = nullptr;
    EXPECT_EQ(GetComHandle(&out), h);
    EXPECT_EQ(out, h);
}

TEST_F(ModuleAtLoad, SetComHandleOverAnOpenSlotLeavesTheFormerHandleOpen) {
    virt::AddPort("COM2");
    PortHandle first = virt::OpenHandle("COM2");
    SetComHandle(reinterpret_cast<SadcHandle>(first));
    SetComHandle(reinterpret_cast<SadcHandle>(std::uintptr_t{0x99}));
    EXPECT_TRUE(virt::FindPort("COM2")->Open);
    EXPECT_NE(virt::PortOf(first), nullptr);
}

TEST_F(ModuleAtLoad, InvalidHandleMarksTheSlotClosed) {
    SetComHandle(reinterpret_cast<SadcHandle>(std::uintptr_t{0x77}));
    SetComHandle(SADC_INVALID_HANDLE);
    EXPECT_EQ(Module.PortTable[1], InvalidHandle);
}

TEST_F(ModuleAtLoad, NullPointersAreRefused) {
    EXPECT_EQ(GetVer(nullptr), 0);
    EXPECT_EQ(SignOn(nullptr), 0);
    EXPECT_EQ(GetOneScan(nullptr, nullptr), 0);
    Gconv(nullptr, nullptr);
    RemoveFromBuffer(1, nullptr);
    EXPECT_EQ(GetComHandle(nullptr), SADC_INVALID_HANDLE);
}

} // namespace

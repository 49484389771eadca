// The POSIX port layer on a real pseudo-terminal: a port in use cannot be
// opened a second time, neither by this process nor by another, and the
// descriptor does not leak into child processes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

using sadc::InvalidHandle;
using sadc::NativePlatform;
using sadc::PortHandle;

// A pseudo-terminal reachable as COM1 through a ports directory.
class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&Master, &Slave, nullptr, nullptr, nullptr), 0);
        char tmpl[] = "/tmp/sadclink-ports-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        Dir = tmpl;
        Link = Dir + "/COM1";
        ASSERT_EQ(symlink(ttyname(Slave), Link.c_str()), 0);
        // Only the library's opens should hold the tty.
        close(Slave);
        Slave = -1;
        setenv("SADCLINK_PORTS", Dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("SADCLINK_PORTS");
        unlink(Link.c_str());
        rmdir(Dir.c_str());
        if (Master >= 0) close(Master);
    }

    int Master = -1, Slave = -1;
    std::string Dir, Link;
};

TEST_F(PtyPort, ASecondOpenFailsCleanlyUntilTheFirstIsClosed) {
    PortHandle first = NativePlatform.OpenPort("COM1");
    ASSERT_NE(first, InvalidHandle);
    EXPECT_EQ(NativePlatform.OpenPort("COM1"), InvalidHandle);

    // Another process is kept out as well.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(NativePlatform.OpenPort("COM1") == InvalidHandle ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child opened a port in use";

    // The refused open did not disturb the first: it still carries bytes.
    EXPECT_NE(NativePlatform.ConfigureLine(first, "COM1:9600,n,8,1", 9600), 0);
    EXPECT_EQ(NativePlatform.WriteByte(first, 0x86), 1);
    unsigned char b = 0;
    EXPECT_EQ(read(Master, &b, 1), 1);
    EXPECT_EQ(b, 0x86);

    NativePlatform.ClosePort(first);
    PortHandle again = NativePlatform.OpenPort("COM1");
    EXPECT_NE(again, InvalidHandle) << "closing did not release the port";
    NativePlatform.ClosePort(again);
}

TEST_F(PtyPort, TheDescriptorIsNotInheritedAcrossExec) {
    PortHandle h = NativePlatform.OpenPort("COM1");
    ASSERT_NE(h, InvalidHandle);
    int fd = static_cast<int>(h);
    int flags = fcntl(fd, F_GETFD);
    ASSERT_NE(flags, -1);
    EXPECT_TRUE(flags & FD_CLOEXEC);

    // A program started from here does not find the descriptor open.
    std::string probe = "[ ! -e /proc/self/fd/" + std::to_string(fd) + " ]";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", probe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the port's descriptor leaked into a child";
    NativePlatform.ClosePort(h);
}

TEST_F(PtyPort, NamesOutsideThePortsAreRefused) {
    for (const char* name : {"COM2", "COM0", "COM", "COM1x", "LPT1", "COM-1", "COM99999999999"})
        EXPECT_EQ(NativePlatform.OpenPort(name), InvalidHandle) << name;
}

} // namespace

// The POSIX port table on a real pseudo-terminal: what the virtual platform
// cannot show. No timing is asserted.
#include <gtest/gtest.h>

#if defined(__linux__)

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

namespace {

struct PtyPort {
    int Master = -1;
    int Watcher = -1; // an open of the slave made before the library's, to read its flags
    std::string Dir;

    PtyPort() {
        Master = posix_openpt(O_RDWR | O_NOCTTY);
        if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) return;
        const char* slave = ptsname(Master);
        if (!slave) return;
        Watcher = open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
        char dir[] = "/tmp/sadclink-port-XXXXXX";
        if (!mkdtemp(dir)) return;
        Dir = dir;
        if (symlink(slave, (Dir + "/COM1").c_str()) != 0) Dir.clear();
        setenv("SADCLINK_PORTS", Dir.c_str(), 1);
    }
    ~PtyPort() {
        unsetenv("SADCLINK_PORTS");
        if (!Dir.empty()) {
            unlink((Dir + "/COM1").c_str());
            rmdir(Dir.c_str());
        }
        if (Watcher >= 0) close(Watcher);
        if (Master >= 0) close(Master);
    }
    bool Ready() const { return Master >= 0 && Watcher >= 0 && !Dir.empty(); }
};

#if defined(TIOCGEXCL)
// A pseudo-terminal keeps its tty while the master is open, so an exclusive
// flag left behind by a close would refuse every later open but root's: the
// second open of each sign-on would fail.
TEST(PosixPort, ExclusiveWhileOpenAndReleasedByClose) {
    PtyPort pty;
    ASSERT_TRUE(pty.Ready());
    for (int round = 0; round < 2; ++round) {
        sadc::PortHandle h = sadc::NativePlatform.OpenPort("COM1");
        ASSERT_NE(h, sadc::InvalidHandle) << "open " << round;
        int exclusive = 0;
        ASSERT_EQ(ioctl(pty.Watcher, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1) << "open " << round;
        sadc::NativePlatform.ClosePort(h);
        ASSERT_EQ(ioctl(pty.Watcher, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << "after close " << round;
    }
}
#endif

} // namespace

#endif

#include "tools/os_tools.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#include <io.h>
#include <process.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace sadc::cli {
namespace {

volatile std::sig_atomic_t InterruptCount = 0;

// Paths of the port link, kept in fixed buffers so that the signal handler
// can remove them without allocating.
char LinkPath[1024];
char LinkDir[1024];

void RemoveLinkNow() {
#if !defined(_WIN32)
    if (LinkPath[0]) unlink(LinkPath);
    if (LinkDir[0]) rmdir(LinkDir);
#endif
    LinkPath[0] = '\0';
    LinkDir[0] = '\0';
}

extern "C" void OnInterrupt(int) {
    InterruptCount = InterruptCount + 1;
    if (InterruptCount >= 2) {
        RemoveLinkNow();
        std::_Exit(130);
    }
#if defined(_WIN32)
    // The Windows runtime resets the handler before calling it.
    std::signal(SIGINT, OnInterrupt);
#endif
}

} // namespace

bool StderrIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

void InstallInterruptHandler() {
#if defined(_WIN32)
    std::signal(SIGINT, OnInterrupt);
#else
    struct sigaction sa{};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
#endif
}

bool Interrupted() { return InterruptCount > 0; }

std::string ExecutableDir() {
    std::string path;
#if defined(_WIN32)
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n > 0 && n < sizeof buf) path.assign(buf, n);
    std::size_t cut = path.find_last_of("\\/");
#else
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) path.assign(buf, static_cast<std::size_t>(n));
    std::size_t cut = path.find_last_of('/');
#endif
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::string DeviceProblem(const std::string& path) {
#if defined(_WIN32)
    (void)path;
    return "";
#else
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return path + " does not exist (is the adapter plugged in?)";
        return path + ": " + std::strerror(errno);
    }
    if (!S_ISCHR(st.st_mode)) return path + " is not a serial device";
    if (access(path.c_str(), R_OK | W_OK) != 0) {
        if (errno == EACCES)
            return "no permission to use " + path +
                   " (add yourself to its group, usually dialout, and log in again)";
        return path + ": " + std::strerror(errno);
    }
    return "";
#endif
}

std::string PortPath(int n) {
#if defined(_WIN32)
    (void)n;
    return "";
#else
    const char* dir = std::getenv("SADCLINK_PORTS");
    if (dir && *dir) return std::string(dir) + "/COM" + std::to_string(n);
    return "/dev/ttyS" + std::to_string(n - 1);
#endif
}

std::string LinkAsCom1(const std::string& target) {
#if defined(_WIN32)
    (void)target;
    return "device paths are not used on Windows; give --port COMn";
#else
    RemovePortLink();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sadc-port-XXXXXX";
    if (pattern.size() + 8 >= sizeof LinkDir) return "the temporary directory's name is too long";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (!mkdtemp(dir.data())) return std::string("could not make a temporary directory: ") + std::strerror(errno);
    std::snprintf(LinkDir, sizeof LinkDir, "%s", dir.data());
    std::snprintf(LinkPath, sizeof LinkPath, "%s/COM1", dir.data());
    if (symlink(target.c_str(), LinkPath) != 0) {
        std::string reason = std::string("could not link ") + LinkPath + " to " + target + ": " +
                             std::strerror(errno);
        LinkPath[0] = '\0';
        RemoveLinkNow();
        return reason;
    }
    setenv("SADCLINK_PORTS", LinkDir, 1);
    static bool registered = false;
    if (!registered) {
        std::atexit(RemovePortLink);
        registered = true;
    }
    return "";
#endif
}

void RemovePortLink() { RemoveLinkNow(); }

std::string TemporaryFile(const std::string& suffix) {
#if defined(_WIN32)
    char dir[MAX_PATH];
    DWORD n = GetTempPathA(sizeof dir, dir);
    std::string base = (n > 0 && n < sizeof dir) ? std::string(dir, n) : std::string(".\\");
    return base + "sadc-" + std::to_string(GetCurrentProcessId()) + suffix;
#else
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/sadc-" + std::to_string(getpid()) + suffix;
#endif
}

int RunProgram(const std::vector<std::string>& args) {
    if (args.empty()) return -1;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
#if defined(_WIN32)
    intptr_t r = _spawnvp(_P_WAIT, argv[0], argv.data());
    return r < 0 ? -1 : static_cast<int>(r);
#else
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
#endif
}

void ExecProgram(const std::vector<std::string>& args) {
    if (args.empty()) return;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
#if defined(_WIN32)
    _execvp(argv[0], argv.data());
#else
    execvp(argv[0], argv.data());
#endif
}

void CloseNativeHandle(SadcHandle h) {
    if (h == SADC_INVALID_HANDLE) return;
#if defined(_WIN32)
    CloseHandle(static_cast<HANDLE>(h));
#else
    close(static_cast<int>(reinterpret_cast<intptr_t>(h)));
#endif
}

void SleepSeconds(double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!Interrupted()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) break;
        auto step = std::chrono::duration<double>(end - now);
        if (step > std::chrono::milliseconds(50)) step = std::chrono::milliseconds(50);
        std::this_thread::sleep_for(step);
    }
}

} // namespace sadc::cli

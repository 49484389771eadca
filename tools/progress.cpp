#include "tools/progress.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <fmt/core.h>

#include "tools/os_tools.h"

namespace sadc::cli {
namespace {

constexpr std::size_t LineWidth = 79;
bool LineShown = false;
std::mutex LineLock;

void Draw(const std::string& text) {
    std::string t = text.size() > LineWidth ? text.substr(0, LineWidth) : text;
    std::lock_guard<std::mutex> hold(LineLock);
    std::fputs(("\r\033[K" + t).c_str(), stderr);
    std::fflush(stderr);
    LineShown = true;
}

} // namespace

std::string Bar(double done, double total, int width) {
    int filled = 0;
    if (total > 0 && done > 0) {
        double share = done >= total ? 1.0 : done / total;
        filled = static_cast<int>(share * width);
    }
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), ' ') + "]";
}

void ShowLiveLine(const std::string& text) {
    if (StderrIsTerminal()) Draw(text);
}

void ClearLiveLine() {
    std::lock_guard<std::mutex> hold(LineLock);
    if (!LineShown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    LineShown = false;
}

void RunWithProgress(const std::string& label, double expectedSeconds,
                     const std::function<void()>& work) {
    if (!StderrIsTerminal()) {
        work();
        return;
    }
    std::mutex m;
    std::condition_variable wake;
    bool done = false;
    auto start = std::chrono::steady_clock::now();
    std::thread drawer([&] {
        std::unique_lock<std::mutex> hold(m);
        // Quick calls draw nothing: no flicker for a sign-on of a second.
        if (wake.wait_for(hold, std::chrono::milliseconds(300), [&] { return done; })) return;
        while (!done) {
            double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (expectedSeconds > 0)
                Draw(fmt::format("{} {} {:.1f} / {:.1f} s", label, Bar(t, expectedSeconds, 20), t,
                                 expectedSeconds));
            else
                Draw(fmt::format("{} {:.1f} s", label, t));
            wake.wait_for(hold, std::chrono::milliseconds(200), [&] { return done; });
        }
    });
    work();
    {
        std::lock_guard<std::mutex> hold(m);
        done = true;
    }
    wake.notify_all();
    drawer.join();
    ClearLiveLine();
}

} // namespace sadc::cli

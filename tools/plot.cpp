// --plot: matplotlib draws the recorded CSV, through the helper script that
// sits beside the sadc executable (or in share/sadclink when installed).
#include <cstdio>
#include <cstdlib>

#include <fmt/core.h>

#include "tools/commands.h"
#include "tools/os_tools.h"

namespace sadc::cli {
namespace {

bool Exists(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    std::fclose(f);
    return true;
}

std::string FindScript() {
    std::string dir = ExecutableDir();
    const std::string candidates[] = {
        dir + "/sadc_plot.py",
        dir + "/../share/sadclink/sadc_plot.py",
#if defined(SADC_SOURCE_DIR)
        std::string(SADC_SOURCE_DIR) + "/tools/sadc_plot.py",
#endif
    };
    for (const std::string& c : candidates)
        if (Exists(c)) return c;
    return "";
}

// The interpreter: $SADC_PYTHON, else the system's own Python, which is the
// one Debian's python3-matplotlib belongs to.
std::string FindPython() {
    const char* chosen = std::getenv("SADC_PYTHON");
    if (chosen && *chosen) return chosen;
#if defined(_WIN32)
    return "python";
#else
    if (Exists("/usr/bin/python3")) return "/usr/bin/python3";
    return "python3";
#endif
}

} // namespace

std::string MakePlot(const std::string& csvPath, const std::string& plotPath, const std::string& title) {
    std::string script = FindScript();
    if (script.empty()) return Failed("making the plot", "the helper sadc_plot.py is not beside sadc");
    std::string python = FindPython();
    int status = RunProgram({python, script, csvPath, plotPath, "--title", title});
    if (status < 0) return Failed("making the plot", python + " could not be started (Debian: apt-get install python3-matplotlib)");
    if (status != 0) return Failed("making the plot", fmt::format("{} {} ended with status {}", python, script, status));
    return "";
}

} // namespace sadc::cli

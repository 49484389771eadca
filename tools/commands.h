// The subcommands of sadc: their settings and the functions that run them.
// Each returns the program's exit status and has told any failure on stderr.
#pragma once

#include <string>
#include <vector>

#include "tools/cli_common.h"

namespace sadc::cli {

int RunInfo(const CommonSettings& s);

struct DioSettings {
    CommonSettings Common;
    std::string Set; // output byte to set, "" to only read
};
int RunDio(const DioSettings& s);

struct CounterSettings {
    CommonSettings Common;
    int Counter = 0;
    int Value = 0;
};
int RunCounter(const CounterSettings& s);

struct CalSettings {
    CommonSettings Common;
    std::string Kind = "offset"; // offset, fullscale, system
    int Channel = 0;
    int Code = 0;
};
int RunCal(const CalSettings& s);

int RunSleep(const CommonSettings& s);

struct ReadSettings {
    CommonSettings Common;
    std::string Channels = "0";
    int Code = 0;
    int Count = 1;
    double Interval = 0.0;
    bool Csv = false;
    bool Counts = false;
    bool Settle = false;
    std::string Output; // "" for standard output
};
int RunRead(const ReadSettings& s);

struct ScanSettings {
    CommonSettings Common;
    int Mode = 1;
    std::string Channels = "0-3";
    int Code = 0;
    double Interval = 1.0;
    double Duration = 0.0; // 0: not given
    long Scans = 0;        // 0: not given
    bool Counts = false;
    bool Quiet = false; // no live line
    std::string Output; // CSV file, "" for standard output
    std::string Plot;   // .svg or .png, "" for none
    std::string Extra = "14,15"; // mode 2: channels of the two further conversions
    bool DigInByte = false;      // the further byte carries the digital inputs
    std::vector<int> Config;     // the six set-up bytes as given, empty to derive them
};
int RunScan(const ScanSettings& s);

// Draws a plot of a CSV file written by scan or read into an .svg or .png.
// Returns "" or the failure sentence.
std::string MakePlot(const std::string& csvPath, const std::string& plotPath, const std::string& title);

} // namespace sadc::cli

// sadc: the command-line program for the instrument. Every job goes through
// the library's 26 functions, as any application's would; with no --port or
// --device it runs against the built-in virtual instrument.
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include "tools/builtin_instrument.h"
#include "tools/commands.h"
#include "tools/os_tools.h"

using namespace sadc::cli;

namespace {

const char* MainFooter = R"(
Without --port or --device, sadc starts its built-in virtual instrument on a
pseudo-terminal and says so on stderr.

Examples:
  sadc info                                  the built-in virtual instrument
  sadc info --device /dev/ttyUSB0            a real instrument on a USB adapter
  sadc info --port COM3                      COM3 (Windows; on Linux /dev/ttyS2)
  sadc read --channels 0,2,5 --count 10 --interval 0.5
  sadc scan --channels 0-3 --interval 0.2 --duration 5 --output scan.csv --plot scan.svg
  sadc dio --set 0x0F
  sadc sim --link-dir /tmp/ports             the virtual instrument for other programs

Exit status: 0 on success, 1 when a step with the instrument failed (one
sentence on stderr names it), 2 for a wrong command line, 130 on Ctrl-C
before the job could finish.)";

CLI::App* Sub(CLI::App& app, const char* name, const char* what, const char* footer) {
    CLI::App* sub = app.add_subcommand(name, what);
    sub->footer(footer);
    return sub;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"sadc: check a data-acquisition instrument, take readings, record scans."};
    app.name("sadc");
    app.footer(MainFooter);
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", "sadc 1.0.0");

    CommonSettings info;
    CLI::App* infoCmd = Sub(app, "info", "Sign on and show the firmware version, output rate, mode bytes, "
                                         "digital inputs and whether the running checksum agrees",
                            R"(
Examples:
  sadc info
  sadc info --device /dev/ttyUSB0 --speed 9600
  sadc info --port COM3 --rate 50 --bits 16 --bipolar)");
    AddCommonOptions(*infoCmd, info);

    ReadSettings read;
    CLI::App* readCmd = Sub(app, "read", "Single conversions on one or more channels, as a table or CSV",
                            R"(
Values are on the instrument's 5000 full-scale unit (0..5000, or -5000..+5000
with --bipolar); --counts adds the raw converter counts.

Examples:
  sadc read                                  one reading of channel 0
  sadc read --channels 0,2,5 --count 10 --interval 1
  sadc read --channels 0-3 --count 100 --csv --counts > readings.csv
  sadc read --channels 1 --settle --filter 1 --device /dev/ttyUSB0)");
    AddCommonOptions(*readCmd, read.Common);
    readCmd->add_option("--channels", read.Channels, "Channels, such as 0,2,5 or 0-3")->capture_default_str();
    readCmd->add_option("--code", read.Code, "Low four bits of the channel code byte")->check(CLI::Range(0, 15));
    readCmd->add_option("--count", read.Count, "Readings of each channel")->check(CLI::Range(1, 100000000))->capture_default_str();
    readCmd->add_option("--interval", read.Interval, "Seconds from one round of readings to the next")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    readCmd->add_flag("--csv", read.Csv, "CSV instead of a table");
    readCmd->add_flag("--counts", read.Counts, "Add the raw counts");
    readCmd->add_flag("--settle", read.Settle, "Let the filter settle after each change of channel (8.5 s with --filter 0, else 0.5 s)");
    readCmd->add_option("--output,-o", read.Output, "Write CSV to this file instead of standard output");

    ScanSettings scan;
    CLI::App* scanCmd = Sub(app, "scan", "Continuous scanning in mode 0, 1 or 2, written as CSV",
                            R"(
The CSV has a header row, then one row per scan: the time of the scan on the
instrument's scan clock (seconds from the first scan) and one column per
channel, on the 5000 full-scale unit; --counts adds the raw counts. The scan
interval is checked against what the set-up allows before scanning starts.
Ctrl-C stops cleanly: the stop command is sent, the port closed and the CSV
complete up to the last scan.

Modes: 0 one channel converted continuously (its start waits for the filter
to settle, up to 12 s); 1 a scan of --channels, a run in order (0-3, 14,15,0);
2 as 1 with two further conversions of the --extra channels.

Examples:
  sadc scan --channels 0-3 --interval 0.2 --duration 5 -o scan.csv --plot scan.svg
  sadc scan --mode 0 --channels 2 --interval 0.05 --scans 100 --counts
  sadc scan --device /dev/ttyUSB0 --channels 0,1 --interval 1 -o long.csv   (Ctrl-C ends))");
    AddCommonOptions(*scanCmd, scan.Common);
    scanCmd->add_option("--mode", scan.Mode, "Scan mode")->check(CLI::IsMember({0, 1, 2}))->capture_default_str();
    scanCmd->add_option("--channels", scan.Channels, "Channels, such as 0-3 or 0,2,5 (default 0-3; mode 0: one channel, default 0)");
    scanCmd->add_option("--code", scan.Code, "Low four bits of the channel code; also the start command's argument")
        ->check(CLI::Range(0, 15));
    scanCmd->add_option("--interval", scan.Interval, "Scan interval in seconds, rounded to the scan clock")
        ->check(CLI::Range(0.0002, 16000.0))
        ->capture_default_str();
    auto* duration = scanCmd->add_option("--duration", scan.Duration, "Seconds of scanning")->check(CLI::PositiveNumber);
    auto* count = scanCmd->add_option("--scans", scan.Scans, "Number of scans")->check(CLI::PositiveNumber);
    duration->excludes(count);
    scanCmd->add_flag("--counts", scan.Counts, "Add the raw counts");
    scanCmd->add_flag("--quiet,-q", scan.Quiet, "No live line of the latest values");
    scanCmd->add_option("--output,-o", scan.Output, "CSV file (default standard output)");
    scanCmd->add_option("--plot", scan.Plot, "Also draw the scan into this .svg or .png file (needs python3-matplotlib)");
    scanCmd->add_option("--extra", scan.Extra, "Mode 2: the channels of the two further conversions")->capture_default_str();
    scanCmd->add_flag("--digin-byte", scan.DigInByte, "Each scan also carries the digital inputs (column digin)");
    scanCmd->add_option("--config", scan.Config, "The six set-up bytes downloaded at sign-on, as given (instead of "
                                                 "deriving them from --channels)")
        ->expected(6)
        ->check(CLI::Range(0, 255));

    DioSettings dio;
    CLI::App* dioCmd = Sub(app, "dio", "Read the digital inputs; set the outputs with --set",
                           R"(
Examples:
  sadc dio                                   show the eight input lines
  sadc dio --set 0x81                        outputs 7 and 0 on, then show the inputs
  sadc dio --set 0b00001111 --port COM3)");
    AddCommonOptions(*dioCmd, dio.Common);
    dioCmd->add_option("--set", dio.Set, "Output byte: decimal, 0x.. or 0b..");

    CounterSettings counter;
    CLI::App* counterCmd = Sub(app, "counter", "Load a count into counter 0, 1 or 2",
                               R"(
Examples:
  sadc counter 0 1000
  sadc counter 2 65535 --device /dev/ttyUSB0)");
    AddCommonOptions(*counterCmd, counter.Common);
    counterCmd->add_option("counter", counter.Counter, "Counter 0, 1 or 2")->required()->check(CLI::Range(0, 2));
    counterCmd->add_option("value", counter.Value, "Count 0..65535")->required()->check(CLI::Range(0, 65535));

    CalSettings cal;
    CLI::App* calCmd = Sub(app, "cal", "Calibrate the converter: offset, fullscale or system",
                           R"(
offset and fullscale calibrate on --channel (apply zero, or full scale, to its
input first); system calibrates at gain 1 on the instrument's internal
references, then offset again at --gain.

Examples:
  sadc cal offset --channel 1
  sadc cal fullscale --channel 1 --gain 8
  sadc cal system --gain 16)");
    AddCommonOptions(*calCmd, cal.Common);
    calCmd->add_option("kind", cal.Kind, "offset, fullscale or system")
        ->required()
        ->check(CLI::IsMember({"offset", "fullscale", "system"}));
    calCmd->add_option("--channel", cal.Channel, "Channel 0..15")->check(CLI::Range(0, 15));
    calCmd->add_option("--code", cal.Code, "Low four bits of the channel code byte")->check(CLI::Range(0, 15));

    CommonSettings sleep;
    CLI::App* sleepCmd = Sub(app, "sleep", "Send the instrument to sleep (the next sign-on wakes it)",
                             R"(
Examples:
  sadc sleep --device /dev/ttyUSB0)");
    AddCommonOptions(*sleepCmd, sleep);

    CLI::App* simCmd = Sub(app, "sim", "Run the virtual instrument behind a pseudo-terminal for other programs "
                                       "(the same as sadc-sim; sadc sim --help lists its options)",
                           "");
    simCmd->prefix_command();
    simCmd->set_help_flag();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        fmt::print(stderr, "sadc: {}\nRun 'sadc --help' or 'sadc COMMAND --help' for the options.\n", e.what());
        return ExitUsage;
    }

    if (*simCmd) return RunSimProgram(simCmd->remaining());
    // Ctrl-C lets a job end cleanly: the instrument stopped, the port closed,
    // the output complete.
    InstallInterruptHandler();
    if (*infoCmd) return RunInfo(info);
    if (*readCmd) return RunRead(read);
    if (*scanCmd) return RunScan(scan);
    if (*dioCmd) return RunDio(dio);
    if (*counterCmd) return RunCounter(counter);
    if (*calCmd) return RunCal(cal);
    if (*sleepCmd) return RunSleep(sleep);
    std::fputs(app.help().c_str(), stdout);
    return ExitOk;
}

// What sadc needs of the operating system beyond the library: terminals,
// signals, the temporary port link, helper programs. Kept here so that the
// rest of the program reads as plain calls.
#pragma once

#include <string>
#include <vector>

#include "sadclink.h"

namespace sadc::cli {

bool StderrIsTerminal();

// Ctrl-C: the first press asks the running job to stop at its next chance,
// the second ends the program at once (after removing the port link).
void InstallInterruptHandler();
bool Interrupted();

// The directory holding the running executable, "" if unknown.
std::string ExecutableDir();

// A reason why the device cannot be used as a serial port, "" if none seen.
std::string DeviceProblem(const std::string& path);

// The device behind the library's port name "COMn" (n = 1..16): the entry in
// $SADCLINK_PORTS, else /dev/ttyS(n-1). "" on Windows, where COMn is itself.
std::string PortPath(int n);

// Makes a private directory with the entry COM1 linking to target and points
// SADCLINK_PORTS at it, so the library's "COM1" is that device. Returns ""
// or the reason it failed. The link is removed at exit.
std::string LinkAsCom1(const std::string& target);
void RemovePortLink();

// A fresh file name in the temporary directory, ending in suffix.
std::string TemporaryFile(const std::string& suffix);

// Runs a program (searched on PATH unless a path is given) and waits for it.
// Returns its exit status, or -1 when it could not be started.
int RunProgram(const std::vector<std::string>& args);

// Replaces this process by another program; returns only on failure.
void ExecProgram(const std::vector<std::string>& args);

// Closes a port handle the library handed over with GetComHandle.
void CloseNativeHandle(SadcHandle h);

// Sleeps, waking early when Ctrl-C is pressed.
void SleepSeconds(double seconds);

} // namespace sadc::cli

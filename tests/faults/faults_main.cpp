// Faults end to end, in real time over a pseudo-terminal with the virtual
// instrument behind it, and a soak of continuous scanning.
//
//   sadclink_faults table          the fault table, as Markdown, on stdout
//   sadclink_faults soak SECONDS   scans at the shortest allowed interval
//
// The table: for each fault and each call, the status the caller saw, the
// time the call took against its bound, whether data reported as good was
// good, whether GetCheckSum then flagged the damage, and whether a SignOn
// with the fault gone brought everything back. The program fails when a
// status is not 0 or 1, a call outlasts its bound, a fault that lets nothing
// through is reported as success, damaged data taken for good escapes the
// checksum, or the connection does not come back.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "interface/module_state.h"
#include "rig.h"
#include "../call_bounds.h"

namespace {

using namespace sadc;
using bounds::Export;

// The scan buffer: room for many scans, far beyond the contract's need.
std::int32_t Buf[1 << 14];

std::uint32_t ExpectedCount(faults::Rig& rig, int channel) {
    std::uint32_t c = 0;
    sim::WithInstrument(rig.Sim, [&](sim::Instrument& inst, std::int64_t) {
        c = sim::CountFor(inst.Reg, inst.Cfg.Signals[static_cast<std::size_t>(channel)].Offset);
    });
    return c;
}

std::int32_t Word(int at, int bytes) {
    std::int32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v * 256 + Buf[at + i];
    return v;
}

// Which calls cannot honestly succeed under a fault.
enum class Blocks { Nothing, Replies, Everything };

struct Fault {
    const char* Name;
    sim::Faults F;
    Blocks Stops;
};

struct Row {
    std::string Fault, Call;
    int Status = -1;
    std::int32_t ErrorCode = 0;
    double TookMs = 0, BoundMs = 0;
    std::string Data = "—", Checksum = "—", Back = "no";
};

// A scan is no reply: it carries no echo and is not held back by the
// instrument's reply delay.
bool Stopped(Blocks b, Export e) {
    return b == Blocks::Everything || (b == Blocks::Replies && e != Export::GetOneScan);
}

bool CurrentHandleOpen() { return Module.PortTable[Module.CurrentPort] != InvalidHandle; }

bool SignedOnAndWell(faults::Rig& rig, DeviceRecord& r) {
    if (SignOn(&r) != 1) return false;
    if (GetVer(&r) != 1 || r.Version != 101) return false;
    if (SetChanCode(&r) != 1 || GetConversion(&r) != 1) return false;
    if (static_cast<std::uint32_t>(r.Counts) != ExpectedCount(rig, r.Channel)) return false;
    return GetCheckSum() == 1;
}

std::string Ms(double ms) {
    char b[32];
    if (ms < 10000) std::snprintf(b, sizeof b, "%.0f ms", ms);
    else std::snprintf(b, sizeof b, "%.1f s", ms / 1000);
    return b;
}

std::vector<Fault> AllFaults() {
    std::vector<Fault> faults;
    auto add = [&](const char* name, Blocks stops, std::function<void(sim::Faults&)> set) {
        sim::Faults f;
        f.Seed = 7;
        set(f);
        faults.push_back({name, f, stops});
    };
    add("none", Blocks::Nothing, [](sim::Faults&) {});
    add("noise bytes (30 % of bytes)", Blocks::Nothing, [](sim::Faults& f) { f.NoiseProbability = 0.3; });
    add("dropped bytes (30 % to the host)", Blocks::Nothing, [](sim::Faults& f) { f.DropProbability = 0.3; });
    add("dropped bytes (30 % from the host)", Blocks::Nothing, [](sim::Faults& f) { f.DropFromHostProbability = 0.3; });
    add("wrong echoes (bit 6 flipped)", Blocks::Replies, [](sim::Faults& f) { f.WrongEcho = true; });
    add("late replies (+3 s)", Blocks::Replies, [](sim::Faults& f) { f.LateMs = 3000; });
    add("silence", Blocks::Everything, [](sim::Faults& f) { f.Silent = true; });
    add("line gone (and back)", Blocks::Everything, [](sim::Faults& f) { f.LineGone = true; });
    return faults;
}

// One fault on its own pseudo-terminal, each call in turn; returns the rows
// that broke a rule.
int RunFault(const Fault& f, std::vector<Row>& rows) {
    faults::Rig rig;
    std::string err;
    if (!faults::OpenRig(rig, err)) {
        std::fprintf(stderr, "sadclink_faults: %s\n", err.c_str());
        return 1;
    }
    const Export calls[] = {Export::SignOn, Export::GetVer, Export::GetConversion, Export::GetOneScan};
    DeviceRecord r = faults::StandardRecord();
    int broken = 0;
    if (!SignedOnAndWell(rig, r)) {
        std::fprintf(stderr, "sadclink_faults: no sound connection to begin with\n");
        faults::CloseRig(rig);
        return 1;
    }
    for (Export e : calls) {
        Row row;
        row.Fault = f.Name;
        row.Call = bounds::Name(e);
        if (e == Export::GetOneScan) {
            // Mid-scan: the stream is running and one scan has come.
            if (StartScanning(&r) != 1 || GetOneScan(&r, Buf) != 1) {
                std::fprintf(stderr, "sadclink_faults: no scan to begin with\n");
                ++broken;
            }
            RemoveFromBuffer(Module.ScanCount, Buf);
        }
        if (e == Export::GetConversion) SetChanCode(&r);
        faults::SetFaults(rig, f.F);
        r.ErrorCode = 0;
        r.Version = 0;
        double bound = bounds::BoundMs(e, r, Module.ReplyTimeout);
        double start = faults::NowMs();
        switch (e) {
        case Export::SignOn: row.Status = SignOn(&r); break;
        case Export::GetVer: row.Status = GetVer(&r); break;
        case Export::GetConversion: row.Status = GetConversion(&r); break;
        default: row.Status = GetOneScan(&r, Buf); break;
        }
        row.TookMs = faults::NowMs() - start;
        row.BoundMs = bound;
        row.ErrorCode = r.ErrorCode;
        faults::SetFaults(rig, sim::Faults{});

        if (row.Status == 1) {
            bool right = true;
            if (e == Export::SignOn || e == Export::GetVer) right = r.Version == 101;
            if (e == Export::GetConversion)
                right = static_cast<std::uint32_t>(r.Counts) == ExpectedCount(rig, r.Channel);
            if (e == Export::GetOneScan)
                right = Module.ScanCount >= 6 && static_cast<std::uint32_t>(Word(0, 3)) == ExpectedCount(rig, 0) &&
                        static_cast<std::uint32_t>(Word(3, 3)) == ExpectedCount(rig, 1);
            row.Data = right ? "right" : "WRONG";
        }
        if (e == Export::GetOneScan) {
            RemoveFromBuffer(Module.ScanCount, Buf);
            StopScanning(&r);
        }
        // With the fault gone, does the running checksum show what passed?
        if (CurrentHandleOpen()) row.Checksum = GetCheckSum() == 1 ? "passes" : "flags it";
        if (SignedOnAndWell(rig, r)) row.Back = "yes";

        bool ok = (row.Status == 0 || row.Status == 1) && row.TookMs <= row.BoundMs && row.Back == "yes" &&
                  !(Stopped(f.Stops, e) && row.Status == 1) &&
                  // Data the line damaged and the call took for good must
                  // at least show in the running checksum.
                  !(row.Data == "WRONG" && row.Checksum != "flags it") &&
                  !(std::strcmp(f.Name, "none") == 0 && (row.Status != 1 || row.Data != "right"));
        if (!ok) ++broken;
        std::fprintf(stderr, "%-36s %-14s status %d  %8.0f ms of %8.0f  %s\n", f.Name, row.Call.c_str(),
                     row.Status, row.TookMs, row.BoundMs, ok ? "ok" : "BROKEN");
        rows.push_back(row);
    }
    faults::CloseRig(rig);
    return broken;
}

// Each fault runs in a process of its own (the library's state is one per
// process), all at once; the rows come back through a pipe, one a line.
int Table() {
    std::vector<Fault> faults = AllFaults();
    struct Child { pid_t Pid; int Fd; };
    std::vector<Child> children;
    for (const Fault& f : faults) {
        int fds[2];
        if (pipe(fds) != 0) return 1;
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid < 0) return 1;
        if (pid == 0) {
            close(fds[0]);
            std::vector<Row> rows;
            int broken = RunFault(f, rows);
            std::string out;
            for (const Row& row : rows)
                out += row.Fault + "\t" + row.Call + "\t" + std::to_string(row.Status) + "\t" +
                       std::to_string(row.ErrorCode) + "\t" + std::to_string(row.TookMs) + "\t" +
                       std::to_string(row.BoundMs) + "\t" + row.Data + "\t" + row.Checksum + "\t" + row.Back + "\n";
            for (std::size_t at = 0; at < out.size();) {
                ssize_t n = write(fds[1], out.data() + at, out.size() - at);
                if (n <= 0) break;
                at += static_cast<std::size_t>(n);
            }
            std::fflush(nullptr);
            _exit(broken > 100 ? 100 : broken);
        }
        close(fds[1]);
        children.push_back({pid, fds[0]});
    }
    std::vector<Row> rows;
    int broken = 0;
    for (const Child& c : children) {
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = read(c.Fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
        close(c.Fd);
        int status = 0;
        waitpid(c.Pid, &status, 0);
        broken += WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        for (std::size_t at = 0; at < text.size();) {
            std::size_t eol = text.find('\n', at);
            std::vector<std::string> f;
            std::size_t p = at;
            for (std::size_t tab; (tab = text.find('\t', p)) < eol; p = tab + 1) f.push_back(text.substr(p, tab - p));
            f.push_back(text.substr(p, eol - p));
            at = eol + 1;
            if (f.size() != 9) continue;
            Row row;
            row.Fault = f[0];
            row.Call = f[1];
            row.Status = std::atoi(f[2].c_str());
            row.ErrorCode = std::atoi(f[3].c_str());
            row.TookMs = std::atof(f[4].c_str());
            row.BoundMs = std::atof(f[5].c_str());
            row.Data = f[6];
            row.Checksum = f[7];
            row.Back = f[8];
            rows.push_back(row);
        }
    }

    std::printf("| Fault | Call | Status | ErrorCode | Took | Bound | Data if 1 | GetCheckSum after | SignOn brings it back |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        std::string code = row.Call == "GetConversion" || row.Call == "GetOneScan"
                               ? (row.Status == 1 ? "kept" : std::to_string(row.ErrorCode))
                               : "—";
        std::printf("| %s | `%s` | %d | %s | %s | %s | %s | %s | %s |\n", row.Fault.c_str(), row.Call.c_str(),
                    row.Status, code.c_str(), Ms(row.TookMs).c_str(), Ms(row.BoundMs).c_str(), row.Data.c_str(),
                    row.Checksum.c_str(), row.Back.c_str());
    }
    std::size_t expected = faults.size() * 4;
    if (rows.size() != expected) broken += static_cast<int>(expected - std::min(expected, rows.size()));
    std::printf("\nfaults: %zu passed, %d failed\n", expected - std::min<std::size_t>(expected, static_cast<std::size_t>(broken)), broken);
    return broken == 0 ? 0 : 1;
}

} // namespace

int Soak(double seconds);

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "table") == 0) return Table();
    if (argc >= 3 && std::strcmp(argv[1], "soak") == 0) return Soak(std::atof(argv[2]));
    std::fprintf(stderr, "usage: sadclink_faults table | soak SECONDS\n");
    return 2;
}

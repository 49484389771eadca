#!/usr/bin/env python3
"""Checks, without running it, that every export of a SADCLINK.dll removes
exactly its argument bytes on return.

32-bit exports are stdcall: each return must be `ret $N` with N the bytes of
its arguments (12 for Counts2Volts, WriteCntr and CheckScanTime; 8 for
GetOneScan, Gconv and RemoveFromBuffer; 0 for GetCheckSum, CloseDevice and
GotoSleep; 4 for the others). In the 64-bit convention the caller removes the
arguments, so every return must be a plain `ret`.

The code is disassembled with objdump and walked from each export's entry,
following branches and direct jumps (tail calls included) to every return
the export can reach. A path the walk cannot follow (an indirect jump) fails
the check rather than being passed over.

Usage: check_cleanup.py SADCLINK.dll [objdump]
"""
import re
import subprocess
import sys

ARG_BYTES = {
    "SignOn": 4, "RemoteAvg": 4, "FullScaleCal": 4, "OffsetCal": 4, "SysCal": 4,
    "Counts2Volts": 12, "GetDigIn": 4, "SetDigOut": 4, "GetVer": 4, "GetConversion": 4,
    "SetChanCode": 4, "StartScanning": 4, "GetOneScan": 8, "StopScanning": 4, "Gconv": 8,
    "RemoveFromBuffer": 8, "SetFilter": 4, "SendADMode": 4, "GetCheckSum": 0,
    "CloseDevice": 0, "GotoSleep": 0, "WriteCntr": 12, "FilterDelay": 4,
    "CheckScanTime": 12, "GetComHandle": 4, "SetComHandle": 4,
}

INSN = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")
LABEL = re.compile(r"^([0-9a-f]+) <(.+)>:$")
STOPS = {"ud2", "int3", "hlt"}


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def exports(objdump, dll):
    """Entry addresses of the named exports, and whether the image is 64-bit."""
    text = run([objdump, "-p", dll])
    wide = "pei-x86-64" in text
    base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", text, re.M).group(1), 16)
    rvas = {}
    for m in re.finditer(r"^\s*\[\s*(\d+)\] \+base\[\s*\d+\]\s+([0-9a-f]+) Export RVA", text, re.M):
        rvas[int(m.group(1))] = int(m.group(2), 16)
    names = {}
    table = text.split("[Ordinal/Name Pointer] Table", 1)[-1]
    for m in re.finditer(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", table, re.M):
        names[m.group(2)] = base + rvas[int(m.group(1))]
    return names, wide


def disassemble(objdump, dll):
    """Every instruction of the code, by address, and the addresses where a symbol starts."""
    code, starts = {}, set()
    order = []
    for line in run([objdump, "-d", "--no-show-raw-insn", dll]).splitlines():
        m = LABEL.match(line)
        if m:
            starts.add(int(m.group(1), 16))
            continue
        m = INSN.match(line)
        if m:
            addr = int(m.group(1), 16)
            code[addr] = (m.group(2), m.group(3).split("#")[0].strip())
            order.append(addr)
    following = {a: b for a, b in zip(order, order[1:])}
    return code, following, starts


def direct_target(operands):
    m = re.match(r"^([0-9a-f]+)(\s|$)", operands)
    return int(m.group(1), 16) if m else None


def returns_of(entry, code, following, starts):
    """The bytes each reachable return removes, and the problems met on the way."""
    removed, problems, seen = [], [], set()
    work = [entry]
    while work:
        addr = work.pop()
        first = True
        while addr is not None and addr not in seen:
            if addr in starts and not first and addr != entry:
                break  # ran off the end of a function after a call that does not return
            first = False
            seen.add(addr)
            if addr not in code:
                problems.append(f"no instruction at {addr:#x}")
                break
            mnemonic, operands = code[addr]
            op = mnemonic.rstrip("lqw") if mnemonic.startswith("ret") else mnemonic
            if op == "ret":
                m = re.match(r"^\$0x([0-9a-f]+)", operands)
                removed.append((addr, int(m.group(1), 16) if m else 0))
                break
            if mnemonic in STOPS:
                break
            if mnemonic.startswith("jmp"):
                target = direct_target(operands)
                if target is None:
                    problems.append(f"indirect jump at {addr:#x}: {mnemonic} {operands}")
                else:
                    work.append(target)
                break
            if mnemonic.startswith("j") or mnemonic.startswith("loop"):
                target = direct_target(operands)
                if target is not None:
                    work.append(target)
            addr = following.get(addr)
    return removed, problems


def main():
    dll = sys.argv[1]
    objdump = sys.argv[2] if len(sys.argv) > 2 else "objdump"
    entries, wide = exports(objdump, dll)
    code, following, starts = disassemble(objdump, dll)
    failed = 0
    for name, stdcall_bytes in ARG_BYTES.items():
        expected = 0 if wide else stdcall_bytes
        if name not in entries:
            print(f"{name}: not exported")
            failed += 1
            continue
        removed, problems = returns_of(entries[name], code, following, starts)
        wrong = [(a, n) for a, n in removed if n != expected]
        if not removed:
            problems.append("no return found")
        for a, n in wrong:
            problems.append(f"return at {a:#x} removes {n} bytes, expected {expected}")
        if problems:
            failed += 1
            print(f"{name}: " + "; ".join(problems))
    kind = "64-bit: the caller removes the arguments, every return is a plain ret" if wide else \
        "32-bit stdcall: every return removes exactly the argument bytes"
    if failed:
        print(f"{dll}: {failed} exports fail ({kind})")
        return 1
    print(f"{dll}: {len(ARG_BYTES)} exports checked, {kind}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

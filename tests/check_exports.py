#!/usr/bin/env python3
"""Checks a SADCLINK.dll's export directory with objdump -p: the module name,
the 26 undecorated names at ordinals 1 to 26, nothing else exported, and
imports from Windows system DLLs only."""
import re
import subprocess
import sys

EXPORTS = """SignOn RemoteAvg FullScaleCal OffsetCal SysCal Counts2Volts GetDigIn
SetDigOut GetVer GetConversion SetChanCode StartScanning GetOneScan StopScanning
Gconv RemoveFromBuffer SetFilter SendADMode GetCheckSum CloseDevice GotoSleep
WriteCntr FilterDelay CheckScanTime GetComHandle SetComHandle""".split()
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll"}


def main():
    dll, objdump = sys.argv[1], (sys.argv[2] if len(sys.argv) > 2 else "objdump")
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    problems = []
    name = re.search(r"^Name\s+\S+\s+(\S+)", text, re.M)
    if not name or name.group(1) != "SADCLINK.dll":
        problems.append(f"module name is {name.group(1) if name else None}, not SADCLINK.dll")
    base = re.search(r"Ordinal Base (\d+)", text)
    base = int(base.group(1)) if base else 0
    table = text.split("[Ordinal/Name Pointer] Table", 1)[-1]
    found = {}
    for m in re.finditer(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", table, re.M):
        found[m.group(2)] = int(m.group(1)) + base
    for ordinal, fn in enumerate(EXPORTS, 1):
        if found.get(fn) != ordinal:
            problems.append(f"{fn}: ordinal {found.get(fn)}, expected {ordinal}")
    for extra in sorted(set(found) - set(EXPORTS)):
        problems.append(f"unexpected export {extra}")
    for imp in re.findall(r"DLL Name: (\S+)", text):
        if imp.lower() not in SYSTEM_DLLS:
            problems.append(f"imports from {imp}, not a Windows system DLL")
    if problems:
        print("\n".join(problems))
        return 1
    print(f"{dll}: 26 exports at ordinals 1-26, module SADCLINK.dll, system imports only")
    return 0


if __name__ == "__main__":
    sys.exit(main())

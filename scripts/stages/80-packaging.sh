#!/usr/bin/env bash
# Packaging, as a user meets it: cmake --install into a temporary prefix; a
# consumer built against that tree through find_package and through
# pkg-config; the C examples built from their installed sources; the Python
# package's tests and examples run from the installed tree; the Debian package
# built, inspected and used unpacked; the Windows zip assembled and linked
# against. Against the virtual instrument (sadc-sim on a pseudo-terminal) where
# it is built, else checking that sign-on fails cleanly without one.
set -euo pipefail
ROOT="${SADCLINK_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
cd "$ROOT"
JOBS="${JOBS:-2}"
# Debian's interpreter, which has python3-pytest, -numpy and -matplotlib.
PY="${SADCLINK_PYTHON:-$( [ -x /usr/bin/python3 ] && echo /usr/bin/python3 || command -v python3)}"

step() { echo "--- $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }
# Every program run here has a bound, so a hang fails the stage.
bounded() { timeout --kill-after=10 "$@"; }

WORK="$ROOT/build-pkg/stage"
rm -rf "$WORK"
mkdir -p "$WORK/no-ports"
PREFIX="$WORK/prefix"

# --- Build, as a distribution would: prefix /usr, no tests ------------------
step "build (prefix /usr, Release)"
cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DSADCLINK_TESTS=OFF >/dev/null
cmake --build build-pkg -j "$JOBS"

# --- cmake --install into a temporary prefix --------------------------------
step "cmake --install --prefix $PREFIX"
cmake --install build-pkg --prefix "$PREFIX" >/dev/null
LIBDIR=$(dirname "$(find "$PREFIX" -name 'libsadclink.so.1.0.0' | head -1)")
PYDIR=$(dirname "$(find "$PREFIX" -path '*/sadclink/__init__.py' | head -1)")
PYDIR=$(dirname "$PYDIR")
for f in include/sadclink.h "${LIBDIR#$PREFIX/}/libsadclink.so" "${LIBDIR#$PREFIX/}/libsadclink.so.1" \
         "${LIBDIR#$PREFIX/}/pkgconfig/sadclink.pc" "${LIBDIR#$PREFIX/}/cmake/sadclink/sadclinkConfig.cmake" \
         "${LIBDIR#$PREFIX/}/cmake/sadclink/sadclinkConfigVersion.cmake" bin/sadc \
         share/doc/sadclink/examples/c/read_channel.c; do
  [ -e "$PREFIX/$f" ] || fail "not installed: $f"
done
[ "$(readelf -d "$LIBDIR/libsadclink.so.1.0.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')" = libsadclink.so.1 ] \
  || fail "the SONAME is not libsadclink.so.1"
exports=$(nm -D --defined-only "$LIBDIR/libsadclink.so.1" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')
want=$(grep -oE 'SADC_CALL [A-Za-z0-9]+\(' include/sadclink.h | sed 's/SADC_CALL //; s/(//' | sort | tr '\n' ' ')
[ "$exports" = "$want" ] || fail "libsadclink.so.1 exports [$exports], not the 26 functions [$want]"
# sadc-sim is installed where its target is built.
SIM=""
if [ -x "$PREFIX/bin/sadc-sim" ]; then SIM="$PREFIX/bin/sadc-sim"; fi
echo "installed: $(cd "$PREFIX" && find . -type f | wc -l) files; library in ${LIBDIR#$PREFIX/}," \
     "Python package in ${PYDIR#$PREFIX/}; sadc-sim: ${SIM:-not built}"

# Runs a program against the instrument, or checks it fails cleanly without one.
with_instrument() { SADCLINK_SIM="$SIM" bounded 300 "$PY" python/tests/simulator.py -- "$@"; }
without_instrument() { SADCLINK_PORTS="$WORK/no-ports" bounded 60 "$@"; }

# A scan CSV of 5 scans of channels 0..3: sadc-sim's channel k reads 250 * (k + 1).
check_scan_csv() {
  "$PY" - "$1" <<'EOF' || fail "$1 does not hold the instrument's signals"
import csv, sys
rows = list(csv.reader(open(sys.argv[1])))
assert rows[0] == ["time_s", "ch0", "ch1", "ch2", "ch3"], rows[0]
assert len(rows) == 6, f"{len(rows) - 1} scans"
for row in rows[1:]:
    for k, v in enumerate(row[1:]):
        assert abs(float(v) - 250 * (k + 1)) < 0.5, row
print(f"{sys.argv[1]}: 5 scans, each channel at its signal")
EOF
}

# --- The consumer, once through find_package, once through pkg-config -------
consumers() { # $1: prefix to build against, $2: label
  local prefix=$1 label=$2 pcdir
  pcdir=$(dirname "$(find "$prefix" -name sadclink.pc | head -1)")
  step "$label: consumer through find_package(sadclink)"
  cmake -S examples/consumer -B "$WORK/$label-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    | grep 'sadclink 1.0.0 from' || fail "find_package(sadclink) did not find the $label tree"
  cmake --build "$WORK/$label-cmake" >/dev/null
  step "$label: consumer through pkg-config"
  [ "$(PKG_CONFIG_PATH="$pcdir" pkg-config --modversion sadclink)" = 1.0.0 ] || fail "pkg-config version"
  # shellcheck disable=SC2046
  cc -std=c11 -Wall -Wextra -Werror -Wconversion examples/consumer/consumer.c \
    $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs sadclink) -o "$WORK/$label-consumer-pc"
  local libdir
  libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir sadclink)
  # find_package's consumer finds the library through its RUNPATH; the
  # pkg-config one, as any -L build, through LD_LIBRARY_PATH.
  without_instrument "$WORK/$label-cmake/consumer" none COM1
  LD_LIBRARY_PATH="$libdir" without_instrument "$WORK/$label-consumer-pc" none COM1
  if [ -n "$SIM" ]; then
    with_instrument "$WORK/$label-cmake/consumer" COM1
    LD_LIBRARY_PATH="$libdir" with_instrument "$WORK/$label-consumer-pc" COM1
  fi
}
consumers "$PREFIX" installed

# --- The C examples, built from their installed sources ---------------------
step "C examples from $PREFIX/share/doc/sadclink/examples/c"
cmake -S "$PREFIX/share/doc/sadclink/examples/c" -B "$WORK/examples-c" -G Ninja \
  -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror -Wconversion" >/dev/null
cmake --build "$WORK/examples-c" >/dev/null
if [ -n "$SIM" ]; then
  with_instrument "$WORK/examples-c/read_channel" COM1 0 3
  with_instrument "$WORK/examples-c/scan_csv" COM1 5 "$WORK/scan-c.csv"
  check_scan_csv "$WORK/scan-c.csv"
else
  out=$(without_instrument "$WORK/examples-c/read_channel" COM1 2>&1) && fail "read_channel succeeded with no instrument"
  echo "$out" | grep -q "no instrument signed on at COM1" || fail "read_channel said: $out"
  echo "read_channel without an instrument: $out"
fi

# --- The Python package, from the installed tree ----------------------------
step "pytest on the installed Python package"
export PYTHONPATH="$PYDIR"
where=$("$PY" -c 'import sadclink; print(sadclink.__file__, sadclink.library()._name)')
case "$where" in "$PREFIX"/*" $LIBDIR/"*) ;; *) fail "Python took sadclink from elsewhere: $where" ;; esac
set +e
SADCLINK_HEADER="$PREFIX/include/sadclink.h" SADCLINK_SIM="$SIM" \
  bounded 600 "$PY" -m pytest -q -rs -p no:cacheprovider python/tests
rc=$?
set -e
[ $rc -eq 5 ] && fail "pytest collected no tests"
[ $rc -eq 0 ] || fail "pytest exited with $rc"

step "Python examples"
if [ -n "$SIM" ]; then
  with_instrument "$PY" examples/python/read_channel.py --port COM1 --count 3
  with_instrument "$PY" examples/python/scan_csv.py --port COM1 --scans 5 --out "$WORK/scan-py.csv"
  check_scan_csv "$WORK/scan-py.csv"
  CSV="$WORK/scan-py.csv"
else
  out=$(without_instrument "$PY" examples/python/read_channel.py 2>&1) && fail "read_channel.py succeeded with no instrument"
  echo "$out" | grep -q "SignOn failed: no instrument signed on at COM1" || fail "read_channel.py said: $out"
  echo "read_channel.py without an instrument: $out"
  # No scan to plot: the plot example gets a CSV of the same form.
  CSV="$WORK/scan-made.csv"
  printf 'time_s,ch0,ch1\n0.0000,1250.0,3750.0\n0.5000,1300.0,3700.0\n1.0000,1350.0,3650.0\n' > "$CSV"
fi
bounded 120 "$PY" examples/python/plot_scan.py "$CSV" "$WORK/scan.png"
[ "$(head -c 8 "$WORK/scan.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] || fail "scan.png is not a PNG"
unset PYTHONPATH

# --- The Debian package --------------------------------------------------------
step "cpack -G DEB"
(cd build-pkg && cpack -G DEB -B "$WORK/deb" >/dev/null)
DEB=$(ls "$WORK"/deb/sadclink_1.0.0_*.deb)
dpkg-deb -I "$DEB" > "$WORK/deb-info.txt"
dpkg-deb -c "$DEB" > "$WORK/deb-files.txt"
grep -E '^ (Package|Version|Architecture|Depends):' "$WORK/deb-info.txt"
grep -q '^ Depends:.*libc6' "$WORK/deb-info.txt" || fail "the package does not depend on libc6"
for f in ./usr/include/sadclink.h "./usr/${LIBDIR#$PREFIX/}/libsadclink.so.1 -> " \
         "./usr/${LIBDIR#$PREFIX/}/pkgconfig/sadclink.pc" "./usr/${LIBDIR#$PREFIX/}/cmake/sadclink/sadclinkConfig.cmake" \
         ./usr/lib/python3/dist-packages/sadclink/__init__.py ./usr/bin/sadc ${SIM:+./usr/bin/sadc-sim}; do
  grep -qF "$f" "$WORK/deb-files.txt" || fail "the package lacks $f"
done
step "the Debian package's files, unpacked, used as they are"
dpkg-deb -x "$DEB" "$WORK/debroot"
consumers "$WORK/debroot/usr" deb
PYTHONPATH="$WORK/debroot/usr/lib/python3/dist-packages" "$PY" -c \
  'import sadclink; print("Python loads", sadclink.library()._name)'

# --- The Windows zip -------------------------------------------------------------
step "Windows zip (32- and 64-bit DLLs)"
bash scripts/windows-zip.sh "$WORK/zip" >/dev/null
ZIP=$(ls "$WORK"/zip/sadclink-1.0.0-windows.zip)
"$PY" - "$ZIP" "$WORK/zipx" <<'EOF'
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
names = set(z.namelist())
top = "sadclink-1.0.0-windows/"
want = [top + n for n in ["README.md", "include/sadclink.h", "python/sadclink/__init__.py"]]
for arch in ("x86", "x64"):
    want += [f"{top}{arch}/{n}" for n in ["SADCLINK.dll", "libSADCLINK.dll.a", "SADCLINK.lib", "SADCLINK.def",
                                          "cmake/sadclinkConfig.cmake"]]
missing = [n for n in want if n not in names]
if missing:
    sys.exit(f"the zip lacks {missing}")
z.extractall(sys.argv[2])
print(f"{sys.argv[1]}: {len(names)} entries")
EOF
Z="$WORK/zipx/sadclink-1.0.0-windows"
for arch in x86:i686 x64:x86_64; do
  a=${arch%%:*}; tc=${arch#*:}-w64-mingw32
  # A caller compiled against the header links with either import library.
  "$tc-gcc" -std=c11 -Wall -Wextra -Werror -I "$Z/include" examples/consumer/consumer.c -L "$Z/$a" -lSADCLINK \
    -o "$WORK/consumer-$a-mingw.exe"
  "$tc-gcc" -std=c11 -I "$Z/include" examples/consumer/consumer.c "$Z/$a/SADCLINK.lib" -o "$WORK/consumer-$a-lib.exe"
  imports=$("$tc-objdump" -p "$WORK/consumer-$a-lib.exe")
  grep -q 'DLL Name: SADCLINK.dll' <<<"$imports" || fail "the $a consumer does not import SADCLINK.dll"
  if [ "$a" = x86 ]; then
    for implib in SADCLINK.lib libSADCLINK.dll.a; do
      symbols=$("$tc-nm" "$Z/x86/$implib")
      grep -q ' T _SignOn@4$' <<<"$symbols" || fail "the 32-bit $implib lacks the stdcall name _SignOn@4"
    done
  fi
done
echo "packaging: install, find_package, pkg-config, pytest, examples, .deb and zip all checked"

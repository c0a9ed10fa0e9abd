#!/bin/sh
# Prints the shape of Windows this machine's tests run in: win32 where the machine can execute
# 32-bit x86 code (the shipped exe runs in 32-bit prefixes), win64 where it cannot (the x86-64
# twin of the same sources runs in 64-bit prefixes). TEMBRIX_TEST_ARCH=win32|win64 overrides it.
#   tools/shape.sh          the shape
#   tools/shape.sh --why    the shape and why, in one line
# The probe is a 96-byte 32-bit ELF program that only exits with 42: no loader, no library, so
# it runs wherever the kernel runs 32-bit code at all, and nowhere else. Where it runs but
# tools/install-deps.sh could not install 32-bit Wine, it leaves build/shape/no-wine32 and the twin
# runs, so that a broken mirror costs the 32-bit runs and not the whole test.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

probe() {
  dir="$root/build/shape"
  mkdir -p "$dir"
  printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\052\000\000\000\315\200' >"$dir/exit42"
  chmod +x "$dir/exit42"
  rc=0
  "$dir/exit42" 2>/dev/null || rc=$?
  [ "$rc" -eq 42 ]
}

case "${TEMBRIX_TEST_ARCH:-}" in
  win32|win64) shape=$TEMBRIX_TEST_ARCH; why="TEMBRIX_TEST_ARCH=$TEMBRIX_TEST_ARCH asks for it" ;;
  "")
    if ! probe; then shape=win64; why="this machine cannot run 32-bit x86 code"
    elif [ -f "$root/build/shape/no-wine32" ]; then
      shape=win64; why="this machine runs 32-bit x86 code, but the package mirror gave no 32-bit Wine"
    else shape=win32; why="this machine runs 32-bit x86 code"; fi ;;
  *) echo "shape.sh: TEMBRIX_TEST_ARCH must be win32 or win64, not '$TEMBRIX_TEST_ARCH'" >&2; exit 2 ;;
esac

if [ "${1:-}" = "--why" ]; then echo "$shape: $why"; else echo "$shape"; fi

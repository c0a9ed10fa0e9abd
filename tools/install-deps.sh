#!/bin/sh
# Installs, from Debian's packages, exactly what the build and the tests need and is not there yet.
# Idempotent: a machine that already has everything costs one dpkg query and nothing else.
set -eu

need=""
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# The 32-bit cross toolchain builds what ships, on every machine. apache2-bin is Apache httpd
# without its service: the TLS tests start their own, on a loopback address.
PACKAGES="
  cmake make g++ googletest clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine64 xvfb xauth locales fonts-nanum file
  python3 python3-pytest iproute2 imagemagick x11-utils
  chromium nodejs msitools wixl osslsigncode openssl apache2-bin
"

# Where 32-bit code runs, 32-bit Wine runs the shipped exe. Where it cannot, the x86-64 twin runs
# under 64-bit Wine alone: wine32 would only make Debian's wine wrapper pick a loader that fails.
shape=$("$(dirname "$0")/shape.sh")
if [ "$shape" = win32 ]; then
  PACKAGES="$PACKAGES wine wine32:i386"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
else
  PACKAGES="$PACKAGES g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev"
fi

for p in $PACKAGES; do
  have "$p" || need="$need $p"
done
# Some nodejs builds bring npm along; Debian's own nodejs needs its npm package.
command -v npm >/dev/null 2>&1 || need="$need npm"

if [ -n "$need" ]; then
  echo "install-deps: installing:$need"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync serves an index of the wrong size for a while. An index that failed
  # matters only if the install then fails for it: try both again, a few times.
  tries=0
  # shellcheck disable=SC2086
  until apt-get update -qq; apt-get install -y -qq --no-install-recommends $need >/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 6 ] || exit 100
    echo "install-deps: the package mirror failed (try $tries of 6); again in 30 s"
    sleep 30
  done
fi

# Wine must run in a Korean ANSI code page (949) for the tests; the locale has to exist for that.
if ! locale -a 2>/dev/null | grep -qi '^ko_KR\.utf-\?8$'; then
  echo "install-deps: generating ko_KR.UTF-8"
  if [ -f /etc/locale.gen ] && grep -q '^# *ko_KR.UTF-8' /etc/locale.gen; then
    sed -i 's/^# *\(ko_KR.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    locale-gen >/dev/null
  else
    localedef -i ko_KR -f UTF-8 ko_KR.UTF-8
  fi
fi
exit 0

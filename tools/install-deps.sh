#!/bin/sh
# Installs, from Debian's packages, exactly what the build and the tests need and is not there yet.
# Idempotent: a machine that already has everything costs one dpkg query and nothing else, except
# where an earlier run could not get 32-bit Wine: each run asks the mirror for it again.
set -eu

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

TWIN_TOOLCHAIN="g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev"
here=$(dirname "$0")
no_wine32="$here/../build/shape/no-wine32"

# Those of the packages named that are not installed yet.
missing() {
  out=""
  for p in "$@"; do have "$p" || out="$out $p"; done
  echo "$out"
}

# A mirror caught mid-sync serves an index of the wrong size for a while. An index that failed
# matters only if the install then fails for it: try both again, a few times.
install() {
  [ -n "$*" ] || return 0
  echo "install-deps: installing: $*"
  tries=0
  until apt-get update -qq; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 6 ] || return 1
    echo "install-deps: the package mirror failed (try $tries of 6); again in 30 s"
    sleep 30
  done
}

# Where 32-bit code runs, 32-bit Wine runs the shipped exe. Where it cannot, the x86-64 twin runs
# under 64-bit Wine alone: wine32 would only make Debian's wine wrapper pick a loader that fails.
# The shape is asked afresh: a mirror that failed before may serve 32-bit Wine now.
rm -f "$no_wine32"
shape=$("$here/shape.sh")
[ "$shape" = win32 ] || PACKAGES="$PACKAGES $TWIN_TOOLCHAIN"
# shellcheck disable=SC2086
need=$(missing $PACKAGES)
# Some nodejs builds bring npm along; Debian's own nodejs needs its npm package.
command -v npm >/dev/null 2>&1 || need="$need npm"
# shellcheck disable=SC2086
install $need || exit 100

wine32=$(missing wine wine32:i386)
if [ "$shape" = win32 ] && [ -n "$wine32" ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  # shellcheck disable=SC2086
  if ! install $wine32; then
    echo "install-deps: 32-bit Wine could not be installed: the tests run the x86-64 twin"
    # shellcheck disable=SC2046,SC2086
    install $(missing $TWIN_TOOLCHAIN) || exit 100
    mkdir -p "$(dirname "$no_wine32")" && touch "$no_wine32"
  fi
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

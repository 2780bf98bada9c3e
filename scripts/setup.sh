#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, and only what is missing:
# the native and MinGW-w64 toolchains, Wine with a headless X server and the CJK font,
# GoogleTest sources, zlib, libdeflate, OpenSSL (benchmark peers, SHA-256), osslsigncode and
# openssl (signing tests), NSIS (the peer of bench/compare-nsis.sh), and the zh_CN.UTF-8
# locale the Windows tests run in; and libdeflate's sources, for the Windows packager.
# Safe to run again: a ready machine is left alone.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang clang-format libfuzzer-14-dev libclang-rt-14-dev python3
  googletest zlib1g-dev libdeflate-dev libssl-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev
  wine wine64 xvfb xauth fonts-wqy-microhei locales
  openssl osslsigncode nsis curl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  echo "setup: generating the zh_CN.UTF-8 locale"
  "${sudo[@]}" sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen ||
    echo 'zh_CN.UTF-8 UTF-8' | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
  "${sudo[@]}" locale-gen >/dev/null
fi

# libdeflate's sources, of the version libdeflate-dev has, into .cache/: the Windows
# packager (setup_pack.exe) is built with them, and makes the bytes the host packager makes
# only with the same libdeflate. Without them the Windows packager alone is not built.
libdeflate_version=1.14
libdeflate_sha256=89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac
cache=$(cd "$(dirname "$0")/.." && pwd)/.cache
if [ ! -f "$cache/libdeflate-$libdeflate_version/libdeflate.h" ]; then
  echo "setup: fetching libdeflate $libdeflate_version's sources into $cache"
  mkdir -p "$cache"
  tarball=$cache/libdeflate_$libdeflate_version.orig.tar.gz.partial
  if curl -fsS -m 300 -o "$tarball" \
    "http://deb.debian.org/debian/pool/main/libd/libdeflate/libdeflate_$libdeflate_version.orig.tar.gz" &&
    echo "$libdeflate_sha256  $tarball" | sha256sum --check --quiet --status; then
    tar -xzf "$tarball" -C "$cache"
  else
    echo "setup: could not fetch libdeflate $libdeflate_version's sources with SHA-256" \
      "$libdeflate_sha256; the Windows packager (setup_pack.exe) will not be built" >&2
  fi
  rm -f "$tarball"
fi

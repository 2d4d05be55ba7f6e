#!/usr/bin/env bash
# Makes a Debian 12 machine ready to build and test HalcyraService: native toolchain,
# clang (second native compiler, libFuzzer and the sanitizer runtimes, format and lint),
# MinGW-w64 cross toolchain, Wine, RapidJSON, libcurl (native and a static MinGW build),
# GoogleTest, Google Benchmark, the Python servers used by the network tests and the
# openssl tool that makes their TLS certificates and the trusted-update tests' keys,
# libcrypto (libssl-dev) for the simulated machine's signatures, osslsigncode that signs
# the test updater and the contract's Authenticode fixtures, and the Windows Installer tools (wixl, msitools) that build the
# package.
# Idempotent: when everything is present it only checks and returns in seconds.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  clang libclang-rt-14-dev clang-format clang-tidy
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64
  rapidjson-dev libcurl4-openssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pyftpdlib openssl libssl-dev osslsigncode
  dpkg-dev
  wixl msitools
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$here/build-curl-mingw.sh"
echo "setup: ready"

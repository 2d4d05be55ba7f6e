#!/usr/bin/env bash
# Builds a static libcurl for x86_64-w64-mingw32 from Debian's curl source package
# (Debian's patches applied) and installs it into a cached prefix that lives outside
# the repository, so every clone and every CI run on this machine reuses it.
#
#   prefix: ${HALCYRA_CACHE:-/var/cache/halcyra}/curl-mingw
#
# The library is what HalcyraService.exe needs and nothing more: Schannel for TLS (no
# OpenSSL to ship), HTTP, HTTPS, FTP and FTPS, no compression or other optional
# libraries, so the exe links -static against Windows system libraries only.
#
# Idempotent: the stamp file is written last, after a complete install; when it is there
# and names the same build options, the script prints the prefix and exits at once.
# A changed option list (below) makes the stamp stale and rebuilds from scratch.
#
# Needs root for the deb-src entry and apt-get update (CI and developers run as root),
# plus cmake, ninja, dpkg-dev and the MinGW-w64 -posix compilers (tools/setup.sh).
# On success the last line on stdout is the prefix path; progress goes to stderr.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
toolchain="$repo/cmake/mingw-toolchain.cmake"

cache=${HALCYRA_CACHE:-/var/cache/halcyra}
prefix="$cache/curl-mingw"
work="$cache/curl-mingw-work"
stamp="$prefix/.halcyra-build-complete"

# Everything not needed by the service is switched off: each extra protocol is code
# that would ship in the exe and attack surface that nobody tests.
curl_options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_CURL_EXE=OFF
  -DBUILD_TESTING=OFF
  -DCURL_USE_SCHANNEL=ON
  # Schannel trusts the machine's certificate store; no file path is compiled in, since a
  # Unix bundle path would name a folder under C:\ that any user can create.
  -DCURL_CA_BUNDLE=none
  -DCURL_CA_PATH=none
  -DCURL_USE_OPENSSL=OFF
  -DCURL_USE_MBEDTLS=OFF
  -DCURL_USE_WOLFSSL=OFF
  -DCURL_USE_BEARSSL=OFF
  -DCURL_USE_NSS=OFF
  -DCURL_USE_GSSAPI=OFF
  -DCURL_USE_LIBSSH2=OFF
  -DCURL_USE_LIBSSH=OFF
  -DCURL_USE_LIBPSL=OFF
  -DCURL_ZLIB=OFF
  -DCURL_BROTLI=OFF
  -DCURL_ZSTD=OFF
  -DUSE_NGHTTP2=OFF
  -DUSE_NGTCP2=OFF
  -DUSE_QUICHE=OFF
  -DUSE_MSH3=OFF
  -DUSE_LIBIDN2=OFF
  -DUSE_WIN32_IDN=OFF
  -DUSE_LIBRTMP=OFF
  -DENABLE_UNICODE=OFF
  -DENABLE_THREADED_RESOLVER=ON
  -DCURL_DISABLE_DICT=ON
  -DCURL_DISABLE_FILE=ON
  -DCURL_DISABLE_GOPHER=ON
  -DCURL_DISABLE_IMAP=ON
  -DCURL_DISABLE_LDAP=ON
  -DCURL_DISABLE_LDAPS=ON
  -DCURL_DISABLE_MQTT=ON
  -DCURL_DISABLE_POP3=ON
  -DCURL_DISABLE_RTSP=ON
  -DCURL_DISABLE_SMB=ON
  -DCURL_DISABLE_SMTP=ON
  -DCURL_DISABLE_TELNET=ON
  -DCURL_DISABLE_TFTP=ON
  -DCURL_DISABLE_HTTP=OFF
  -DCURL_DISABLE_FTP=OFF
)

# The stamp records the option list, so editing the list above forces a rebuild.
options_key=$(printf '%s\n' "${curl_options[@]}" | sha256sum | cut -d' ' -f1)
if [[ -f "$stamp" ]] && grep -qx "options=$options_key" "$stamp"; then
  echo "$prefix"
  exit 0
fi

log() { echo "build-curl-mingw: $*" >&2; }

# Two runs at once (a developer's shell and a CI run on the same machine) would share the
# work folder and the prefix: the second waits for the first and then finds its stamp.
mkdir -p "$cache"
exec 9>"$cache/curl-mingw.lock"
flock 9
if [[ -f "$stamp" ]] && grep -qx "options=$options_key" "$stamp"; then
  echo "$prefix"
  exit 0
fi
started=$SECONDS

for tool in cmake ninja dpkg-source x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-ar; do
  command -v "$tool" >/dev/null || { log "missing $tool (run tools/setup.sh)"; exit 1; }
done

# apt-get source needs a deb-src entry. The machine's own deb822 file lists only binary
# archives; mirror each of its "Types: deb" stanzas (same URIs, suites and keyring) as
# deb-src in a file of our own rather than editing the system one.
ensure_deb_src() {
  # Read into a variable first: with pipefail, "grep -q" closing the pipe early would
  # make apt-cache die of SIGPIPE and the test fail although curl is known.
  local known
  known=$(apt-cache showsrc curl 2>/dev/null || true)
  if grep -q '^Package: curl$' <<<"$known"; then
    return
  fi
  local list=/etc/apt/sources.list.d/halcyra-src.sources
  local system=/etc/apt/sources.list.d/debian.sources
  if [[ ! -f "$list" ]]; then
    log "adding deb-src entries in $list"
    if [[ -f "$system" ]]; then
      # Paragraph mode: one record per stanza; comments dropped, only plain binary
      # stanzas copied.
      awk 'BEGIN { RS = ""; ORS = "" }
           /(^|\n)Types: deb(\n|$)/ {
             n = split($0, line, "\n")
             for (i = 1; i <= n; i++) {
               if (line[i] ~ /^#/) continue
               if (line[i] == "Types: deb") line[i] = "Types: deb-src"
               print line[i] "\n"
             }
             print "\n"
           }' "$system" >"$list.tmp"
    fi
    if [[ ! -s "$list.tmp" ]]; then
      cat >"$list.tmp" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    fi
    mv "$list.tmp" "$list"
  fi
  log "apt-get update"
  apt-get -o DPkg::Lock::Timeout=300 update -qq >&2
}

ensure_deb_src

# A fresh work folder each time: a half-extracted or half-built tree from an
# interrupted run is never trusted.
rm -rf "$work" "$prefix"
mkdir -p "$work"
log "fetching Debian's curl source into $work"
(cd "$work" && apt-get source --only-source curl >"$work/apt-source.log" 2>&1) || {
  log "apt-get source curl failed:"
  cat "$work/apt-source.log" >&2
  exit 1
}
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'curl-*' | head -n 1)
[[ -n "$src" && -f "$src/CMakeLists.txt" ]] || { log "no extracted curl source in $work"; exit 1; }
log "source: $(basename "$src")"

log "configuring"
cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  "${curl_options[@]}" >"$work/configure.log" 2>&1 || {
  log "configure failed, last lines of $work/configure.log:"
  tail -n 40 "$work/configure.log" >&2
  exit 1
}

log "building"
cmake --build "$work/build" -j 2 >"$work/build.log" 2>&1 || {
  log "build failed, last lines of $work/build.log:"
  tail -n 40 "$work/build.log" >&2
  exit 1
}
cmake --install "$work/build" >"$work/install.log" 2>&1 || {
  log "install failed, last lines of $work/install.log:"
  tail -n 40 "$work/install.log" >&2
  exit 1
}

for f in lib/libcurl.a include/curl/curl.h lib/cmake/CURL/CURLConfig.cmake; do
  [[ -f "$prefix/$f" ]] || { log "install is missing $f"; exit 1; }
done

{
  echo "source=$(basename "$src")"
  echo "options=$options_key"
} >"$stamp.tmp"
mv "$stamp.tmp" "$stamp"
log "done in $((SECONDS - started)) s"
echo "$prefix"

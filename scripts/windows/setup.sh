#!/usr/bin/env bash
# Installs what the Windows cross-build and its tests need: the mingw-w64 toolchain (posix thread
# model, for std::thread), Wine to run the programs, the tools that build the dependencies from
# Debian's source packages, and a deb-src entry so that `apt-get source` finds those packages.
# Runs apt-get only when something is missing.
set -euo pipefail

packages=(
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev wine64 cmake ninja-build dpkg-dev autoconf automake libtool make tcl
  nlohmann-json3-dev libcli11-dev googletest
)

# Debian's source packages, signed by the archive keyring, from the suites the binary
# packages come from.
src_list=/etc/apt/sources.list.d/varlo-deb-src.sources
need_update=0
if [ ! -f "$src_list" ]; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$src_list"
  else
    cat >"$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  fi
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ] || [ "$need_update" = 1 ]; then
  apt-get -o DPkg::Lock::Timeout=900 update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows setup: installing ${missing[*]}"
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
fi

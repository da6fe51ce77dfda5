#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the tools and the benchmarks need.
# Runs apt-get only when something is missing, so it is cheap to call before every build.
set -euo pipefail

packages=(
  build-essential clang libclang-rt-14-dev cmake ninja-build pkg-config git clang-format
  libcrypto++-dev libsodium-dev nlohmann-json3-dev libcli11-dev libsqlite3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libpcsclite-dev pcscd pcsc-tools vsmartcard-vpcd
  libp11-kit-dev p11-kit opensc gnutls-bin
  procps psmisc
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs what the build, the tests and the run script need on a Debian machine.
# Idempotent: when everything is present it prints nothing and changes nothing.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake g++ make googletest libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64 \
         wine wine64 fonts-wine xvfb imagemagick x11-utils clang libclang-rt-14-dev clang-format \
         socat nsis zip icoutils libxtst6 python3 nlohmann-json3-dev libcli11-dev \
         unzip help2man man-db dpkg-dev file bsdextrautils libsqlite3-dev sqlite3 libpq-dev \
         postgresql; do
  have_pkg "$p" || need+=("$p")
done

if ((${#need[@]})); then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

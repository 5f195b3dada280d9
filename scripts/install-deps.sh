#!/usr/bin/env bash
# Installs what building, running and testing Korvel needs on Debian 12.
# Safe to run again: it only installs what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  nlohmann-json3-dev libglib2.0-dev libgtkmm-4.0-dev
  libncurses-dev libsqlite3-dev
  libgtest-dev libgmock-dev
  xvfb xauth dbus-x11 gettext
  desktop-file-utils
  libegl-mesa0 libgl1-mesa-dri
  iproute2 lsof procps
  clang libbpf-dev bpftool
  prometheus prometheus-node-exporter jsonnet python3 python3-dbusmock
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

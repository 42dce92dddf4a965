#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Lanterra need.
# Only what is missing is installed; a machine that has everything is left alone.
set -euo pipefail

packages=(
  build-essential cmake make pkg-config ccache
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  qt6-qpa-plugins libqt6svg6
  fonts-liberation2 fonts-dejavu-core
  iproute2 nftables util-linux libcap2-bin
  clang libclang-rt-14-dev
  ieee-data libcap-dev libcurl4-openssl-dev
  dpkg-dev file fakeroot desktop-file-utils appstream lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

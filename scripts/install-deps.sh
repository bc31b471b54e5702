#!/usr/bin/env bash
# Installs every Debian 12 package that Korvid needs to build, test and run its demo.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  # engine and command line
  libcli11-dev libgtest-dev libgmock-dev
  # sources: file-system allocation data and block-device probing
  libtsk-dev libblkid-dev
  # desktop program
  qt6-base-dev qt6-base-dev-tools libgl-dev fonts-wqy-zenhei
  xvfb xauth x11-apps
  # test tools: recordings and file systems made in userspace
  ffmpeg dosfstools mtools exfatprogs ntfs-3g e2fsprogs util-linux
)

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

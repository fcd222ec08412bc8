#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the peer tools need.
# Only what is missing is installed, so a second run is quick and offline.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  zlib1g-dev libzzip-dev libminizip-dev libjsoncpp-dev libgsf-1-dev libglib2.0-dev
  libssl-dev qt6-base-dev
  # .xlsx workbooks: written with libxlsxwriter, read with our ZIP reader and expat
  libxlsxwriter-dev libexpat1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # fuzz targets (clang's libFuzzer and sanitizer runtimes)
  clang libclang-rt-14-dev
  # external file-system tools the programs start
  squashfs-tools mtd-utils
  # peer tools the tests check our formats against
  util-linux-extra u-boot-tools zip unzip file
  python3 python3-xlrd python3-xlwt python3-openpyxl catdoc
  libreoffice-calc-nogui
  # headless GUI runs, screenshots, network-namespace tests, benchmark timing
  xvfb xauth x11-apps imagemagick iproute2 iputils-ping time
  # Chinese, Japanese and Korean captions and language names in the dialogs
  fonts-wqy-microhei
  # man pages of the command-line tools, made from their --help
  help2man
  # renders the flash layout pictures that inspect --svg writes (tests)
  librsvg2-bin
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

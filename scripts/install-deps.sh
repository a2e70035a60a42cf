#!/usr/bin/env bash
# Installs every Debian package Talvoro needs to build, run, test, benchmark and package
# (dpkg-dev and file for CPack's dependency scan, appstream to check the metainfo; postgresql for
# the server tests, which start a throw-away cluster; poppler-utils for pdftotext, which reads
# back the PDF export in the view tests).
# Idempotent: packages already present are skipped, so `make test` stays quick on a ready machine.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format clang libclang-rt-14-dev lld
  qt6-base-dev qt6-base-dev-tools qt6-base-private-dev qt6-declarative-dev qt6-declarative-dev-tools
  qt6-websockets-dev qt6-httpserver-dev qt6-5compat-dev qt6-tools-dev
  libqt6sql6-sqlite libqt6sql6-psql postgresql libqt6svg6 qt6-svg-dev
  qml6-module-qtquick qml6-module-qtquick-window qml6-module-qtquick-controls
  qml6-module-qtquick-templates qml6-module-qtquick-layouts qml6-module-qtquick-dialogs
  qml6-module-qt-labs-folderlistmodel qml6-module-qtqml qml6-module-qtqml-models
  qml6-module-qtqml-workerscript qml6-module-qttest qml6-module-qt-labs-platform
  libbenchmark-dev libsimdjson-dev wrk
  fonts-noto-cjk fonts-noto-color-emoji fonts-material-design-icons-iconfont
  xvfb xauth libxcb1-dev
  dpkg-dev file appstream poppler-utils
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

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

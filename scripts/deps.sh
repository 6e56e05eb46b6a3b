#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running TARN need.
# Idempotent: installs only what is missing; uses sudo only when not root.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libpugixml-dev
    libxml2-utils   # xmllint, the peer of the store benchmark
    libgdal-dev gdal-bin   # GIS files for the analysis; gdal_rasterize is the tests' oracle
    qgis python3-qgis qgis-providers   # the QGIS plugin and its headless tests
    clang-format   # the format check of scripts/test.sh
    clang libclang-rt-14-dev   # the fuzz targets (scripts/fuzz.sh): libFuzzer, sanitizer runtimes
    dpkg-dev help2man lintian   # the Debian package (scripts/package.sh)
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

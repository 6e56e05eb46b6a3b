#!/usr/bin/env bash
# Builds the Debian package tarn_<version>_amd64.deb (programs in /usr/bin, store and help in
# /usr/share/tarn, the QGIS plugin, menu entry, manual pages) and runs lintian on it; prints
# the package's path on its last line.
#   scripts/package.sh              in build-package/, with Debian's hardening flags
#   scripts/package.sh BUILD_DIR    from a build tree the tests already built (scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
layout=(-DTARN_SYSTEM_LAYOUT=ON -DCMAKE_INSTALL_PREFIX=/usr)
if [ $# -gt 0 ]; then
    dir=$1
    cmake -S . -B "$dir" "${layout[@]}" >/dev/null
else
    dir=build-package
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    # Debian's hardening flags, as dpkg-buildpackage would pass them.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        "${layout[@]}" "${launcher[@]}" \
        -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" --target programs manuals changelog >/dev/null
rm -f "$dir"/tarn_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/tarn_*_amd64.deb)
# Errors fail; as root (CI) lintian also says that it should not run as root.
status=0
report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
grep -v "running with root privileges" <<<"$report" || true
[ "$status" -eq 0 ] || exit 1
echo "$deb"

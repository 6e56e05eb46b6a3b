#!/usr/bin/env bash
# Checks a built package without installing it: its file list, then the programs unpacked
# into a scratch folder running the demo there, on a store of the scratch user's own.
#   scripts/check-package.sh build-package/tarn_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(realpath "$1")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarn-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

list=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for path in /usr/bin/tarnProps /usr/bin/tarn /usr/bin/tarn-analyze /usr/bin/tarn-store \
    /usr/bin/tarnhost /usr/share/tarn/isprops.xml /usr/share/tarn/help/is_index.html \
    /usr/share/qgis/python/plugins/tarn/__init__.py /usr/share/qgis/python/plugins/tarn/metadata.txt \
    /usr/share/applications/tarnProps.desktop /usr/share/icons/hicolor/scalable/apps/tarnProps.svg \
    /usr/share/man/man1/tarn-analyze.1.gz /usr/share/man/man1/tarn-store.1.gz \
    /usr/share/man/man1/tarnhost.1.gz /usr/share/doc/tarn/copyright /usr/share/doc/tarn/changelog.gz; do
    grep -qx "$path" <<<"$list" || fail "$path is missing"
done
if grep -E '__pycache__|programs\.txt|^/usr/etc|^/usr/help|/build' <<<"$list"; then
    fail "the files above do not belong in the package"
fi
dpkg-deb -f "$deb" Depends | grep -q libgdal || fail "no dependency on GDAL"
dpkg-deb -f "$deb" Recommends | grep -q python3-qgis || fail "python3-qgis is not recommended"

dpkg-deb -x "$deb" "$scratch/root"
# Some systems have a /usr/etc (writable by root); it is no folder of the package's.
mkdir "$scratch/root/usr/etc"
bin=$scratch/root/usr/bin
export XDG_DATA_HOME=$scratch/data
for program in tarnProps tarn tarn-analyze tarn-store tarnhost; do
    "$bin/$program" --version | grep -q "^$program (TARN) " || fail "$program --version"
done
# Beside /usr/bin there is no etc/: the user's own store, made from /usr/share/tarn's.
[ "$("$bin/tarn-store" where | head -n1)" = "$XDG_DATA_HOME/tarn/isprops.xml" ] ||
    fail "tarn-store does not use the user's store"
cmp -s "$XDG_DATA_HOME/tarn/isprops.xml" "$scratch/root/usr/share/tarn/isprops.xml" ||
    fail "the user's store is not the package's"
mkdir -p "$scratch/examples" "$scratch/build/demo-work"
cp examples/demo-params.txt "$scratch/examples/"
"$bin/tarn-analyze" "$scratch/examples/demo-params.txt" --data examples/demo-data >"$scratch/log"
grep -q "^coefficient store: $XDG_DATA_HOME/tarn/isprops.xml" "$scratch/log" ||
    fail "tarn-analyze does not log the user's store"
grep -q "parcels_is.shp: 48 polygons" "$scratch/log" || fail "the demo run: $(cat "$scratch/log")"
echo "package check: $(basename "$deb"): $(wc -l <<<"$list") paths, programs and demo run fine"

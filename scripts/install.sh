#!/usr/bin/env bash
# Installs TARN for the current user: the programs under PREFIX (default ~/.local/opt/tarn,
# so the coefficient store PREFIX/etc/isprops.xml stays writable by its user) and the QGIS
# plugin, linked into the user's default QGIS profile and enabled there.
#   scripts/install.sh [PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath -m "${1:-$HOME/.local/opt/tarn}")

bash scripts/deps.sh
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
# Only the programs and their data: the tests and benchmarks are scripts/test.sh's.
cmake --build build -j "$(nproc)" --target programs
cmake --install build --prefix "$prefix"

# The plugin, with the folder of the programs recorded for it.
plugin="$prefix/share/tarn/qgis/tarn"
rm -rf "$plugin"
mkdir -p "$(dirname "$plugin")"
cp -r qgis/tarn "$plugin"
find "$plugin" -name __pycache__ -prune -exec rm -rf {} +
echo "$prefix/bin" > "$plugin/programs.txt"

profile="$HOME/.local/share/QGIS/QGIS3/profiles/default"
mkdir -p "$profile/python/plugins"
ln -sfn "$plugin" "$profile/python/plugins/tarn"
# QGIS keeps the enabled plugins in its settings file; qgis_process edits it for us.
QT_QPA_PLATFORM=offscreen qgis_process.bin plugins enable tarn >/dev/null 2>&1 ||
    /usr/bin/python3 - "$profile/QGIS/QGIS3.ini" <<'PY'
import configparser, os, sys
path = sys.argv[1]
os.makedirs(os.path.dirname(path), exist_ok=True)
ini = configparser.RawConfigParser()
ini.optionxform = str
ini.read(path)
if not ini.has_section("PythonPlugins"):
    ini.add_section("PythonPlugins")
ini.set("PythonPlugins", "tarn", "true")
with open(path, "w") as out:
    ini.write(out, space_around_delimiters=False)
PY
echo "TARN installed in $prefix; the QGIS plugin is enabled in $profile"

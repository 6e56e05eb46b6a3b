#!/usr/bin/env bash
# Builds TARN and runs the main job on the bundled defaults:
#   scripts/run.sh          the analysis launcher, started by the stand-in host on the demo data
#                           (examples/demo-data); Run analyses it into build/demo-work
#   scripts/run.sh editor   the coefficient editor on the bundled store (build/etc/isprops.xml)
#   scripts/run.sh qgis     QGIS on the demo project with the TARN plugin, in a throw-away
#                           profile; the project is a copy in build/demo-qgis, where runs write
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
# Only the programs and their data: the tests and benchmarks are scripts/test.sh's.
cmake --build build -j "$(nproc)" --target programs

case "${1:-launcher}" in
    editor) exec build/bin/tarnProps ;;
    launcher) exec build/bin/tarnhost start --data examples/demo-data --workdir build/demo-work tarn ;;
    qgis)
        mkdir -p build/demo-qgis
        cp -r examples/demo-data/. build/demo-qgis/
        profiles=$(mktemp -d "${TMPDIR:-/tmp}/tarn-qgis-profile-XXXXXX")
        trap 'rm -rf "$profiles"' EXIT
        mkdir -p "$profiles/profiles/default/python/plugins" "$profiles/profiles/default/QGIS"
        ln -s "$PWD/qgis/tarn" "$profiles/profiles/default/python/plugins/tarn"
        # The plugin enabled, the programs from the build tree, no first-start questions.
        cat > "$profiles/profiles/default/QGIS/QGIS3.ini" <<EOF
[PythonPlugins]
tarn=true

[tarn]
programFolder=$PWD/build/bin

[qgis]
checkVersion=false
EOF
        qgis --profiles-path "$profiles" build/demo-qgis/demo.qgz ;;
    *) echo "usage: scripts/run.sh [launcher|editor|qgis]" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# Builds TARN and runs the main job on the bundled defaults:
#   scripts/run.sh          the analysis launcher, started by the stand-in host on the demo data
#                           (examples/demo-data); Run analyses it into build/demo-work
#   scripts/run.sh editor   the coefficient editor on the bundled store (build/etc/isprops.xml)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"

case "${1:-launcher}" in
    editor) exec build/bin/tarnProps ;;
    launcher) exec build/bin/tarnhost start --data examples/demo-data --workdir build/demo-work tarn ;;
    *) echo "usage: scripts/run.sh [launcher|editor]" >&2; exit 2 ;;
esac

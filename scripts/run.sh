#!/usr/bin/env bash
# Builds TARN and opens the coefficient editor on the bundled store (build/etc/isprops.xml).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
if [ -x build/bin/tarnProps ]; then
    exec build/bin/tarnProps
fi
# Until the editor window exists, show the bundled store on the command line.
build/bin/tarn-store check
build/bin/tarn-store list

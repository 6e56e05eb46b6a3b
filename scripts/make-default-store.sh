#!/usr/bin/env bash
# Rebuilds etc/isprops.xml, the bundled store, from the coefficient text files in
# docs/coefficients, through tarn-store, so its layout is exactly the store's own.
# Usage: scripts/make-default-store.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
store=$(mktemp -d)/isprops.xml
"$build/bin/tarn-store" --store "$store" import docs/coefficients/nlcd-land-cover.csv "NLCD Land Cover"
"$build/bin/tarn-store" --store "$store" import docs/coefficients/tr55-urban-districts.csv "TR-55 Urban Districts"
mv "$store" etc/isprops.xml
"$build/bin/tarn-store" --store etc/isprops.xml check

#!/usr/bin/env bash
# Builds mapbake and converts the example keyboard map into a run-time map.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target mapbake
mkdir -p out
build/release/app/mapbake examples/keyboard.txt out/keyboard.iom
build/release/app/mapbake -text examples/keyboard.txt out/keyboard_text.iom
echo "Converted examples/keyboard.txt -> out/keyboard.iom (binary) and out/keyboard_text.iom (text)"

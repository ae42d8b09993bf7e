#!/usr/bin/env bash
# Builds mapbake and its tests (release preset) and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
ctest --preset release

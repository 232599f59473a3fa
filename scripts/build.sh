#!/usr/bin/env bash
# Configures (once) and builds into a build directory.
# Usage: scripts/build.sh BUILD_DIR [cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"
shift
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
cmake --build "$dir" -j"$(nproc)"

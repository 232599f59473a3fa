#!/usr/bin/env bash
# Installs what is missing, builds, and runs Tarvik (simulated camera unless
# TARVIK_CAMERAS says otherwise).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" build
"$root/scripts/build.sh" "$root/build" -DBUILD_TESTING=OFF >/dev/null
exec "$root/build/tarvik" "$@"

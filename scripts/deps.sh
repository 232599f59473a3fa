#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those missing.
# Usage: scripts/deps.sh build|test|bench|fuzz
set -euo pipefail

build_packages=(cmake make g++ pkg-config qt6-base-dev qt6-image-formats-plugins libpng-dev libgl-dev
                fonts-dejavu-core libaravis-dev libusb-1.0-0-dev help2man libtiff-dev
                libavformat-dev libavcodec-dev libavutil-dev)
test_packages=(libgtest-dev xvfb xdotool xclip imagemagick aravis-tools aravis-tools-cli dpkg-dev desktop-file-utils appstream
               lintian libopencv-imgproc-dev libtiff-tools ffmpeg)
bench_packages=(libopencv-imgproc-dev libopencv-imgcodecs-dev ffmpeg)
fuzz_packages=(clang libclang-rt-14-dev)

case "${1:-build}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}" "${fuzz_packages[@]}") ;;
  bench) wanted=("${build_packages[@]}" "${bench_packages[@]}") ;;
  fuzz) wanted=("${build_packages[@]}" "${fuzz_packages[@]}") ;;
  *) echo "deps.sh: unknown task '$1' (build, test, bench or fuzz)" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: run as root or install sudo" >&2; exit 1; }
  as_root=(sudo)
fi
"${as_root[@]}" apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"

#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those missing.
# Usage: scripts/deps.sh build|test|bench|fuzz
set -euo pipefail

build_packages=(cmake make g++ pkg-config qt6-base-dev qt6-image-formats-plugins libpng-dev libgl-dev
                fonts-dejavu-core libaravis-dev libusb-1.0-0-dev help2man libtiff-dev
                libavformat-dev libavcodec-dev libavutil-dev prometheus-cpp-dev libcpp-httplib-dev)
test_packages=(libgtest-dev xvfb xdotool xclip imagemagick aravis-tools aravis-tools-cli dpkg-dev desktop-file-utils appstream
               lintian libopencv-imgproc-dev libtiff-tools ffmpeg tshark)
bench_packages=(libopencv-imgproc-dev libopencv-imgcodecs-dev ffmpeg)
fuzz_packages=(clang libclang-rt-14-dev)

case "${1:-build}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}" "${fuzz_packages[@]}") ;;
  bench) wanted=("${build_packages[@]}" "${bench_packages[@]}") ;;
  fuzz) wanted=("${build_packages[@]}" "${fuzz_packages[@]}") ;;
  *) echo "deps.sh: unknown task '$1' (build, test, bench or fuzz)" >&2; exit 2 ;;
esac

# Servers the tests start themselves, on 127.0.0.1: installed without what
# they recommend and without starting the system's service (which would
# listen on every interface).
servers=()
[ "${1:-build}" = test ] && servers=(prometheus)

missing_of() {
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      echo "$p"
    fi
  done
}
mapfile -t missing < <(missing_of "${wanted[@]}")
mapfile -t missing_servers < <(missing_of "${servers[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missing_servers[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: run as root or install sudo" >&2; exit 1; }
  as_root=(sudo)
fi
"${as_root[@]}" apt-get update -q
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi
if [ ${#missing_servers[@]} -gt 0 ]; then
  echo "Installing, services not started: ${missing_servers[*]}"
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null
    "${as_root[@]}" chmod 755 "$policy"
    own_policy=1
  fi
  status=0
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing_servers[@]}" || status=$?
  [ $own_policy -eq 1 ] && "${as_root[@]}" rm -f "$policy"
  exit $status
fi

#!/usr/bin/env bash
# Builds the Debian package, has lintian check it, extracts it into an empty
# root, checks what it holds and declares, and runs the extracted program in Xvfb on the simulated
# camera, reading the call trace to see that opening works.
# Usage: package_test.sh BUILD_DIR PROJECT_VERSION
set -euo pipefail
build="$1"
version="$2"
work="$(mktemp -d)"
xvfb_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null
deb="$(ls "$work"/out/tarvik_*.deb)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libqt6widgets6 libaravis-0.8-0 libc6 qt6-image-formats-plugins libprometheus-cpp-core1.0; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done

# Lintian: no error, no warning (its note about running as root is not a tag).
tags="$(lintian "$deb" 2>/dev/null | grep -E '^[EW]: ' || true)"
[ -z "$tags" ] || fail "lintian: $tags"

root="$work/root"
dpkg-deb -x "$deb" "$root"
id=org.tarvik.Tarvik
for f in usr/bin/tarvik usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
         usr/share/icons/hicolor/scalable/apps/$id.svg usr/share/man/man1/tarvik.1.gz \
         usr/share/doc/tarvik/copyright usr/share/bash-completion/completions/tarvik \
         usr/lib/systemd/system/tarvik-exporter.service usr/share/doc/tarvik/examples/prometheus.yml \
         usr/share/doc/tarvik/examples/tarvik-alerts.yml usr/share/doc/tarvik/examples/tarvik-alerts-test.yml; do
  [ -e "$root/$f" ] || fail "missing /$f"
done
# The unit is shipped, not enabled: no maintainer script starts it.
dpkg-deb -e "$deb" "$work/control"
[ ! -e "$work/control/postinst" ] || ! grep -q systemctl "$work/control/postinst" || fail "postinst enables the unit"
grep -q '^ExecStart=/usr/bin/tarvik --serve ' "$root/usr/lib/systemd/system/tarvik-exporter.service" ||
  fail "the unit does not run the installed program"
(cd "$root/usr/share/doc/tarvik/examples" && promtool check config prometheus.yml >/dev/null &&
  promtool test rules tarvik-alerts-test.yml >/dev/null) || fail "the shipped Prometheus examples do not pass promtool"
for size in 16 24 32 48 256; do
  [ -e "$root/usr/share/icons/hicolor/${size}x${size}/apps/$id.png" ] || fail "missing ${size}px icon"
done
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop entry invalid"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >/dev/null || fail "AppStream metadata invalid"
grep -q "release version=\"$version\"" "$root/usr/share/metainfo/$id.metainfo.xml" || fail "metadata version"
[ -z "$(find "$root" -perm -4000)" ] || fail "setuid files in the package"
completed="$(bash -c "source '$root/usr/share/bash-completion/completions/tarvik'
  COMP_WORDS=(tarvik --gr); COMP_CWORD=1; _tarvik; echo \"\${COMPREPLY[*]}\"")"
[ "$completed" = "--grab" ] || fail "bash completion of --gr gives '$completed'"

# Run the extracted program on a free display.
display=""
for n in $(seq 140 180); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
  [ -e "/tmp/.X11-unix/X$n" ] && { display=":$n"; break; }
done
[ -n "$display" ] || fail "no free X display"
export DISPLAY="$display"
unset QT_QPA_PLATFORM TARVIK_CAMERAS TARVIK_SIM
TARVIK_CAMERA_TRACE=1 "$root/usr/bin/tarvik" 2>"$work/trace" &
app_pid=$!
window="$(timeout 20 xdotool search --sync --onlyvisible --name '^Tarvik$' | head -1)"
xdotool windowfocus --sync "$window" key space
for _ in $(seq 200); do
  grep -q 'cam: CamFeatureIntGet(2, "Width", ptr) -> 0' "$work/trace" && break
  sleep 0.05
done
grep -q 'cam: CamCameraOpen("sim-0", 1, ptr) -> 0' "$work/trace" || fail "opening did not work: $(cat "$work/trace")"
grep -q 'cam: CamFeatureIntGet(2, "Width", ptr) -> 0' "$work/trace" || fail "opening did not finish"
xdotool key Escape
wait "$app_pid" || fail "the program did not end cleanly"
app_pid=""
echo "package: $(basename "$deb") holds and runs the program"

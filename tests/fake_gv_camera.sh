#!/usr/bin/env bash
# Starts, stops or restarts Aravis's fake GigE Vision camera on 127.0.0.1 only.
# Usage: fake_gv_camera.sh start|stop|restart PIDFILE [camera options...]
set -euo pipefail
action="$1"
pidfile="$2"
shift 2

stop() {
  if [ -f "$pidfile" ]; then
    pid="$(cat "$pidfile")"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$pidfile"
  fi
}

# The camera answers once its control port (3956, 0x0F74) is bound on 127.0.0.1.
listening() { grep -qi "0100007F:0F74" /proc/net/udp; }

start() {
  command -v arv-fake-gv-camera-0.8 >/dev/null || { echo "arv-fake-gv-camera-0.8 is missing (aravis-tools)" >&2; exit 1; }
  if listening; then echo "something already listens on 127.0.0.1:3956" >&2; exit 1; fi
  setsid arv-fake-gv-camera-0.8 -i 127.0.0.1 "$@" >/dev/null 2>&1 < /dev/null &
  echo $! > "$pidfile"
  for _ in $(seq 100); do listening && return 0; sleep 0.05; done
  echo "the fake camera did not start listening" >&2
  exit 1
}

case "$action" in
  start) stop; start "$@" ;;
  stop) stop ;;
  restart) stop; start "$@" ;;
  *) echo "usage: $0 start|stop|restart PIDFILE [options]" >&2; exit 2 ;;
esac

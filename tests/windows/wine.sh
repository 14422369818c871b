#!/usr/bin/env bash
# wine for the Windows build's tests, in the prefix named by WINEPREFIX.
#
#   wine.sh start              creates the prefix when it is new and keeps one
#                              wine server running for the programs that follow
#   wine.sh stop               ends that server and every program of the prefix
#   wine.sh run PROGRAM ARG... runs a Windows program, with its exit status
#   wine.sh map-com N DEVICE   lets COM port N of the prefix lead to DEVICE
#
# FLASHDLL_WINE names the wine binary; otherwise wine64 on PATH or in
# Debian's /usr/lib/wine is used.
set -euo pipefail

: "${WINEPREFIX:?WINEPREFIX must name the wine prefix}"
export WINEPREFIX
# No debug channels; no prompts to install .NET or a browser engine.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="

find_wine() {
  if [ -n "${FLASHDLL_WINE:-}" ]; then
    printf '%s\n' "$FLASHDLL_WINE"
  elif command -v wine64 >/dev/null 2>&1; then
    command -v wine64
  elif [ -x /usr/lib/wine/wine64 ]; then
    printf '%s\n' /usr/lib/wine/wine64
  else
    echo "wine.sh: wine64 not found (Debian package wine64)" >&2
    return 1
  fi
}

# The server beside the wine binary: wineserver64 or wineserver.
find_server() {
  local dir
  dir=$(dirname "$(readlink -f "$1")")
  for name in wineserver64 wineserver; do
    if [ -x "$dir/$name" ]; then
      printf '%s\n' "$dir/$name"
      return 0
    fi
  done
  command -v wineserver
}

wine=$(find_wine)
server=$(find_server "$wine")

case "${1:-}" in
  start)
    fresh=0
    [ -f "$WINEPREFIX/system.reg" ] || fresh=1
    mkdir -p "$WINEPREFIX"
    started=$(date +%s%N)
    # The server stays until `wine.sh stop`, so programs start in a fraction of
    # a second. It and the prefix's services must not hold our output open:
    # a test runner waits for that to close.
    "$server" -p </dev/null >/dev/null 2>&1
    "$wine" wineboot -i </dev/null >"$WINEPREFIX/wineboot.log" 2>&1
    ms=$(( ($(date +%s%N) - started) / 1000000 ))
    what="the prefix"
    [ "$fresh" -eq 0 ] || what="a fresh prefix"
    printf 'wine: %s took %d.%03d s to start (%s)\n' "$what" $((ms / 1000)) $((ms % 1000)) "$("$wine" --version)"
    ;;
  stop)
    # Waits until the server has gone, so that a start right after finds none.
    "$server" -k 2>/dev/null || true
    "$server" -w 2>/dev/null || true
    ;;
  run)
    shift
    exec "$wine" "$@"
    ;;
  map-com)
    [ $# -eq 3 ] || { echo "usage: wine.sh map-com N DEVICE" >&2; exit 2; }
    ln -sfn "$3" "$WINEPREFIX/dosdevices/com$2"
    ;;
  *)
    echo "usage: wine.sh start|stop|run PROGRAM [ARG...]|map-com N DEVICE" >&2
    exit 2
    ;;
esac

#!/bin/bash
# Sourced by the test scripts: makes sure the build tree's private Wine prefix,
# its wineserver and an X display exist, and exports WINEPREFIX and DISPLAY.
# The display is always a private Xvfb of the build tree.
# Everything long-lived is started with its output sent to log files, never to
# the caller's pipes: a test runner reading a pipe would otherwise wait for
# wineserver, services.exe or Xvfb to exit.
#
# Needs TOLVAR_BUILD_DIR (the CMake build tree).

: "${TOLVAR_BUILD_DIR:?TOLVAR_BUILD_DIR must name the build tree}"
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX="$TOLVAR_BUILD_DIR/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win64
# Wine takes the ANSI and OEM code pages from the locale: pin the ones of an
# English Windows (1252 and 437), so that every run meets the same hostile
# tar.exe whatever locale the caller has.
export LC_ALL=C.UTF-8
state="$TOLVAR_BUILD_DIR/wine-state"
mkdir -p "$state"

tolvar_server_running() {
  local p
  for p in $(pgrep -f "$WINESERVER" 2>/dev/null); do
    if tr '\0' '\n' < "/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      return 0
    fi
  done
  return 1
}

tolvar_display_alive() {
  local n=$1
  [ -S "/tmp/.X11-unix/X$n" ] && [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null
}

(
  flock 9
  n=$(cat "$state/display" 2>/dev/null || true)
  if [ -z "$n" ] || ! tolvar_display_alive "$n"; then
    n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    setsid Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp > "$state/xvfb.log" 2>&1 < /dev/null 9>&- &
    echo $! > "$state/xvfb.pid"
    echo "$n" > "$state/display"
    for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
  fi
  export DISPLAY=":$n"
  if [ ! -f "$WINEPREFIX/.tolvar-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$WINE64" wineboot -i > "$state/wineboot.log" 2>&1 < /dev/null 9>&-
    # Without a window manager Wine waits 2 s whenever a window hides or closes.
    "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >> "$state/wineboot.log" 2>&1 < /dev/null
    "$WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >> "$state/wineboot.log" 2>&1 < /dev/null
    "$WINESERVER" -w
    touch "$WINEPREFIX/.tolvar-ready"
  fi
  if ! tolvar_server_running; then
    setsid "$WINESERVER" -p > "$state/wineserver.log" 2>&1 < /dev/null 9>&-
    # The first program of a wineserver session starts services.exe and the
    # desktop; let that happen here, away from the caller's pipes.
    "$WINE64" cmd /c exit > "$state/warmup.log" 2>&1 < /dev/null 9>&-
  fi
) 9> "$state/lock"
export DISPLAY=":$(cat "$state/display")"

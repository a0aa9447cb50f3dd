#!/bin/sh
# Makes a fresh Wine prefix for a test run and keeps one wineserver up for it, or ends that
# server. Without a server kept up, every Windows program started by a test would wait seconds
# for Wine's services to go down.
#   wine-prefix.sh start PREFIX
#   wine-prefix.sh stop PREFIX
# In the prefix, TEMP and TMP are read from the variable QM_TEMP and the roaming AppData folder
# from QM_APPDATA (both expanded when a program asks), so each test points the Windows daemon
# at folders of its own; no debugger attaches to a crash and no Mono or Gecko installer runs.
# QUILLMARK_TEST_WINE names the Wine loader (default /usr/lib/wine/wine64).
# Wine finds the server of a prefix below TMPDIR: every program run in the prefix must be given
# the TMPDIR used here, the prefix's parent folder.
set -eu
action=$1
WINEPREFIX=$(realpath -m "$2")
TMPDIR=$(dirname "$WINEPREFIX")
export WINEPREFIX TMPDIR WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
wine=${QUILLMARK_TEST_WINE:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver

# -k ends the server of this prefix only; -w waits until it has gone.
end_server() {
  if [ -d "$WINEPREFIX" ]; then
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
  fi
}

case $action in
stop)
  end_server
  exit 0
  ;;
start) ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac

# A server left by an earlier run that was cut short serves the old prefix.
end_server
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# Standard streams detached: nothing of Wine's may hold a caller's pipe open.
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" wineboot -i </dev/null >/dev/null 2>&1
reg() {
  "$wine" reg "$@" /f </dev/null >/dev/null 2>&1
}
reg add 'HKCU\Environment' /v TEMP /t REG_EXPAND_SZ /d '%QM_TEMP%'
reg add 'HKCU\Environment' /v TMP /t REG_EXPAND_SZ /d '%QM_TEMP%'
reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
  /v AppData /t REG_EXPAND_SZ /d '%QM_APPDATA%'
# An empty override disables: a crash is not handed to winedbg.
reg add 'HKCU\Software\Wine\DllOverrides' /v winedbg.exe /t REG_SZ /d ''
echo "Wine prefix ready: $WINEPREFIX"

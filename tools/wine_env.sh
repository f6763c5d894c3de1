#!/usr/bin/env bash
# The Wine session the Windows test programs run in. Source this file, then:
#   wine_env_start <build dir>   prefix in <build dir>/wine-prefix, one persistent session
#   wine_env_trust_ca <tool> <der file>  adds a CA to the current user's Root store in the prefix
#   wine_env_stop                ends the session
# The session needs the display it will show dialogs on: set DISPLAY before starting.

WINE_ENV_BIN=${WINE_ENV_BIN:-/usr/lib/wine/wine64}
WINE_ENV_SERVER=${WINE_ENV_SERVER:-/usr/lib/wine/wineserver64}
[ -x "$WINE_ENV_SERVER" ] || WINE_ENV_SERVER=/usr/lib/wine/wineserver

wine_env_start() {
  local build=${1:?usage: wine_env_start <build dir>}
  export WINEPREFIX="$build/wine-prefix"
  export WINEDEBUG=-all
  # No .NET or Gecko installers: they would try to download.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/.velora-ready" ]; then
    timeout 600 "$WINE_ENV_BIN" wineboot -i >/dev/null 2>&1 || return 1
    # A crash must end the process, not wait on a dialog nobody answers.
    "$WINE_ENV_BIN" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >/dev/null 2>&1
    timeout 300 "$WINE_ENV_SERVER" -w || return 1
    touch "$WINEPREFIX/.velora-ready"
  fi
  # One persistent server, and one process that brings up Wine's background services, so
  # that each test program starts at once and ctest does not wait on them.
  "$WINE_ENV_SERVER" -p
  timeout 300 "$WINE_ENV_BIN" cmd /c exit >/dev/null 2>&1
}

# The Linux path of the current Wine user's local application-data folder.
wine_env_local_appdata() {
  local user
  user=$(ls "$WINEPREFIX/drive_c/users" | grep -vx Public | head -n 1)
  echo "$WINEPREFIX/drive_c/users/$user/AppData/Local"
}

# A Linux path as the Wine programs see it (drive Z: is the root).
wine_env_path() {
  local p
  p=$(readlink -f "$1")
  echo "Z:${p//\//\\}"
}

wine_env_trust_ca() {
  local tool=${1:?usage: wine_env_trust_ca <velora_trust_ca.exe> <der file>} der=${2:?}
  "$WINE_ENV_BIN" "$tool" "$(wine_env_path "$der")"
}

wine_env_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  "$WINE_ENV_SERVER" -k >/dev/null 2>&1 || true
  timeout 60 "$WINE_ENV_SERVER" -w >/dev/null 2>&1 || true
}

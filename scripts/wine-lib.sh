# Shared by wine-start, wine-run and wine-stop. Sourced, not run.
#
# Everything lives under VOR_WINE_ROOT (default: <repo>/build/wine):
#   prefix/        the Wine prefix of this root (a copy of the template)
#   display        the X display number of this root's Xvfb
#   xvfb.pid       that Xvfb's process id
#   lock           serialises start-up between concurrent callers
# A ready template prefix is kept in <repo>/build/wine-template and copied,
# since creating a prefix takes half a minute and a copy under a second.

VOR_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VOR_WINE_ROOT=${VOR_WINE_ROOT:-$VOR_REPO/build/wine}
VOR_WINE_TEMPLATE=${VOR_WINE_TEMPLATE:-$VOR_REPO/build/wine-template}

export WINEPREFIX=$VOR_WINE_ROOT/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEARCH=win64
WINE=${WINE:-wine}
command -v "$WINE" >/dev/null 2>&1 || WINE=/usr/lib/wine/wine64
WINESERVER=${WINESERVER:-wineserver}
command -v wineserver >/dev/null 2>&1 || WINESERVER=/usr/lib/wine/wineserver64

vor_make_template() {
  local tpl=$VOR_WINE_TEMPLATE
  [ -f "$tpl/.ready" ] && return 0
  mkdir -p "$(dirname "$tpl")"
  (
    flock 9
    [ -f "$tpl/.ready" ] && exit 0
    rm -rf "$tpl.tmp"
    mkdir -p "$tpl.tmp"
    export WINEPREFIX=$tpl.tmp/prefix
    {
      DISPLAY= "$WINE" wineboot -i
      "$WINESERVER" -w
      DISPLAY= "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
      DISPLAY= "$WINE" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f
      "$WINESERVER" -w
    } >"$tpl.tmp/create.log" 2>&1
    [ -s "$tpl.tmp/prefix/system.reg" ] || exit 1
    rm -rf "$tpl"
    mv "$tpl.tmp/prefix" "$tpl"
    mv "$tpl.tmp/create.log" "$tpl/.create.log"
    rm -rf "$tpl.tmp"
    touch "$tpl/.ready"
  ) 9>"$(dirname "$tpl")/.wine-template.lock"
}

vor_display_alive() {
  [ -f "$VOR_WINE_ROOT/xvfb.pid" ] && kill -0 "$(cat "$VOR_WINE_ROOT/xvfb.pid")" 2>/dev/null
}

vor_start_display() {
  vor_display_alive && return 0
  # Choosing a free number and starting Xvfb on it happen under one lock shared
  # by every build folder, and an Xvfb that dies at start (its number taken
  # after all) is retried on the next number.
  (
    flock 8
    local n=90 tries pid i
    for tries in $(seq 1 20); do
      while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
      setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$VOR_WINE_ROOT/xvfb.log" 2>&1 </dev/null 8>&- 9>&- &
      pid=$!
      for i in $(seq 1 100); do
        if [ -e "/tmp/.X11-unix/X$n" ]; then
          echo "$pid" >"$VOR_WINE_ROOT/xvfb.pid"
          echo "$n" >"$VOR_WINE_ROOT/display"
          exit 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
      done
      kill "$pid" 2>/dev/null
      n=$((n + 1))
    done
    exit 1
  ) 8>/tmp/.vor-xvfb-display.lock
}

# Makes prefix, display and a persistent wineserver ready; safe to call often.
vor_wine_ready() {
  mkdir -p "$VOR_WINE_ROOT"
  if [ -f "$VOR_WINE_ROOT/.up" ] && [ -f "$WINEPREFIX/.ready" ] && vor_display_alive; then
    export DISPLAY=:$(cat "$VOR_WINE_ROOT/display")
    return 0
  fi
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      vor_make_template || exit 1
      # Copied beside and renamed into place, so that a copy cut short (a full
      # disk) never leaves a prefix that carries the template's ready mark.
      rm -rf "$WINEPREFIX" "$WINEPREFIX.tmp"
      cp -a "$VOR_WINE_TEMPLATE" "$WINEPREFIX.tmp" || { rm -rf "$WINEPREFIX.tmp"; exit 1; }
      mv "$WINEPREFIX.tmp" "$WINEPREFIX"
    fi
    vor_start_display || exit 1
    export DISPLAY=:$(cat "$VOR_WINE_ROOT/display")
    "$WINESERVER" -p >/dev/null 2>&1 </dev/null
    # Start the prefix's background processes (services, explorer) here, with
    # their standard handles on /dev/null: started by a test program instead,
    # they would inherit its output pipe and keep it open after it exits.
    "$WINE" cmd.exe /c exit 0 >/dev/null 2>&1 </dev/null
    touch "$VOR_WINE_ROOT/.up"
  ) 9>"$VOR_WINE_ROOT/lock" || return 1
  export DISPLAY=:$(cat "$VOR_WINE_ROOT/display")
}

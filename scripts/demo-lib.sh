# shellcheck shell=bash
# Shared by scripts/demo and scripts/demo-session. Sourced, not run, from the
# repository's root after scripts/wine-lib.sh, with Wine ready.
#
#   DEMO_EXE      the program as Wine starts it (a Linux path or C:\...)
#   DEMO_DIR      the demo's folder inside the prefix's drive C (Linux path)
#   DEMO_DIR_WIN  the same folder as Wine names it (C:\...)
#   DEMO_STATE    the state directory of the verbs (C:\...)
#   DEMO_IDS      the prefix of the demo's operation ids

# demo_show ARGS...: prints the command line, then the program's document and
# its exit code.
demo_show() {
  echo "\$ Vor.Marionet.exe $*"
  scripts/wine-run "$DEMO_EXE" "$@"
  echo "(exit code $?)"
  echo
}

# demo_step VERB NAME KIND [OBSERVED-BY] [TEXT]: writes the request NAME.json
# (operation id DEMO_IDS-NAME; the window from the document of step
# OBSERVED-BY), prints it, runs VERB (execute or session-execute) on it and
# keeps the document in NAME.out for the steps after it.
demo_step() {
  local verb=$1 name=$2 kind=$3 seen=${4:-} text=${5:-}
  scripts/demo-request "$kind" "$DEMO_IDS-$name" ${seen:+"$DEMO_DIR/$seen.out"} ${text:+"$text"} \
    >"$DEMO_DIR/$name.json" || return 1
  echo "\$ Vor.Marionet.exe $verb --request $DEMO_DIR_WIN\\$name.json --state-dir $DEMO_STATE"
  echo "  (request: $(cat "$DEMO_DIR/$name.json"))"
  scripts/wine-run "$DEMO_EXE" "$verb" --request "$DEMO_DIR_WIN\\$name.json" --state-dir "$DEMO_STATE" |
    tee "$DEMO_DIR/$name.out"
  echo "(exit code ${PIPESTATUS[0]})"
  echo
}

# Starts the test application from DEMO_DIR and waits (at most 10 s) for its
# "ready <window> <pid>" line: DEMO_APP_PID is then its Windows pid.
demo_start_app() {
  cp build/windows-standins/bin/test_controls.exe "$DEMO_DIR/"
  "$WINE" "$DEMO_DIR_WIN\\test_controls.exe" --log "$DEMO_DIR_WIN\\controls.log" >/dev/null 2>&1 </dev/null &
  DEMO_APP_WINE_PID=$!
  DEMO_APP_PID=
  for _ in $(seq 100); do
    DEMO_APP_PID=$(awk '/^ready / { sub(/\r$/, ""); print $3; exit }' "$DEMO_DIR/controls.log" 2>/dev/null)
    [ -n "$DEMO_APP_PID" ] && return 0
    sleep 0.1
  done
  echo "The test application did not start." >&2
  return 1
}

# The text of the test application's single-line edit after its last change
# (empty when it received nothing).
demo_app_text() {
  grep -a '^single: ' "$DEMO_DIR/controls.log" 2>/dev/null | tail -1 | tr -d '\r' | sed 's/^single: //'
}

# Ends the test application by its Windows pid (its Wine process by its own
# pid when that did not end it within 5 s).
demo_end_app() {
  [ -n "${DEMO_APP_WINE_PID:-}" ] || return 0
  [ -n "${DEMO_APP_PID:-}" ] && "$WINE" taskkill /f /pid "$DEMO_APP_PID" >/dev/null 2>&1 </dev/null
  for _ in $(seq 50); do kill -0 "$DEMO_APP_WINE_PID" 2>/dev/null || break; sleep 0.1; done
  kill "$DEMO_APP_WINE_PID" 2>/dev/null
  wait "$DEMO_APP_WINE_PID" 2>/dev/null
  DEMO_APP_WINE_PID=
}

# Sourced by the Windows test wrappers: the environment every Wine process of the tests shares,
# and the one-time preparation of its prefix.
#
# The prefix lives outside the build tree, in the user's cache, because making one takes many
# minutes where 32-bit programs run under emulation; scripts/install-deps makes it once per
# machine and Wine version. TALLYBOOK_WINEPREFIX overrides where it lives.

wine_version="$(wine --version 2>/dev/null | cut -d' ' -f1 | tr -c 'A-Za-z0-9.\n-' '_')"
[ -n "$wine_version" ] || wine_version=unknown
export WINEPREFIX="${TALLYBOOK_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tallybook/wineprefix-$wine_version}"
export WINEARCH=win32
export WINEDEBUG=-all
# No runtime installers for .NET or HTML, and no sound: the program needs none of them, and
# without a person at the machine their prompts and device probes would only cost time.
export WINEDLLOVERRIDES="mscoree,mshtml=;winealsa.drv,winepulse.drv,wineoss.drv="
# A Japanese locale: the ANSI code page is 932, so that Shift-JIS names reach the file system
# as the program's users have them.
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
unset LANGUAGE

# Makes the prefix unless a complete one is there; several callers at once wait for one maker.
prepare_wine_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -e "$WINEPREFIX/.tallybook-ready" ]; then
      rm -rf "$WINEPREFIX"
      echo "Preparing the Wine prefix $WINEPREFIX (once per machine; slow under emulation)" >&2
      # wineboot may stop waiting before the prefix is complete; the work carries on in Wine's
      # own processes, which wineserver -w waits for. Under emulation one of those services
      # has been seen to spin for an hour after the prefix was written: past a generous bound
      # the server is ended, and the next Wine start completes whatever was left.
      DISPLAY= wineboot -i >/dev/null 2>&1 || true
      if ! timeout "${TALLYBOOK_WINEBOOT_LIMIT:-1800}" wineserver -w; then
        echo "Wine's services had not settled after ${TALLYBOOK_WINEBOOT_LIMIT:-1800} s; ending them" >&2
        wineserver -k || true
      fi
      if [ ! -e "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
        echo "could not prepare the Wine prefix $WINEPREFIX" >&2
        exit 1
      fi
      touch "$WINEPREFIX/.tallybook-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# A run of tests/windows/with-display holds one Wine session for all its programs: the server,
# Wine's services and a hidden window (keep_desktop.c) that keeps the desktop open. The server
# works in a folder named after the prefix's device and file number; its process id and that
# folder, in $TALLYBOOK_WINE_SESSION, show whether the session still stands. Nothing started
# here keeps descriptor 9, the session's lock, open after the caller lets it go.
start_wine_session() {
  local session="$TALLYBOOK_WINE_SESSION" device number keep_desktop first attempt serverless
  read -r device number < <(stat -L -c '%d %i' "$WINEPREFIX")
  printf 'server-%x-%x\n' "$device" "$number" >"$session/server-folder"
  for attempt in 1 2 3; do
    wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
    # Wine's own services start with the session's first program and outlive it. Started here,
    # away from any test's output, they hold no pipe of a test open, so nobody waits on them for
    # its end, and no test pays their start-up. Under emulation the server has been seen to
    # crash while they start, and they then wait for ever: where no server has run for half a
    # minute (a program starts a new one within seconds), the session is started again.
    wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- &
    first=$!
    serverless=0
    while kill -0 "$first" 2>/dev/null && [ "$serverless" -lt 30 ]; do
      sleep 2
      record_wine_server
      if [ -s "$session/server" ]; then serverless=0; else serverless=$((serverless + 2)); fi
    done
    if ! kill -0 "$first" 2>/dev/null; then
      wait "$first" || true
      break
    fi
    end_wine_processes
    tell_wine_restart
  done
  # By now the server runs, whether `wineserver -p` or that first program started it.
  record_wine_server
  # Wine closes its desktop process whenever no program uses the desktop, and starts it again
  # for the next one. A hidden window held for the whole session keeps it open.
  keep_desktop="${TALLYBOOK_KEEP_DESKTOP:-$(dirname "${BASH_SOURCE[0]}")/../../build/windows/tests/keep_desktop.exe}"
  if [ -f "$keep_desktop" ]; then
    wine "$keep_desktop" </dev/null >/dev/null 2>&1 9>&- &
  fi
}

# Notes the session's server process id: the process working in the session's server folder,
# none while no server runs.
record_wine_server() {
  local folder
  folder=$(cat "$TALLYBOOK_WINE_SESSION/server-folder")
  { find /proc -mindepth 2 -maxdepth 2 -name cwd -lname "*/$folder" 2>/dev/null || true; } |
    sed -n '1s|^/proc/\([0-9]*\)/cwd$|\1|p' >"$TALLYBOOK_WINE_SESSION/server"
}

# Ends every process left of a session: the Wine processes whose environment names the prefix.
end_wine_processes() {
  local environ pid
  for environ in $(grep -lzx "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null); do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in
      */qemu-i386* | */wine*) kill -9 "$pid" 2>/dev/null || true ;;
    esac
  done
}

# Counts a new start of the session for the run's end, and says it at once on the run's own
# standard error, so that a run cut short by a bound still shows it, beside the test it
# happened in.
tell_wine_restart() {
  echo restarted >>"$TALLYBOOK_WINE_SESSION/restarts"
  { echo "Wine's server had ended; starting its session again" \
      >"/proc/$TALLYBOOK_DISPLAY_OWNER/fd/2"; } 2>/dev/null || true
}

# True while the server the session started still runs.
wine_session_stands() {
  local server
  server=$(cat "$TALLYBOOK_WINE_SESSION/server" 2>/dev/null) && [ -n "$server" ] || return 0
  case "$(readlink "/proc/$server/cwd" 2>/dev/null)" in
    */"$(cat "$TALLYBOOK_WINE_SESSION/server-folder")") return 0 ;;
  esac
  return 1
}

# Under emulation Wine's server has been seen to crash in the middle of a run. Its programs do
# not end with it but wait, and every program after it starts Wine afresh, a minute or more
# each, until the run outlasts any bound. So a program started in a run whose server has gone
# first ends what is left of the old session and starts a new one; the run says at its end how
# often that happened.
keep_wine_session() {
  [ -n "${TALLYBOOK_WINE_SESSION:-}" ] && [ -d "$TALLYBOOK_WINE_SESSION" ] || return 0
  wine_session_stands && return 0
  (
    flock 9
    wine_session_stands && exit 0
    end_wine_processes
    tell_wine_restart
    start_wine_session
  ) 9>"$TALLYBOOK_WINE_SESSION/lock"
}

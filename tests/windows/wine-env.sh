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

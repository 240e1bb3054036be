# Sourced by scripts: a private Wine prefix under build/, Japanese ANSI code
# page (or the locale in UPDATER_WINE_LOCALE: C.UTF-8 gives the Western 1252),
# an Xvfb display and a persistent wineserver, all stopped by wine_stop.
ROOT="${ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL="${UPDATER_WINE_LOCALE:-ja_JP.UTF-8}"
export WINEARCH=win64

_xvfb_pid=""

# Prints why Wine cannot run 32-bit programs here, or nothing when it can.
wine32_missing() {
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" && return 0
  if [ -s "$ROOT/build/wine32-missing.txt" ]; then
    cat "$ROOT/build/wine32-missing.txt"
  else
    echo "Wine's 32-bit side (wine32:i386) is not installed; scripts/setup installs it"
  fi
}

wine_start() {
  # Wine takes the ANSI code page from the locale; one that is not generated
  # falls back to 1252. C.UTF-8 is always there.
  local wanted="${LC_ALL%%.*}.utf8"
  case "$LC_ALL" in
  C.* | C | POSIX) ;;
  *)
    if ! locale -a 2>/dev/null | grep -qix "$wanted"; then
      if [ -f /etc/locale.gen ] && ! grep -q "^$LC_ALL UTF-8" /etc/locale.gen; then
        echo "$LC_ALL UTF-8" >> /etc/locale.gen
      fi
      command -v locale-gen >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q locales >/dev/null
      locale-gen >/dev/null
    fi
    ;;
  esac
  if [ -z "${DISPLAY:-}" ] || [ "${UPDATER_OWN_DISPLAY:-1}" = 1 ]; then
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    _xvfb_pid=$!
    local n
    read -r n <"$fifo"
    rm -f "$fifo"
    export DISPLAY=":$n"
  fi
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
    wineserver -w
  elif [ -z "$(wine32_missing)" ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    # Made before Wine's 32-bit side was installed: a 32-bit program cannot
    # even load kernel32 there. Without its timestamp Wine updates the prefix
    # as after an upgrade, which brings the 32-bit system files.
    wineserver -k >/dev/null 2>&1 || true
    rm -f "$WINEPREFIX/.update-timestamp"
    wineboot -u >/dev/null 2>&1
    wineserver -w
  fi
  # One persistent server for the whole run: a process then starts in ~0.05 s.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p
  # Without a window manager Wine waits up to 2 s whenever a window is hidden.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # A program that crashes must end, not wait in the debugger's dialog until a test times out.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  # Japanese glyphs for screenshots: the dialog font mapped to an installed CJK font.
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ Ｐゴシック' /d IPAPGothic /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS Shell Dlg' /d IPAPGothic /f >/dev/null 2>&1
}

wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$_xvfb_pid" ]; then
    kill "$_xvfb_pid" 2>/dev/null || true
    wait "$_xvfb_pid" 2>/dev/null || true
    _xvfb_pid=""
  fi
}

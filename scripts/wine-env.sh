# Sourced by the scripts: the project's own Wine prefixes and X display.
# Prefixes live under build/wine/ and are created once, then reused.

CORVAN_ROOT=${CORVAN_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
CORVAN_WINE_DIR="$CORVAN_ROOT/build/wine"
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs while a prefix is created, and no
# desktop menu entries made for what the tests install.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
unset http_proxy https_proxy ftp_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY

# wine_prefix_path win64|win32
wine_prefix_path() { echo "$CORVAN_WINE_DIR/$1"; }

# Creates the prefix when it does not exist yet and installs the fonts the
# program's windows use (Wine does not search fonts-wine's folder).
wine_prefix_ensure() {
  local name=$1 prefix
  prefix=$(wine_prefix_path "$name")
  # The marker names the prefix's set-up; a prefix of an older set-up is
  # made anew.
  if [ ! -f "$prefix/.corvan-ready-3" ]; then
    rm -rf "$prefix"; mkdir -p "$prefix"
    local arch=()
    [ "$name" = win32 ] && arch=(env WINEARCH=win32)
    echo "wine: creating prefix $name" >&2
    "${arch[@]}" env WINEPREFIX="$prefix" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$prefix" wineserver -w
    # No window manager runs on the test display: unmanaged windows spare the
    # two-second wait Wine spends on every hide for a manager to answer.
    WINEPREFIX="$prefix" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    # An unhandled fault starts winedbg, which on a display shows a crash
    # dialog that nobody closes while it holds the program frozen: the test
    # hangs until ctest's time-out. Without the dialog it prints the
    # backtrace to the test's output and ends the program at once.
    WINEPREFIX="$prefix" wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w
    touch "$prefix/.corvan-ready-3"
  fi
  local fonts="$prefix/drive_c/windows/Fonts"
  mkdir -p "$fonts"
  for f in /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf; do
    [ -f "$f" ] && [ ! -f "$fonts/$(basename "$f")" ] && cp "$f" "$fonts/"
  done
  return 0
}

# wine_start NAME PROGRAM [ARGS...]: starts a Windows program in the
# background in prefix NAME (which it exports as WINEPREFIX); sets WINE_PID.
wine_start() {
  local name=$1; shift
  wine_prefix_ensure "$name"
  export WINEPREFIX
  WINEPREFIX=$(wine_prefix_path "$name")
  wine "$@" &
  WINE_PID=$!
}

# wine_wait_window TITLE [SECONDS]: prints the id of the first window whose
# title matches the extended regex TITLE, waiting up to SECONDS (20); fails
# when none appears.
wine_wait_window() {
  local title=$1 tries=$((${2:-20} * 5)) window
  for _ in $(seq "$tries"); do
    window=$(xdotool search --name "$title" 2>/dev/null | head -1 || true)
    [ -n "$window" ] && { echo "$window"; return 0; }
    sleep 0.2
  done
  echo "wine: no window \"$title\" appeared" >&2
  return 1
}

# wine_visible_windows: every visible window on the display, one a line as
# "ID TITLE" (the display is the test's own: these are our programs').
wine_visible_windows() {
  local w
  for w in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
    echo "$w $(xdotool getwindowname "$w" 2>/dev/null)"
  done
}

# wine_end NAME: ends every program of the prefix and reaps WINE_PID.
wine_end() {
  wine_prefix_kill "$1"
  if [ -n "${WINE_PID:-}" ]; then wait "$WINE_PID" 2>/dev/null || true; fi
  WINE_PID=""
}

# wine_runs_here: true when this machine can run Wine's 32-bit loader. A
# kernel without IA-32 emulation (some hypervisors turn it off) refuses
# every 32-bit program with "Exec format error", so no Windows test of this
# 32-bit program can run there.
wine_runs_here() { wine --version >/dev/null 2>&1; }

# Ends the wineserver (and with it every process) of one of our prefixes.
wine_prefix_kill() {
  local prefix
  prefix=$(wine_prefix_path "$1")
  [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
}

# Starts Xvfb on a free display unless DISPLAY already names one that
# answers; sets CORVAN_XVFB_PID when it started one.
xvfb_ensure() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  # Xvfb picks a free display number itself and writes it to the fifo, so
  # parallel runs never race for the same number.
  local fifo n
  fifo=$(mktemp -u); mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  CORVAN_XVFB_PID=$!
  read -r -t 20 n <"$fifo" || n=""
  rm -f "$fifo"
  [ -n "$n" ] || { echo "xvfb: no display came up" >&2; return 1; }
  export DISPLAY=":$n"
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "xvfb: display :$n does not answer" >&2
  return 1
}

xvfb_stop() {
  if [ -n "${CORVAN_XVFB_PID:-}" ]; then kill "$CORVAN_XVFB_PID" 2>/dev/null || true; wait "$CORVAN_XVFB_PID" 2>/dev/null || true; fi
}

# Runs of quarn.exe under Wine against quarn-sim, sourced by tests/wine/run
# and bench/run. The caller sets `work` (a fresh folder, removed by the
# caller), `exe` and `sim`, defines `die MESSAGE`, and calls server_stop on
# every way out.
wine_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

export WINEDEBUG=-all
# File names and console text pass through Wine's Unix side as UTF-8.
export LC_ALL=C.UTF-8
# No Mono or Gecko install at prefix creation, no menu entries in $HOME, no
# HID and USB drivers polling devices in the background.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe,winebus.sys,wineusb.sys=d"
unset DISPLAY WAYLAND_DISPLAY

# Our own server, in the foreground as our child: a background one would
# outlive the run and hold the terminal it was started from.
server=
server_start() {
  wineserver -f -p </dev/null >>"$work/wineserver.log" 2>&1 &
  server=$!
}

server_stop() {
  [[ -n $server ]] || return 0
  wineserver -k 2>/dev/null
  timeout 5 tail --pid="$server" -f /dev/null || kill -9 "$server" 2>/dev/null
  wait "$server" 2>/dev/null
  server=
  # Debian's Wine keeps the server's socket in $TMPDIR/wine-XXXXXX, named in the prefix.
  local dir
  dir=$(cat "$WINEPREFIX/wineserver" 2>/dev/null) && [[ $dir =~ ^wine-[A-Za-z0-9]+$ ]] && rm -rf "${TMPDIR:-/tmp}/$dir"
}

# The Windows programs are 32-bit, but a kernel without IA-32 emulation runs
# no 32-bit program, 32-bit Wine included: there Wine runs 64-bit builds of
# them. Sets WINEARCH and `mingw`, the compiler prefix for programs Wine runs.
wine_arch() {
  if [[ -z ${WINEARCH:-} ]]; then
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then export WINEARCH=win32; else export WINEARCH=win64; fi
  fi
  if [[ $WINEARCH == win32 ]]; then
    mingw=i686-w64-mingw32
    return
  fi
  mingw=x86_64-w64-mingw32
  # Debian's wine runs the 32-bit loader whenever it is installed: call the
  # 64-bit one by the names Wine's own tools call.
  mkdir -p "$work/bin"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$work/bin/wine"
  cp "$work/bin/wine" "$work/bin/wine-stable"
  chmod +x "$work/bin/wine" "$work/bin/wine-stable"
  export PATH=$work/bin:$PATH WINELOADER=/usr/lib/wine/wine64
}

# A prefix in $work whose COM1 is $com1, and the message-box closer.
wine_prefix() {
  wine_arch
  export WINEPREFIX=$work/prefix HOME=$work/home
  com1=$work/com1
  mkdir -p "$WINEPREFIX" "$HOME"
  $mingw-gcc -O2 -Wall -Wextra -o "$work/closebox.exe" "$wine_here/closebox.c" || die "cannot build closebox.exe"
  server_start
  wineboot -i >>"$work/wineboot.log" 2>&1 || die "wineboot: $(tail -3 "$work/wineboot.log")"
  # COM ports by the registry: a link made under dosdevices by hand would be
  # replaced at the next start by one to the machine's own /dev/ttyS0.
  printf '%s\r\n' 'REGEDIT4' '' \
    '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]' "\"COM1\"=\"$com1\"" "\"COM2\"=\"$work/com2\"" \
    "\"COM12\"=\"$com1\"" '' \
    '[HKEY_CURRENT_USER\Software\Wine\Drivers]' '"Graphics"="null"' '' >"$work/setup.reg"
  wine regedit /S "$work/setup.reg" >>"$work/wineboot.log" 2>&1 || die "regedit"
  # The ports are read when Wine's device manager starts: start afresh.
  server_stop
  server_start
  wine reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1 || die "the prefix does not start"
  [[ $(readlink "$WINEPREFIX/dosdevices/com1") == "$com1" ]] ||
    die "COM1 is $(readlink "$WINEPREFIX/dosdevices/com1"), not $com1"
  # Wine gives the machine's own ports the first free COM names as it starts:
  # none of them may lead there.
  find "$WINEPREFIX/dosdevices/" -lname '/dev/*' -delete
  # The program a test or a benchmark runs in place of quarn. In a cgroup
  # when $QUARN_CGROUP names one: what Wine runs for it is counted there.
  export exe work WINEPREFIX wine_limit
  local how
  for how in quarn quarnc; do
    printf '#!/usr/bin/env bash\n[ -z "${QUARN_CGROUP:-}" ] || echo $$ >"$QUARN_CGROUP/cgroup.procs"\n. %q\nwine_%s "$@"\n' \
      "$wine_here/wine.sh" "$how" >"$work/$how"
    chmod +x "$work/$how"
  done
}

# The port variables quarn-sim sets name its terminal, which the Windows
# program can't open: it gets COM1 as Wine maps it, or $QUARN_WINE_COM1.
wine_ports() {
  unset QUARN_COM1 QUARN_COM2
  [[ -z ${QUARN_WINE_COM1:-} ]] || export QUARN_COM1=$QUARN_WINE_COM1
}

# quarnc.exe, the console twin, as the tests run a program: its output is a
# pipe, so it writes there (with Windows line ends, in the ANSI code page:
# Windows-1252 here, read back as UTF-8), and it shows no box.
wine_quarnc() {
  local st
  wine_ports
  timeout "${wine_limit:-30}" wine "$(dirname "$exe")/quarnc.exe" "$@" </dev/null |
    perl -MEncode -pe 's/\r\n/\n/; $_ = encode_utf8(decode("cp1252", $_))'
  st=${PIPESTATUS[0]}
  return "$st"
}

# quarn.exe as the tests run a program: with these arguments, under a
# terminal Wine's console can draw on, its closing message box answered
# and checked (with $wine_boxhold set, only once the file it names, made
# when the box came, is gone). Prints what was drawn on the console (0x01 where it erased
# to the line's end; the test runner draws it) and returns
# quarn.exe's status, or 99 when its box was wrong or never came. A process
# of its own: wine_prefix writes $work/quarn, which runs it.
wine_quarn() {
  local cmd box st=0 tmp i
  wine_ports
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/quarn-exe.XXXXXX")
  printf -v cmd '%q ' wine "$exe" "$@"
  wine "$work/closebox.exe" "${wine_limit:-30}" ${wine_boxhold:+"$wine_boxhold"} </dev/null >"$tmp/box.log" 2>&1 &
  box=$!
  # The console opened under Wine reaches only a terminal: give Wine one,
  # wide enough that no line wraps, and without LF -> CR LF on the way out.
  timeout "${wine_limit:-30}" script -qfec "stty -onlcr cols 250 rows 50; exec $cmd" /dev/null </dev/null >"$tmp/tty.raw" || st=$?
  # quarn.exe cannot end before its box is closed: a closer still waiting
  # now will never see one.
  for ((i = 0; i < 20; i++)); do kill -0 "$box" 2>/dev/null && sleep 0.1; done
  kill "$box" 2>/dev/null
  wait "$box" || { cat "$tmp/box.log" >&2; st=99; }
  # Wine's console draws on the terminal: blanks come as erase-and-move,
  # the cursor is hidden and shown around every write, and the console's
  # own line end is CR LF.
  perl -0777 -pe 's/\e\[\?25[lh]//g; s/\e\[K/\x01/g; s/\e\[(\d*)C/" " x ($1 || 1)/ge; s/\r\n/\n/g' "$tmp/tty.raw"
  rm -rf "$tmp"
  return $st
}

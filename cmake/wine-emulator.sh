#!/usr/bin/env bash
# The emulator ctest runs each Windows test program through (the toolchains'
# CMAKE_CROSSCOMPILING_EMULATOR): wine, and a check that the program ended on
# its own. Wine gives no sign of a program ended from outside: ended by
# TerminateProcess from another process (with any exit code, as the task
# manager and "taskkill /f" do it), or by SIGINT or SIGQUIT to its wine
# process, it exits with status 0, which ctest would count as passed.
#
# So a test program must show that it finished, by GoogleTest's premature-exit
# protocol: the file named by TEST_PREMATURE_EXIT_FILE is deleted once the
# program has run its tests (GoogleTest does it; a plain test program does it
# itself). The file is made here before the program starts; if it is still
# there when the program has ended, the run fails, whatever wine returned.
#   wine-emulator.sh PROGRAM [ARGUMENTS...]
set -u
marker_dir=$(mktemp -d "${TMPDIR:-/tmp}/wine-test.XXXXXX") && marker_dir=$(cd "$marker_dir" && pwd) || exit 125
trap 'rm -rf "$marker_dir"' EXIT
marker="$marker_dir/running"
: >"$marker"
# Wine's drive Z: is the host's root unless a prefix maps it elsewhere; winepath
# (a Wine process of its own, ~0.25 s) only then.
if [ "$(readlink "${WINEPREFIX:-$HOME/.wine}/dosdevices/z:" 2>/dev/null)" = / ]; then
  TEST_PREMATURE_EXIT_FILE="Z:${marker//\//\\}"
else
  TEST_PREMATURE_EXIT_FILE=$(winepath -w "$marker" 2>/dev/null | tr -d '\r')
fi
if [ -z "$TEST_PREMATURE_EXIT_FILE" ]; then
  echo "wine-emulator: winepath cannot name $marker for Wine" >&2
  exit 125
fi
export TEST_PREMATURE_EXIT_FILE

# The program writes to a file that this script shows as it grows, never to
# ctest's pipe: Wine starts its desktop process (explorer.exe) from whichever
# program first needs it, with that program's stderr, and the desktop stays
# while any Wine program runs. Holding ctest's pipe, it kept a test that had
# finished from ending until ctest's time limit.
output="$marker_dir/output"
: >"$output"
# Where Wine's 32-bit side is installed, `wine` is its 32-bit loader, which
# hands a 64-bit program to a start.exe of its own: the program is then a
# second process, started by start.exe (which Wine sometimes fails to do), and
# a signal to the wine process reaches start.exe, not the program (SIGINT left
# a hung test running). Wine's 64-bit loader runs a 64-bit program itself.
loader=wine
pe_header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
if [ -n "$pe_header" ] && [ "$(od -An -tx2 -j$((pe_header + 4)) -N2 "$1" | tr -d ' ')" = 8664 ]; then
  for candidate in "$(command -v wine64)" /usr/lib/wine/wine64; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      loader=$candidate
      break
    fi
  done
fi
# In the background, so that a signal sent to this script reaches the program.
"$loader" "$@" <&0 >"$output" 2>&1 &
program=$!
tail -n +1 -s 0.1 --pid="$program" -f "$output" &
shown=$!
trap 'kill -TERM "$program" 2>/dev/null' TERM INT HUP
# A trapped signal ends a wait early: wait again until the program has ended.
while :; do
  wait "$program"
  status=$?
  kill -0 "$program" 2>/dev/null || break
done
# tail ends once it has shown what the program wrote.
wait "$shown"

if [ -e "$marker" ]; then
  echo "wine-emulator: $1 did not finish (wine exit status $status): it was ended from outside, or" \
    "crashed, or it never deletes TEST_PREMATURE_EXIT_FILE" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"

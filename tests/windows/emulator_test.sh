#!/usr/bin/env bash
# ctest's emulator for the Windows test programs (cmake/wine-emulator.sh), run
# on a probe program (fixtures/exit_probe.cpp) ended in each way: ended on its
# own, the program's exit status stands; ended from outside, by another Windows
# process or by a signal to its wine process, the run fails and says so, where
# plain wine would end with 0 for most of them.
#   emulator_test.sh EMULATOR PROBE
emulator=${1:?emulator}
probe=${2:?probe program}
status=0
fail() {
  echo "FAIL: $*"
  status=1
}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
said_unfinished() { grep -q 'wine-emulator: .* did not finish' "$out"; }

# test | exit status expected (a number, or "failed": not 0, and said so)
for row in "Passes|0" "Fails|1" "EndedByAnotherProcess|failed"; do
  IFS='|' read -r test expected <<<"$row"
  "$emulator" "$probe" --gtest_filter="ExitProbe.$test" >"$out" 2>&1
  code=$?
  echo "== $test: exit status $code"
  if [ "$expected" = failed ]; then
    { [ "$code" -ne 0 ] && said_unfinished; } || { cat "$out"; fail "$test: counted as finished"; }
  else
    [ "$code" = "$expected" ] || { cat "$out"; fail "$test: exit status $code, not $expected"; }
    said_unfinished && fail "$test: said unfinished"
  fi
done

# A program that ends while a process it started still runs with its output
# (Wine's desktop process does so): the run ends with the program, as ctest
# waits for its pipe to close. The probe's process lingers 30 s.
started=$(date +%s)
"$emulator" "$probe" --gtest_filter=ExitProbe.LeavesAProcessRunning 2>&1 | cat >"$out"
code=${PIPESTATUS[0]}
took=$(($(date +%s) - started))
echo "== LeavesAProcessRunning: exit status $code, its output closed after ${took} s"
[ "$code" = 0 ] || { cat "$out"; fail "LeavesAProcessRunning: exit status $code"; }
[ "$took" -lt 20 ] || fail "LeavesAProcessRunning: the output stayed open while the process it left ran"

# A hung test ended by its process id: the wine process is the emulator's
# child (or the emulator itself, when it is plain wine).
for signal in TERM INT QUIT KILL; do
  "$emulator" "$probe" --gtest_filter=ExitProbe.Hangs >"$out" 2>&1 &
  runner=$!
  for _ in $(seq 300); do
    grep -q hanging "$out" && break
    sleep 0.1
  done
  # (the emulator's other child shows the program's output)
  program=""
  for child in $(pgrep -P "$runner"); do
    [ "$(cat "/proc/$child/comm" 2>/dev/null)" = tail ] || program=$child
  done
  [ -n "$program" ] || program=$runner
  if ! grep -q hanging "$out"; then
    fail "SIG$signal: the probe did not start"
    kill -KILL "$runner" $program 2>/dev/null
    wait "$runner"
    continue
  fi
  kill -"$signal" "$program"
  wait "$runner"
  code=$?
  echo "== Hangs, then SIG$signal to its wine process: exit status $code"
  { [ "$code" -ne 0 ] && said_unfinished; } || { cat "$out"; fail "SIG$signal: counted as finished"; }
done
exit $status

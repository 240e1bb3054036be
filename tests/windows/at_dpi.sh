#!/bin/sh
# Runs Windows-side test cases with the display at another DPI: Wine takes it
# from LogPixels when each process starts, so it holds for every program that
# starts meanwhile. ctest runs this alone (RUN_SERIAL) and it puts the setting
# back however the cases end. The program runs through ctest's emulator
# (cmake/wine-emulator.sh), so that it fails when it is ended from outside.
#   usage: at_dpi.sh EMULATOR DPI TEST_EXE GTEST_FILTER
set -u
emulator=${1:?emulator}
dpi=${2:?DPI}
exe=${3:?test program}
filter=${4:?gtest filter}
key='HKCU\Control Panel\Desktop'

old=$(wine reg query "$key" /v LogPixels 2>/dev/null | tr -d '\r' | awk '$1 == "LogPixels" { print $3 }')
restore() {
  if [ -n "$old" ]; then
    wine reg add "$key" /v LogPixels /t REG_DWORD /d "$(printf '%d' "$old")" /f >/dev/null 2>&1
  else
    wine reg delete "$key" /v LogPixels /f >/dev/null 2>&1
  fi
}
trap restore EXIT INT TERM
wine reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 || { echo "cannot set LogPixels" >&2; exit 1; }
UPDATER_EXPECT_DPI=$dpi "$emulator" "$exe" --gtest_filter="$filter"

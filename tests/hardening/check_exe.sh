#!/bin/sh
# Fails when a built updater could pick up a planted DLL through its import
# table or has lost a binary protection.   usage: check_exe.sh OBJDUMP EXE...
# A statically imported DLL is resolved before the program's first line runs,
# so no search restriction can protect it: only DLLs that Windows always takes
# from the system folder may be imported. Everything else is loaded by name
# after RestrictDllSearch.
set -u
# objdump translates its labels ("file format", "Characteristics") otherwise.
export LC_ALL=C
objdump=${1:?objdump}
shift
[ $# -gt 0 ] || { echo "usage: $0 OBJDUMP EXE..." >&2; exit 2; }

allowed="kernel32.dll user32.dll gdi32.dll shell32.dll shlwapi.dll advapi32.dll ole32.dll msvcrt.dll"
status=0
fail() {
  echo "FAIL $exe: $*"
  status=1
  exe_ok=0
}

for exe in "$@"; do
  exe_ok=1
  headers=$("$objdump" -p "$exe") || { fail "objdump -p could not read it"; continue; }
  sections=$("$objdump" -h "$exe") || { fail "objdump -h could not read it"; continue; }

  # Import and delay-import tables alike.
  dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | tr -d '\r')
  [ -n "$dlls" ] || fail "no import table found (objdump output changed?)"
  for dll in $dlls; do
    case " $allowed " in
    *" $dll "*) ;;
    *) fail "imports $dll, which is not always loaded from the system folder" ;;
    esac
  done

  # Functions that Windows 7 lacks until an update: an import of one keeps the
  # exe from starting there, before it could show any message. They are looked
  # up at run time instead.
  for fn in SetDefaultDllDirectories AddDllDirectory RemoveDllDirectory; do
    if printf '%s\n' "$headers" | grep -qw "$fn"; then
      fail "imports $fn, which Windows 7 without its update lacks"
    fi
  done

  # The flags objdump lists under DllCharacteristics, one per line.
  flags=$(printf '%s\n' "$headers" | sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p')
  [ -n "$flags" ] || fail "no DllCharacteristics found (objdump output changed?)"
  required="DYNAMIC_BASE NX_COMPAT"
  if printf '%s\n' "$headers" | grep -q '^Magic.*PE32+'; then
    # A PE32+ (x64) image can use the full 64-bit range for ASLR. Its exception
    # handlers are listed in its unwind tables, never taken from the stack.
    required="$required HIGH_ENTROPY_VA"
  else
    # An x86 image's exception handlers are frames on the stack, so an overflow
    # can plant one; MSVC's linker lists the image's valid handlers (SafeSEH)
    # and Windows refuses the others. GCC writes no such list: its C++
    # exceptions unwind by DWARF tables, and the image has no handler to list.
    # NO_SEH says exactly that, and Windows then refuses every handler that
    # points into the image, as an empty list would. The flag is true only
    # while no code registers a handler frame: that takes the chain's head at
    # %fs:0, and such a handler would end the program on Windows' first
    # exception, so no instruction may address it.
    required="$required NO_SEH"
    frames=$("$objdump" -d "$exe" | grep -E '%fs:(0x0+)?([^0-9a-fx]|$)' | head -3 | tr -s '\t\n ' '   ')
    [ -z "$frames" ] || fail "registers an exception handler frame at %fs:0, which NO_SEH forbids: $frames"
  fi
  for flag in $required; do
    printf '%s\n' "$flags" | grep -qw "$flag" || fail "DllCharacteristics lacks $flag"
  done
  # ASLR needs the relocations to move the image.
  if printf '%s\n' "$headers" | sed -n '/^Characteristics/,/^$/p' | grep -q 'relocations stripped'; then
    fail "relocations are stripped, so the image cannot be moved"
  fi

  # objdump -h prints each section's flags on the line after its name: CODE
  # for executable sections, READONLY unless the section is writable.
  bad=$(printf '%s\n' "$sections" | awk '
    /^ *[0-9]+ / { name = $2; next }
    name != "" && /CODE/ && !/READONLY/ { print name }
    { name = "" }')
  [ -z "$bad" ] || fail "sections both writable and executable: $bad"
  [ $exe_ok -eq 0 ] || echo "ok $exe: imports $(echo $dlls | tr '\n' ' ')"
done
exit $status

#!/bin/sh
# Maps a small tmpfs as Wine drive U: for the end-to-end full-drive row, or
# removes it again.   usage: full_drive.sh up|down MOUNT_DIR
# U:, not the T: of the Windows-side tests, so both can be mapped at once.
# Mounting needs root; when it fails, U: is left unmapped and the row skips.
set -u
action=${1:?up or down}
dir=${2:?mount folder}
link="${WINEPREFIX:-$HOME/.wine}/dosdevices/u:"

unmount() {
  rm -f "$link"
  if mountpoint -q "$dir" 2>/dev/null; then umount "$dir" || exit 1; fi
  rmdir "$dir" 2>/dev/null || true
}

case $action in
up)
  unmount
  mkdir -p "$dir" "$(dirname "$link")" || exit 1
  if mount -t tmpfs -o size=3m,mode=0777 tmpfs "$dir" 2>/dev/null; then
    ln -s "$dir" "$link" || exit 1
  else
    echo "full_drive: cannot mount a tmpfs here, so drive U: is not mapped" >&2
  fi
  ;;
down)
  unmount
  ;;
*)
  echo "usage: $0 up|down MOUNT_DIR" >&2
  exit 2
  ;;
esac
exit 0

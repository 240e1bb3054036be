#!/bin/sh
# Maps a small tmpfs as a Wine drive letter for the free-space and disk-full
# tests, or removes it again.   usage: tmpfs_drive.sh up|down MOUNT_DIR LETTER
# A tmpfs reports exact sizes, so the tests know the free and total megabytes.
# Mounting needs root; when it fails, the letter is left unmapped and the tests skip.
set -u
action=${1:?up or down}
dir=${2:?mount folder}
letter=${3:?drive letter}
link="${WINEPREFIX:-$HOME/.wine}/dosdevices/$letter:"

unmount() {
  rm -f "$link"
  if mountpoint -q "$dir" 2>/dev/null; then umount "$dir" || exit 1; fi
  rmdir "$dir" 2>/dev/null || true
}

case $action in
up)
  # Start from an empty volume even after an interrupted run.
  unmount
  mkdir -p "$dir" "$(dirname "$link")" || exit 1
  if mount -t tmpfs -o size=3m,mode=0777 tmpfs "$dir" 2>/dev/null; then
    ln -s "$dir" "$link" || exit 1
  else
    echo "tmpfs_drive: cannot mount a tmpfs here, so drive $letter: is not mapped" >&2
  fi
  ;;
down)
  unmount
  ;;
*)
  echo "usage: $0 up|down MOUNT_DIR LETTER" >&2
  exit 2
  ;;
esac
exit 0

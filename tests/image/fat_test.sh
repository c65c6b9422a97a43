#!/bin/bash
# A repair of the real Windows Me SYSTEM.DAT on a FAT32 file system mounted
# as a user mounts a Windows partition: owner and mode fixed by the mount
# options, no unnamed temporary files, time stamps to two seconds. The
# kernel's vfat driver where it mounts, else the FUSE FAT driver.
#
#   fat_test.sh QVINST98 SYSTEM.DAT.xz MACHINES_DIR TMPDIR
#
# Where neither mounts (not root, no loop device, no vfat, no FUSE, no
# mkfs.fat) it prints one "NOT RUN:" line saying why and exits 77, which the
# test registers as skipped: ./dev test shows that line in its summary.
set -u

if [ $# -ne 4 ]; then
  echo "usage: $0 QVINST98 SYSTEM.DAT.xz MACHINES_DIR TMPDIR" >&2
  exit 2
fi
tool=$1
machines=$3
tmp=$4
mnt=$tmp/mnt
out=$tmp/out
err=$tmp/err
mounted=""

not_run() {
  echo "NOT RUN: the FAT32 commit test: $*"
  exit 77
}
unmount() {
  [ -n "$mounted" ] && umount "$mnt" 2>/dev/null
  mounted=""
}
trap unmount EXIT

# The owner and mode the mount gives every file.
owner=65534:65534
mode=755
mount_fat() {
  if [ "$driver" = vfat ]; then
    mount -t vfat -o "loop,uid=${owner%:*},gid=${owner#*:},umask=022" "$tmp/fat.img" "$mnt"
  else
    # Its messages on mounting go to its log.
    fusefat -o "rw+,uid=${owner%:*},gid=${owner#*:},umask=022" "$tmp/fat.img" "$mnt" \
      >>"$tmp/fusefat.log" 2>&1 || { tail -n 1 "$tmp/fusefat.log" >&2 && false; }
  fi || return 1
  mounted=yes
}

[ "$(id -u)" -eq 0 ] || not_run "mounting a file system needs root"
command -v mkfs.fat >/dev/null || not_run "no mkfs.fat (Debian package dosfstools)"
rm -rf "$tmp"
mkdir -p "$mnt"
truncate -s 64M "$tmp/fat.img" && mkfs.fat -F 32 -n WINME "$tmp/fat.img" >/dev/null ||
  not_run "mkfs.fat cannot make a FAT32 image"
why=""
driver=vfat
if ! mount_fat 2>"$err"; then
  why="mount -t vfat -o loop: $(head -n 1 "$err")"
  driver=fusefat
  if [ ! -e /dev/fuse ]; then
    why="$why; no /dev/fuse"
  elif ! command -v fusefat >/dev/null; then
    why="$why; no fusefat (Debian package fusefat)"
  elif ! mount_fat 2>"$err"; then
    why="$why; fusefat: $(head -n 1 "$err")"
  fi
fi
[ -n "$mounted" ] || not_run "$why"
echo "FAT32 mounted with $driver (uid, gid and umask set by the mount)${why:+; $why}"

real=$tmp/SYSTEM.DAT
if ! xz -dc "$2" >"$real"; then
  echo "FAIL: cannot unpack $2"
  exit 1
fi
# shellcheck source=../tool/checks.sh
. "$(dirname "$0")/../tool/checks.sh"
listing() { (cd "$1" && ls -A | sort); }
wait_for() {
  local i
  for i in $(seq 1 1000); do
    [ -e "$1" ] && return 0
    sleep 0.01
  done
  return 1
}

# The product's records planted (the Windows 98 machine's HKEY_LOCAL_MACHINE),
# and the same repair on the local disk, to compare with.
awk '/^\[/ { keep = ($0 ~ /^\[HKEY_LOCAL_MACHINE/) } NR <= 2 || keep' "$machines/win98.reg" >"$tmp/plant.reg"
run --registry "$real" --import "$tmp/plant.reg" --save-dat "$tmp/planted.dat"
expect_status 0
mkdir -p "$tmp/local"
cp "$tmp/planted.dat" "$tmp/local/SYSTEM.DAT"
run --registry "$tmp/local/SYSTEM.DAT" RemoveAuxDevices --commit
expect_status 0
run --registry "$tmp/local/SYSTEM.DAT" --save "$tmp/local.reg"
win=$mnt/WINDOWS

begin "FAT32: --commit on the mounted partition writes the new file, its backup and undo file"
mkdir -p "$win"
cp "$tmp/planted.dat" "$win/SYSTEM.DAT"
run --windows "$win" RemoveAuxDevices --commit
expect_status 0
grep -q "SYSTEM.DAT committed to .*; backup .*SYSTEM.DAT.qvinst98.bak, undo " "$err" && ok ||
  fail "no commit line: $(cat "$err")"
expected=$(printf 'SYSTEM.DAT\nSYSTEM.DAT.qvinst98.bak\nSYSTEM.DAT.qvinst98.undo.reg')
[ "$(listing "$win")" = "$expected" ] && ok || fail "files on the partition: $(listing "$win")"
for file in SYSTEM.DAT SYSTEM.DAT.qvinst98.bak SYSTEM.DAT.qvinst98.undo.reg; do
  got=$(stat -c '%a %u:%g' "$win/$file")
  [ "$got" = "$mode $owner" ] && ok || fail "$file is $got, the mount gives $mode $owner"
done

begin "FAT32: unmounted and mounted again, the partition holds what was committed"
unmount
fsck.fat -n "$tmp/fat.img" >"$out" 2>&1 && ok || fail "fsck.fat: $(tail -n 3 "$out")"
mount_fat || fail "cannot mount the image again"
same_file "$tmp/planted.dat" "$win/SYSTEM.DAT.qvinst98.bak"
run --registry "$win/SYSTEM.DAT" --check
expect_status 0
run --registry "$win/SYSTEM.DAT" --save "$tmp/fat.reg"
same_file "$tmp/local.reg" "$tmp/fat.reg"


begin "FAT32: a second commit waits for the lock; a same-size rewrite is seen though the time is not"
# The FUSE driver cannot write over a file's bytes: a new copy.
rm -f "$win"/SYSTEM.DAT*
cp "$tmp/planted.dat" "$win/SYSTEM.DAT"
before=$(listing "$win")
QVINST98_TEST_PAUSE="recheck:$tmp/go" "$tool" --windows "$win" RemoveAuxDevices --commit \
  >"$tmp/first.out" 2>"$tmp/first.err" &
first=$!
wait_for "$tmp/go.paused" && ok || fail "the first run never reached its pause"
run --windows "$win" RemoveAuxDevices --commit
expect_status 2
expect_one_line_error "in use by another qvinst98 run"
# Another program rewrites the file in place at its size, within the time
# stamp's two seconds (where the driver can write over a file's bytes).
if dd if="$tmp/local/SYSTEM.DAT" of="$win/SYSTEM.DAT" conv=notrunc status=none 2>"$out"; then
  rewritten=yes
else
  rewritten=no
  echo "$driver cannot write over a file: $(head -n 1 "$out"); the rewrite is not tried"
fi
touch "$tmp/go"
wait "$first"
status=$?
if [ "$rewritten" = yes ]; then
  err=$tmp/first.err expect_status 2
  err=$tmp/first.err expect_one_line_error "changed since it was read; nothing written"
  [ "$(listing "$win")" = "$before" ] && ok || fail "files written: $(listing "$win")"
  same_file "$tmp/local/SYSTEM.DAT" "$win/SYSTEM.DAT"
else
  err=$tmp/first.err expect_status 0
  same_file "$tmp/planted.dat" "$win/SYSTEM.DAT.qvinst98.bak"
fi

echo "FAT32 commit tests ($driver): $passed passed, $failed failed"
[ "$failed" -eq 0 ]

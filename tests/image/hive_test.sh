#!/bin/bash
# The qvinst98 tool on hive files: the real SYSTEM hive as it is, a copy with
# the product's records planted, and damaged copies.
#
#   hive_test.sh QVINST98 HIVE_PLANT SYSTEM.xz DATA_DIR TMPDIR
#
# QVINST98_KILL_POINTS (30 by default) sets how many commits are killed at a
# random moment (and a sixth as many on the named road, as on FAT),
# QVINST98_RACE_ROUNDS (3) how many pairs of commits race.
set -u

if [ $# -ne 5 ]; then
  echo "usage: $0 QVINST98 HIVE_PLANT SYSTEM.xz DATA_DIR TMPDIR" >&2
  exit 2
fi
tool=$1
plant=$2
packed=$3
data=$4
tmp=$5

rm -rf "$tmp"
mkdir -p "$tmp"
out=$tmp/out
err=$tmp/err
real=$tmp/SYSTEM
if ! xz -dc "$packed" >"$real"; then
  echo "FAIL: cannot unpack $packed"
  exit 1
fi

# shellcheck source=../tool/checks.sh
. "$(dirname "$0")/../tool/checks.sh"
# The files of a folder, to show that nothing was written.
listing() { (cd "$1" && ls -A | sort); }
# The hive's content as hivex sees it; the header's time stamp line aside.
content() { hivexml "$1" | sed 's/<hive><mtime>[^<]*<\/mtime>/<hive>/'; }
reopens() {
  if hivexml "$1" >/dev/null 2>&1; then ok; else fail "$1 does not open with hivex"; fi
}

begin "the real hive as it is: no export finds the product"
for export in RemoveUsbDevices RemovePedalDevices RemoveAuxDevices; do
  run --hive SYSTEM="$real" --changes "$export"
  expect_status 0
  expect_out "$export -> 1"
  expect_no_out "^deleted\|^removed\|^created"
done
for export in RemoveRootDevice UninstUnInitialize; do
  run --hive SYSTEM="$real" --changes "$export"
  expect_status 0
  expect_no_out "^deleted\|^removed\|^created"
done

begin "the real hive: --commit leaves it as it is"
mkdir -p "$tmp/asis"
cp "$real" "$tmp/asis/SYSTEM"
content "$real" >"$tmp/asis.xml"
run --hive SYSTEM="$tmp/asis/SYSTEM" --commit RemoveUsbDevices RemovePedalDevices RemoveAuxDevices \
  RemoveRootDevice UninstUnInitialize
expect_status 0
same_file "$real" "$tmp/asis/SYSTEM"
[ "$(listing "$tmp/asis")" = "SYSTEM" ] && ok || fail "files beside the hive: $(listing "$tmp/asis")"
content "$tmp/asis/SYSTEM" >"$tmp/asis-after.xml"
same_file "$tmp/asis.xml" "$tmp/asis-after.xml"

begin "the real hive: --save-hive writes the same content, --registry takes a hive"
run --hive SYSTEM="$real" --save-hive "$tmp/copy.hive"
expect_status 0
reopens "$tmp/copy.hive"
content "$tmp/copy.hive" >"$tmp/copy.xml"
same_file "$tmp/asis.xml" "$tmp/copy.xml"
run --hive SYSTEM="$real" --save "$tmp/real.reg"
expect_status 0
run --registry "$real" --save "$tmp/real-registry.reg"
expect_status 0
same_file "$tmp/real.reg" "$tmp/real-registry.reg"
# The export (UTF-16LE) shows the current set as CurrentControlSet, and only there.
iconv -f UTF-16LE -t UTF-8 "$tmp/real.reg" >"$tmp/real-utf8.reg"
if grep -qF 'SYSTEM\CurrentControlSet\Enum\USB\VID_0E0F&PID_0003]' "$tmp/real-utf8.reg" &&
  grep -qF 'SYSTEM\ControlSet002\Enum\USB\VID_0E0F&PID_0003]' "$tmp/real-utf8.reg" &&
  ! grep -qF 'SYSTEM\ControlSet001' "$tmp/real-utf8.reg"; then
  ok
else
  fail "the export does not show the current set as CurrentControlSet only"
fi

begin "planted records: RemoveAuxDevices --commit removes what the XP road sweeps, nothing else"
mkdir -p "$tmp/planted"
if ! "$plant" plant "$real" "$tmp/planted/SYSTEM" "$data/planted-winxp.reg" ||
  ! "$plant" plant "$real" "$tmp/kept.hive" "$data/planted-winxp-kept.reg"; then
  fail "cannot plant the records"
fi
cp "$tmp/planted/SYSTEM" "$tmp/planted.hive"
hivexml "$tmp/planted.hive" | grep -q "QV Flightstick" && ok || fail "nothing planted"
run --hive SYSTEM="$tmp/planted/SYSTEM" --save "$tmp/planted.reg"
expect_status 0
run --hive SYSTEM="$tmp/kept.hive" --save "$tmp/kept.reg"
expect_status 0
run --hive SYSTEM="$tmp/planted/SYSTEM" --changes RemoveAuxDevices --commit
expect_status 0
expect_out "RemoveAuxDevices -> 0"
expect_out "removed device USB\\VID_1D9F&PID_2100\\6&2a0b1c3d&0&1"
expect_out "removed device QVProducts\\VID_1D9F&PID_2100\\0000"
expect_out "deleted key HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}\\0101"
expect_out "deleted key HKLM\\SYSTEM\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM\\VID_1D9F&PID_2124"
if grep -q "committed to $tmp/planted/SYSTEM" "$err"; then ok; else fail "no commit line: $(cat "$err")"; fi
reopens "$tmp/planted/SYSTEM"
same_file "$tmp/planted.hive" "$tmp/planted/SYSTEM.qvinst98.bak"
[ -s "$tmp/planted/SYSTEM.qvinst98.undo.reg" ] && ok || fail "no undo file"
[ "$(listing "$tmp/planted")" = "$(printf 'SYSTEM\nSYSTEM.qvinst98.bak\nSYSTEM.qvinst98.undo.reg')" ] &&
  ok || fail "files beside the hive: $(listing "$tmp/planted")"
run --hive SYSTEM="$tmp/planted/SYSTEM" --save "$tmp/committed.reg"
expect_status 0
same_file "$tmp/kept.reg" "$tmp/committed.reg"
# Read by hivex alone: no description of the product's devices is left.
if hivexml "$tmp/planted/SYSTEM" | grep -q "QV Flightstick\|QV Pro Pedals"; then
  fail "the product's records are still in the hive"
else
  ok
fi

begin "planted records: the undo file puts them back"
run --hive SYSTEM="$tmp/planted/SYSTEM" --import "$tmp/planted/SYSTEM.qvinst98.undo.reg" --commit
expect_status 0
reopens "$tmp/planted/SYSTEM"
[ -e "$tmp/planted/SYSTEM.qvinst98-2.bak" ] && ok || fail "no second backup: $(listing "$tmp/planted")"
run --hive SYSTEM="$tmp/planted/SYSTEM" --save "$tmp/restored.reg"
expect_status 0
same_file "$tmp/planted.reg" "$tmp/restored.reg"
run --hive SYSTEM="$tmp/planted/SYSTEM" RemoveAuxDevices --backup "$tmp/planted/SYSTEM.qvinst98.bak" --commit
expect_status 2
expect_one_line_error "never overwritten"

begin "damaged, foreign and unclean files: one line, exit 2, nothing written"
mkdir -p "$tmp/bad"
head -c 5000000 "$real" >"$tmp/bad/truncated"
printf 'REGEDIT4\r\n\r\n' >"$tmp/bad/text.reg"
"$plant" drop "$real" "$tmp/bad/noselect" Select || fail "cannot drop Select"
"$plant" unclean "$real" "$tmp/bad/unclean" || fail "cannot make an unclean copy"
"$plant" edit "$real" "$tmp/bad/cycle" 'link|ControlSet001\Control\Print|ControlSet001\Control\Print' ||
  fail "cannot make a cycle"
"$plant" edit "$real" "$tmp/bad/twosets" 'rename|ControlSet002|ControlSet001' ||
  fail "cannot rename a control set"
before=$(listing "$tmp/bad")
run --hive SYSTEM="$tmp/bad/truncated" --commit RemoveAuxDevices
expect_status 2
expect_one_line_error "truncated"
run --hive SYSTEM="$tmp/bad/text.reg" RemoveAuxDevices
expect_status 2
expect_one_line_error "not a registry hive"
run --hive SYSTEM="$tmp/bad/noselect" --commit RemoveAuxDevices
expect_status 2
expect_one_line_error "Select"
# Crafted hives: a subkey list naming its own key, two sets of one name.
run --hive SYSTEM="$tmp/bad/cycle" --commit RemoveAuxDevices
expect_status 2
expect_one_line_error "names that key or one above it"
run --hive SYSTEM="$tmp/bad/twosets" --commit RemoveAuxDevices
expect_status 2
expect_one_line_error "two subkeys named ControlSet001"
run --hive SYSTEM="$tmp/bad/missing" RemoveAuxDevices
expect_status 2
expect_one_line_error "missing"
run --hive SYSTEM="$tmp/bad/unclean" --changes RemoveAuxDevices
expect_status 0
expect_out "RemoveAuxDevices -> 1"
expect_one_line_error "warning: .*sequence numbers"
run --hive SYSTEM="$tmp/bad/unclean" --commit RemoveAuxDevices
expect_status 2
expect_one_line_error "refused"
expect_no_out "RemoveAuxDevices"
run --hive SYSTEM="$tmp/bad/unclean" --save-hive "$tmp/bad/saved" RemoveAuxDevices
expect_status 2
expect_one_line_error "refused"
[ "$before" = "$(listing "$tmp/bad")" ] && ok || fail "files written: $(listing "$tmp/bad")"

begin "a deletion the undo file cannot hold: exit 2 before backup and undo are written"
mkdir -p "$tmp/localized"
"$plant" edit "$tmp/planted.hive" "$tmp/localized/SYSTEM" \
  'value|ControlSet001\Enum\USB\VID_1D9F&PID_2100\6&2a0b1c3d&0&1|FriendlyName|Джойстик' ||
  fail "cannot plant a localized text"
run --hive SYSTEM="$tmp/localized/SYSTEM" --commit RemoveAuxDevices
expect_status 2
expect_one_line_error "undo file cannot restore the text of"
[ "$(listing "$tmp/localized")" = "SYSTEM" ] && ok || fail "files written: $(listing "$tmp/localized")"

begin "options that do not fit together"
run --hive SYSTEM="$real" --os win98 RemoveAuxDevices
expect_status 2
expect_one_line_error "NT version"
run --hive BOOT="$real" RemoveAuxDevices
expect_status 2
expect_one_line_error "SYSTEM=FILE or SOFTWARE=FILE"
run --commit RemoveAuxDevices
expect_status 2
expect_one_line_error "need a hive image"
run --hive SYSTEM="$real" --save-hive "$real" RemoveAuxDevices
expect_status 2
expect_one_line_error "use --commit"
run --hive SYSTEM="$real" --hive SOFTWARE="$tmp/bad/noselect" --os win7 --changes RemoveAuxDevices
expect_status 0
expect_out "RemoveAuxDevices -> 1"

# ---------------------------------------------------------------------------
# The commit pipeline: each class of fault a careful administrator or an
# attacker met, one scenario each, on copies of the planted hive.

# A folder of its own holding a copy of the planted hive as SYSTEM.
fresh() {
  rm -rf "${tmp:?}/$1"
  mkdir -p "$tmp/$1"
  cp "$tmp/planted.hive" "$tmp/$1/SYSTEM"
}
# A .reg image of the given lines.
reg_image() {
  local file=$1
  shift
  printf 'REGEDIT4\r\n\r\n' >"$file"
  printf '%s\r\n' "$@" >>"$file"
}
# Waits up to ten seconds for a file to appear.
wait_for() {
  local i
  for i in $(seq 1 1000); do
    [ -e "$1" ] && return 0
    sleep 0.01
  done
  return 1
}
only_hive_left() {
  if [ "$(listing "$1")" = "SYSTEM" ]; then ok; else fail "files beside the hive: $(listing "$1")"; fi
}
has_key() { hivexget "$1" "$2" >/dev/null 2>&1; }
# Two exports of the tool (UTF-16LE) with the same keys and values, in any order.
same_registry() {
  if diff <(iconv -f UTF-16LE -t UTF-8 "$1" | canonical /dev/stdin) \
    <(iconv -f UTF-16LE -t UTF-8 "$2" | canonical /dev/stdin) >"$tmp/diff"; then
    ok
  else
    fail "$1 and $2 hold different registries: $(head -5 "$tmp/diff")"
  fi
}

begin "two commits on one hive: the second is refused while the first holds it"
fresh race
reg_image "$tmp/race-b.reg" '[HKEY_LOCAL_MACHINE\SYSTEM\RaceB]'
QVINST98_TEST_PAUSE="load:$tmp/race-go" "$tool" --hive SYSTEM="$tmp/race/SYSTEM" \
  RemoveAuxDevices --commit >"$tmp/race-a.out" 2>"$tmp/race-a.err" &
first=$!
wait_for "$tmp/race-go.paused" && ok || fail "the first run never reached its pause"
run --hive SYSTEM="$tmp/race/SYSTEM" --import "$tmp/race-b.reg" --commit
expect_status 2
expect_one_line_error "in use by another qvinst98 run"
touch "$tmp/race-go"
wait "$first"
status=$?
expect_status 0
[ "$(listing "$tmp/race")" = "$(printf 'SYSTEM\nSYSTEM.qvinst98.bak\nSYSTEM.qvinst98.undo.reg')" ] &&
  ok || fail "files beside the hive: $(listing "$tmp/race")"
same_file "$tmp/planted.hive" "$tmp/race/SYSTEM.qvinst98.bak"

begin "commits racing freely: every one that says committed kept its change and its backup"
for round in $(seq 1 "${QVINST98_RACE_ROUNDS:-3}"); do
  fresh rounds
  reg_image "$tmp/race-a.reg" '[HKEY_LOCAL_MACHINE\SYSTEM\RaceA]'
  "$tool" --hive SYSTEM="$tmp/rounds/SYSTEM" --import "$tmp/race-a.reg" --commit \
    >/dev/null 2>"$tmp/race-a.err" &
  a=$!
  "$tool" --hive SYSTEM="$tmp/rounds/SYSTEM" --import "$tmp/race-b.reg" --commit \
    >/dev/null 2>"$tmp/race-b.err" &
  b=$!
  wait "$a"
  status_a=$?
  wait "$b"
  status_b=$?
  committed=0
  for side in a b; do
    key=RaceA
    side_status=$status_a
    if [ "$side" = b ]; then key=RaceB side_status=$status_b; fi
    if [ "$side_status" -eq 0 ]; then
      committed=$((committed + 1))
      has_key "$tmp/rounds/SYSTEM" "\\$key" && ok || fail "round $round: $key committed, then lost"
    elif [ "$side_status" -eq 2 ] && grep -q "in use by another qvinst98 run" "$tmp/race-$side.err"; then
      ok
    else
      fail "round $round: run $side ended $side_status: $(cat "$tmp/race-$side.err")"
    fi
  done
  backups=$(listing "$tmp/rounds" | grep -c '\.bak$')
  [ "$committed" -ge 1 ] && [ "$backups" -eq "$committed" ] && ok ||
    fail "round $round: $committed committed, $backups backups: $(listing "$tmp/rounds")"
done

begin "a linked hive is repaired where it is, the link stays; planted links are left alone"
fresh linked
mkdir -p "$tmp/linked/config"
mv "$tmp/linked/SYSTEM" "$tmp/linked/config/SYSTEM"
ln -s config/SYSTEM "$tmp/linked/SYSTEM"
ln -s "$tmp/linked/nowhere-bak" "$tmp/linked/config/SYSTEM.qvinst98.bak"
ln -s "$tmp/linked/nowhere-undo" "$tmp/linked/config/SYSTEM.qvinst98-2.undo.reg"
run --hive SYSTEM="$tmp/linked/SYSTEM" RemoveAuxDevices --commit
expect_status 0
[ -L "$tmp/linked/SYSTEM" ] && ok || fail "the link was replaced"
has_key "$tmp/linked/config/SYSTEM" '\ControlSet001\Enum\QVProducts\VID_1D9F&PID_2100\0000' &&
  fail "the linked hive was not changed" || ok
same_file "$tmp/planted.hive" "$tmp/linked/config/SYSTEM.qvinst98-3.bak"
[ -L "$tmp/linked/config/SYSTEM.qvinst98.bak" ] && [ -L "$tmp/linked/config/SYSTEM.qvinst98-2.undo.reg" ] &&
  ok || fail "a planted link was removed"
[ ! -e "$tmp/linked/nowhere-bak" ] && [ ! -e "$tmp/linked/nowhere-undo" ] && ok ||
  fail "a planted link was written through"
[ "$(listing "$tmp/linked/config" | grep -vc 'SYSTEM.qvinst98\(\.bak\|-2.undo.reg\|-3.bak\|-3.undo.reg\)$')" -eq 1 ] &&
  ok || fail "files beside the hive: $(listing "$tmp/linked/config")"

begin "the new hive keeps the mode, owner and group of the old one"
fresh owner
chmod 0640 "$tmp/owner/SYSTEM"
chown 65534:65534 "$tmp/owner/SYSTEM" 2>/dev/null
before_owner=$(stat -c '%a %u:%g' "$tmp/owner/SYSTEM")
run --hive SYSTEM="$tmp/owner/SYSTEM" RemoveAuxDevices --commit
expect_status 0
after=$(stat -c '%a %u:%g' "$tmp/owner/SYSTEM")
[ "$after" = "$before_owner" ] && ok || fail "the hive was $before_owner, now $after"
for made in SYSTEM.qvinst98.bak SYSTEM.qvinst98.undo.reg; do
  after=$(stat -c '%a %u:%g' "$tmp/owner/$made")
  [ "$after" = "$before_owner" ] && ok || fail "$made is $after, the hive $before_owner"
done

begin "the safety rules on a hive; two hives of one file"
fresh crossed
safety_load=(--hive "SYSTEM=$tmp/crossed/SYSTEM")
safety_dir=$tmp/crossed safety_image=SYSTEM safety_inside='HKEY_LOCAL_MACHINE\SYSTEM'
safety_rewrite=--save-hive safety_commits=yes
safety_outside='HKEY_LOCAL_MACHINE\SAM' safety_outside_error="is not in a loaded hive"
safety_cases
run --hive SYSTEM="$tmp/crossed/SYSTEM" --hive SOFTWARE="$tmp/crossed/link" RemoveAuxDevices
expect_status 2
expect_one_line_error "name one file"
same_file "$tmp/planted.hive" "$tmp/crossed/SYSTEM"

begin "several hives: one that cannot be written stops all, in preview as in commit"
fresh multi
cp "$tmp/planted.hive" "$tmp/multi/SOFTWARE"
reg_image "$tmp/multi-gone.reg" '[-HKEY_LOCAL_MACHINE\SOFTWARE]'
for commit in "" --commit; do
  # shellcheck disable=SC2086
  run --hive SYSTEM="$tmp/multi/SYSTEM" --hive SOFTWARE="$tmp/multi/SOFTWARE" --os win7 \
    --import "$tmp/multi-gone.reg" RemoveAuxDevices $commit
  expect_status 2
  expect_one_line_error "SOFTWARE"
done
same_file "$tmp/planted.hive" "$tmp/multi/SYSTEM"
[ "$(listing "$tmp/multi")" = "$(printf 'SOFTWARE\nSYSTEM')" ] && ok ||
  fail "files written: $(listing "$tmp/multi")"

begin "--import: refused outside the loaded hives, recorded in the undo, checked to load"
fresh imports
reg_image "$tmp/imports-user.reg" '[HKEY_CURRENT_USER\Software\QV]' '"x"="1"'
reg_image "$tmp/imports-sam.reg" '[HKEY_LOCAL_MACHINE\SAM\QV]'
for image in user sam; do
  run --hive SYSTEM="$tmp/imports/SYSTEM" --import "$tmp/imports-$image.reg" --commit
  expect_status 2
  expect_one_line_error "not in a loaded hive"
done
# Each would leave a hive that no Windows boots: refused in preview and commit.
reg_image "$tmp/imports-noselect.reg" '[-HKEY_LOCAL_MACHINE\SYSTEM\Select]'
reg_image "$tmp/imports-noset.reg" '[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet]'
reg_image "$tmp/imports-badset.reg" '[HKEY_LOCAL_MACHINE\SYSTEM\Select]' '"Current"=dword:00000009'
reg_image "$tmp/imports-switchset.reg" '[HKEY_LOCAL_MACHINE\SYSTEM\Select]' '"Current"=dword:00000002'
for image in noselect noset badset switchset; do
  for commit in "" --commit; do
    # shellcheck disable=SC2086
    run --hive SYSTEM="$tmp/imports/SYSTEM" --import "$tmp/imports-$image.reg" --changes $commit
    expect_status 2
    # Deleting the current set is refused before the read-back, by its undo.
    expect_one_line_error "SYSTEM: \(the new hive\|the run deletes\)"
  done
done
same_file "$tmp/planted.hive" "$tmp/imports/SYSTEM"
only_hive_left "$tmp/imports"
# What the import and the calls changed, undone by the undo file alone.
run --hive SYSTEM="$tmp/imports/SYSTEM" --save "$tmp/imports-before.reg"
# A value deleted and set again, one changed, one added; a key added, a tree deleted.
reg_image "$tmp/imports.reg" '[HKEY_LOCAL_MACHINE\SYSTEM\Select]' '"Current"=-' '"Default"=dword:00000007' \
  '"Added"="1"' \
  '[HKEY_LOCAL_MACHINE\SYSTEM\Select]' '"Current"=dword:00000001' \
  '[HKEY_LOCAL_MACHINE\SYSTEM\Added\Below]' '"v"="1"' \
  '[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{36fc9e60-c465-11cf-8056-444553540000}]'
run --hive SYSTEM="$tmp/imports/SYSTEM" --import "$tmp/imports.reg" RemoveAuxDevices --commit
expect_status 0
has_key "$tmp/imports/SYSTEM" '\Added\Below' && ok || fail "the import was not committed"
run --hive SYSTEM="$tmp/imports/SYSTEM" --import "$tmp/imports/SYSTEM.qvinst98.undo.reg" --commit
expect_status 0
run --hive SYSTEM="$tmp/imports/SYSTEM" --save "$tmp/imports-after.reg"
same_registry "$tmp/imports-before.reg" "$tmp/imports-after.reg"

begin "a hive that is a pipe or a folder is refused at once; a used undo name is never written"
mkfifo "$tmp/bad/fifo"
for hive in "$tmp/bad/fifo" "$tmp/bad"; do
  "$tool" --hive SYSTEM="$hive" RemoveAuxDevices >"$out" 2>"$err" </dev/null &
  pid=$!
  (sleep 10 && kill "$pid" 2>/dev/null) &
  watchdog=$!
  wait "$pid"
  status=$?
  kill "$watchdog" 2>/dev/null
  expect_status 2
  expect_one_line_error "not a regular file"
done
fresh undoname
printf 'kept\n' >"$tmp/undoname/X.undo.reg"
run --hive SYSTEM="$tmp/undoname/SYSTEM" RemoveAuxDevices --backup "$tmp/undoname/X.bak" --commit
expect_status 2
expect_one_line_error "never overwritten"
[ "$(cat "$tmp/undoname/X.undo.reg")" = kept ] && ok || fail "the undo file was overwritten"
same_file "$tmp/planted.hive" "$tmp/undoname/SYSTEM"

begin "a commit killed at any moment leaves the old hive or the new one, and no stray file"
fresh killref
started=$(date +%s%N)
run --hive SYSTEM="$tmp/killref/SYSTEM" RemoveAuxDevices --commit
expect_status 0
# Kills fall in the second half of a commit's time and a little after, where
# the writing is.
span=$((($(date +%s%N) - started) / 1000))
content "$tmp/killref/SYSTEM" >"$tmp/killref.xml"
points=${QVINST98_KILL_POINTS:-30}
# Then the named road of a file system without unnamed temporary files (FAT),
# at a sixth of the points: a kill there may leave a hidden temporary file of
# the run, never a partial file under a name the run places.
for road in "" named; do
[ -z "$road" ] || points=$((points / 6 + 1))
old_seen=0
new_seen=0
left=0
for point in $(seq 1 "$points"); do
  fresh kill
  QVINST98_TEST_TEMPORARIES=$road "$tool" --hive SYSTEM="$tmp/kill/SYSTEM" RemoveAuxDevices --commit >/dev/null 2>&1 &
  pid=$!
  delay=$((span / 2 + (RANDOM * 32768 + RANDOM) % (span * 6 / 10)))
  sleep "$(printf '%d.%06d' $((delay / 1000000)) $((delay % 1000000)))"
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  current="kill point $point${road:+ ($road road)}"
  if cmp -s "$tmp/planted.hive" "$tmp/kill/SYSTEM"; then
    old_seen=$((old_seen + 1))
  elif content "$tmp/kill/SYSTEM" | cmp -s - "$tmp/killref.xml"; then
    new_seen=$((new_seen + 1))
    [ -e "$tmp/kill/SYSTEM.qvinst98.bak" ] && [ -e "$tmp/kill/SYSTEM.qvinst98.undo.reg" ] && ok ||
      fail "a new hive without its backup and undo file: $(listing "$tmp/kill")"
  else
    fail "the hive is neither the old one nor the new one"
  fi
  if [ -e "$tmp/kill/SYSTEM.qvinst98.bak" ]; then same_file "$tmp/planted.hive" "$tmp/kill/SYSTEM.qvinst98.bak"; fi
  if [ -e "$tmp/kill/SYSTEM.qvinst98.undo.reg" ]; then
    same_file "$tmp/killref/SYSTEM.qvinst98.undo.reg" "$tmp/kill/SYSTEM.qvinst98.undo.reg"
  fi
  stray=$(listing "$tmp/kill" | grep -vx 'SYSTEM\|SYSTEM.qvinst98.bak\|SYSTEM.qvinst98.undo.reg')
  if [ -n "$road" ]; then
    left=$((left + $(echo "$stray" | grep -c '^\.SYSTEM[.a-z]*\.qvinst98-[0-9a-f]\{16\}\.tmp$')))
    stray=$(echo "$stray" | grep -v '^\.SYSTEM[.a-z]*\.qvinst98-[0-9a-f]\{16\}\.tmp$')
  fi
  [ -z "$stray" ] && ok || fail "files left: $stray"
done
echo "killed commits${road:+ on the $road road}: $old_seen left the old hive, $new_seen the new one${road:+, $left a temporary file}"
done

begin "--windows finds the hives whatever the case of their names"
mkdir -p "$tmp/mounted/WINDOWS/system32/Config"
cp "$real" "$tmp/mounted/WINDOWS/system32/Config/system"
run --windows "$tmp/mounted/WINDOWS" --check
expect_status 0
expect_out "$tmp/mounted/WINDOWS/system32/Config/system: registry hive, 30756 keys, 73456 values"
# The version: Windows XP without SOFTWARE, else what its CurrentVersion names.
soft=$tmp/mounted/WINDOWS/system32/Config/SOFTWARE
cv='Microsoft\Windows NT\CurrentVersion'
while IFS=';' read -r want steps; do
  rm -f "$soft"
  IFS=';' read -r -a list <<<"$steps"
  [ ${#list[@]} -eq 0 ] || "$plant" edit "$tmp/planted.hive" "$soft" "${list[@]}"
  run --windows "$tmp/mounted/WINDOWS" --json InitModule
  expect_status 0
  grep -q "\"os\": \"$want\"" "$out" && ok || fail "$want $steps: $(grep -A2 '"windows"' "$out")"
done <<TABLE
winxp
6.1;value|$cv|CurrentVersion|6.1
win10;value|$cv|CurrentVersion|6.3;dword|$cv|CurrentMajorVersionNumber|10
nt4;value|$cv|CurrentVersion|4.0
winxp;value|$cv|CurrentVersion|3.51
TABLE

echo "hive tool tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

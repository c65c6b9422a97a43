#!/bin/bash
# Runs the qvinst98 tool as a user would and checks what it prints, its exit
# status and the files it writes.
#
#   tool_test.sh QVINST98 TMPDIR MACHINES_DIR
set -u

if [ $# -ne 3 ]; then
  echo "usage: $0 QVINST98 TMPDIR MACHINES_DIR" >&2
  exit 2
fi
tool=$1
tmp=$2
machines=$3
win98=$machines/win98.reg
winxp=$machines/winxp.reg

rm -rf "$tmp"
mkdir -p "$tmp"
out=$tmp/out
err=$tmp/err

# shellcheck source=checks.sh
. "$(dirname "$0")/checks.sh"

# The whole of a captured stream, compared with the lines given.
expect_exactly() {
  local file=$1
  shift
  local expected
  expected=$(printf '%s\n' "$@")
  if [ "$(cat "$file")" == "$expected" ]; then
    ok
  else
    fail "$(basename "$file") was:"$'\n'"$(cat "$file")"$'\n'"expected:"$'\n'"$expected"
  fi
}

expect_line() {
  if grep -qxF -- "$2" "$1"; then ok; else fail "no line '$2' in $(basename "$1"): $(head -c 400 "$1")"; fi
}

expect_no_line() {
  if grep -qxF -- "$2" "$1"; then fail "unexpected line '$2' in $(basename "$1")"; else ok; fi
}

expect_contains() {
  if grep -qF -- "$2" "$1"; then ok; else fail "'$2' not in $(basename "$1"): $(head -c 400 "$1")"; fi
}

expect_line_count() {
  local n
  n=$(wc -l <"$1")
  if [ "$n" -eq "$2" ]; then ok; else fail "$(basename "$1") has $n lines, expected $2"; fi
}

expect_empty() {
  if [ -s "$1" ]; then fail "$(basename "$1") not empty: $(head -c 300 "$1")"; else ok; fi
}

expect_same_registry() {
  if diff <(canonical "$1") <(canonical "$2") >"$tmp/diff"; then
    ok
  else
    fail "$(basename "$1") and $(basename "$2") hold different registries:"$'\n'"$(head -20 "$tmp/diff")"
  fi
}

# ---------------------------------------------------------------------------
begin "results on stdout, trace lines on stderr"
run --os winme --trace IsWinMe InitModule IsWinMe
expect_status 0
expect_exactly "$out" "IsWinMe -> 0" "InitModule -> 1" "IsWinMe -> 1"
expect_exactly "$err" "INST98: isWinMe" "INST98: initModule" "INST98: isWinMe"

begin "no trace lines without --trace"
run --os winme IsWinMe InitModule IsWinMe
expect_status 0
expect_empty "$err"

# ---------------------------------------------------------------------------
begin "--save without a call reproduces the image"
run --registry "$win98" --save "$tmp/g.reg"
expect_status 0
expect_empty "$out"
expect_same_registry "$win98" "$tmp/g.reg"
# The canonical form must see a change, or the comparison above proves nothing.
sed 's/"Version"="3.2.0"/"Version"="3.2.1"/' "$tmp/g.reg" >"$tmp/g-changed.reg"
if diff -q <(canonical "$tmp/g.reg") <(canonical "$tmp/g-changed.reg") >/dev/null; then
  fail "the canonical form hides a changed value"
else
  ok
fi

begin "reading a saved image and saving it again gives the same bytes"
run --registry "$tmp/g.reg" --save "$tmp/g2.reg"
expect_status 0
if cmp -s "$tmp/g.reg" "$tmp/g2.reg"; then ok; else fail "g.reg and g2.reg differ"; fi

begin "--save over the image it read, failing midway, leaves the image whole"
cp "$win98" "$tmp/keep.reg"
# A file-size limit of 1 KB stops the write partway, as a full disk would.
(
  trap '' XFSZ
  ulimit -f 1
  exec "$tool" --registry "$tmp/keep.reg" --save "$tmp/keep.reg" RemoveUsbDevices
) >"$out" 2>"$err"
status=$?
expect_status 2
expect_contains "$err" "cannot write '$tmp/keep.reg'"
if cmp -s "$win98" "$tmp/keep.reg"; then ok; else fail "keep.reg was changed by a failed --save"; fi
if ls -A "$tmp" | grep -q 'qvinst98-'; then fail "a temporary file was left: $(ls -A "$tmp")"; else ok; fi

begin "the safety rules on a .reg image"
mkdir -p "$tmp/crossed"
cp "$win98" "$tmp/crossed/image.reg"
safety_load=(--registry "$tmp/crossed/image.reg")
safety_dir=$tmp/crossed safety_image=image.reg safety_inside=HKEY_LOCAL_MACHINE
safety_rewrite="" safety_commits=no safety_outside="" safety_outside_error=""
safety_cases

begin "--save through a symbolic link replaces the file it names, and into a pipe writes the pipe"
cp "$win98" "$tmp/real.reg"
ln -s real.reg "$tmp/link.reg"
run --registry "$win98" --save "$tmp/link.reg" RemoveUsbDevices
expect_status 0
if [ -L "$tmp/link.reg" ]; then ok; else fail "link.reg is no longer a symbolic link"; fi
if cmp -s "$win98" "$tmp/real.reg"; then fail "real.reg was not written"; else ok; fi
mkfifo "$tmp/pipe"
timeout 20 cat "$tmp/pipe" >"$tmp/from-pipe.reg" &
reader=$!
run --registry "$win98" --save "$tmp/pipe" RemoveUsbDevices
expect_status 0
wait "$reader"
if [ -p "$tmp/pipe" ]; then ok; else fail "the pipe was replaced by a file"; fi
if cmp -s "$tmp/real.reg" "$tmp/from-pipe.reg"; then ok; else fail "the pipe did not carry the image"; fi

begin "the XP image survives a round trip in regedit 5 format"
run --os winxp --registry "$winxp" --save "$tmp/x.reg"
expect_status 0
run --os winxp --registry "$tmp/x.reg" --save "$tmp/x2.reg"
expect_status 0
if cmp -s "$tmp/x.reg" "$tmp/x2.reg"; then ok; else fail "x.reg and x2.reg differ"; fi
if [ "$(head -c 2 "$tmp/x.reg" | od -An -tx1 | tr -d ' ')" == "fffe" ]; then
  ok
else
  fail "x.reg does not start with the UTF-16LE byte-order mark"
fi

# ---------------------------------------------------------------------------
begin "unknown export"
run IsWinMe NoSuchExport
expect_status 2
expect_empty "$out"
expect_line_count "$err" 1
expect_contains "$err" "NoSuchExport"
for name in UninstInitialize UninstUnInitialize CreateRootDevice UpdateDevices RemoveRootDevice \
  RemoveUsbDevices RemovePedalDevices RemoveAuxDevices IsWin2k IsWinMe IsWinXp IsAdmin \
  NeedReboot InitModule SetTargetDir RootDeviceCount; do
  expect_contains "$err" "$name"
done

begin "malformed image"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n"Count"=dwrd:00000001\r\n' >"$tmp/bad.reg"
run --registry "$tmp/bad.reg" IsAdmin
expect_status 2
expect_empty "$out"
expect_line_count "$err" 1
expect_contains "$err" "bad.reg:4"

begin "unreadable image"
run --registry "$tmp/missing.reg" IsAdmin
expect_status 2
expect_empty "$out"
expect_line_count "$err" 1
expect_contains "$err" "missing.reg"

begin "--check takes only what a check reads"
for extra in "--codepage 932" "--changes" "--save $tmp/c.reg" "IsAdmin"; do
  # shellcheck disable=SC2086
  run --registry "$machines/winxp.reg" --check $extra
  expect_status 2
  expect_empty "$out"
  expect_line_count "$err" 1
done
[ ! -e "$tmp/c.reg" ] && ok || fail "--check wrote $tmp/c.reg"

begin "bad --fail"
for bad in "NoSuchCall=5" "GetVersionExA" "GetVersionExA=" "=5" "GetVersionExA=five" "GetVersionExA=0xZZ" \
           "GetVersionExA=87@" "GetVersionExA=87@0" "GetVersionExA=87@0+" "GetVersionExA=87@x" \
           "GetVersionExA=87@2++" "GetVersionExA=87@-1" "GetVersionExA=87@+" "getversionexa=87"; do
  run IsAdmin --fail "$bad"
  expect_status 2
  expect_empty "$out"
  expect_line_count "$err" 1
done

begin "an unknown --fail call names the nearest ones"
run --fail RegOpenKeyEx=5 IsAdmin
expect_status 2
expect_empty "$out"
expect_line_count "$err" 1
expect_contains "$err" "unknown platform call 'RegOpenKeyEx'; nearest: RegOpenKeyExA,"

begin "--list-calls lists every call --fail takes"
run --list-calls
expect_status 0
expect_line_count "$out" 35
for name in GetLastError FreeSid GetCurrentThread GetCurrentProcess MessageDialog RegOpenKeyExA; do
  expect_line "$out" "$name"
done
cp "$out" "$tmp/calls"
while read -r name; do
  run --fail "$name=5" IsWin2k
  expect_status 0
done <"$tmp/calls"

# ---------------------------------------------------------------------------
begin "--fail CALL=CODE@N fails only the Nth call, @N+ from the Nth on"
files=(--file 'C:\WINDOWS\inf\drvdata.bin' --file 'C:\WINDOWS\inf\drvidx.bin')
for rule in "none" "DeleteFileA=5" "DeleteFileA=5@1" "DeleteFileA=5@2" "DeleteFileA=5@1+" "DeleteFileA=5@2+" "DeleteFileA=5@3"; do
  if [ "$rule" = none ]; then run "${files[@]}" --changes UninstUnInitialize
  else run "${files[@]}" --fail "$rule" --changes UninstUnInitialize; fi
  expect_status 0
  grep '^deleted file' "$out" >"$tmp/deleted"
  case $rule in
    none | *@3) expect_exactly "$tmp/deleted" 'deleted file C:\WINDOWS\inf\drvdata.bin' 'deleted file C:\WINDOWS\inf\drvidx.bin' ;;
    *@1) expect_exactly "$tmp/deleted" 'deleted file C:\WINDOWS\inf\drvidx.bin' ;;
    *@2 | *@2+) expect_exactly "$tmp/deleted" 'deleted file C:\WINDOWS\inf\drvdata.bin' ;;
    *) expect_empty "$tmp/deleted" ;;
  esac
done

begin "images that regedit cannot write are refused with their line"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n[HKEY_LOCAL_MACHINE\\A\0B]\r\n' >"$tmp/nulkey.reg"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"ok"="1"\r\n"x\0y"="2"\r\n' >"$tmp/nulvalue.reg"
{
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE'
  for _ in $(seq 513); do printf '\\k'; done
  printf ']\r\n'
} >"$tmp/deep.reg"
for image in "nulkey.reg:5: NUL character in key name" "nulvalue.reg:5: NUL character in value name" \
             "deep.reg:3: key deeper than 512 levels"; do
  run --registry "$tmp/${image%%:*}" RemoveUsbDevices
  expect_status 2
  expect_empty "$out"
  expect_line_count "$err" 1
  expect_contains "$err" "$image"
done

# ---------------------------------------------------------------------------
begin "--fail before the calls"
run --os winme --fail GetVersionExA=87 InitModule
expect_status 0
expect_exactly "$out" "InitModule -> 0"

begin "--fail after the calls, hex code"
run --os winme InitModule InitModule IsWinMe --fail GetVersionExA=0x57
expect_status 0
expect_exactly "$out" "InitModule -> 0" "InitModule -> 1" "IsWinMe -> 0"

begin "--file before a call"
run --file 'C:\WINDOWS\inf\drvdata.bin' UninstUnInitialize --changes
expect_status 0
expect_line "$out" 'deleted file C:\WINDOWS\inf\drvdata.bin'

# ---------------------------------------------------------------------------
begin "--changes lists the deleted keys of the bundled Windows 98 machine"
run RemoveUsbDevices --changes
expect_status 0
expect_line "$out" "RemoveUsbDevices -> 0"
expect_line "$out" 'deleted key HKLM\Enum\USB\VID_1D9F&PID_2100\6&2A0B1C3D&0&1'
expect_line "$out" 'deleted key HKLM\Enum\USB\VID_1D9F&PID_2100'
expect_line "$out" 'deleted key HKLM\System\CurrentControlSet\Services\Class\MEDIA\0005'
expect_line "$out" 'deleted key HKLM\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0005>'
expect_line "$out" 'deleted value HKLM\System\CurrentControlSet\Control\ASD\Prob\{9b4e7760-3196-11cf-97ea-00aa0034319d}|USB\VID_1D9F&PID_2100\6&2A0B1C3D&0&1'
# The joystick table only: the throttle panel and other makers' devices stay.
expect_no_line "$out" 'deleted key HKLM\Enum\USB\VID_1D9F&PID_2181'
expect_no_line "$out" 'deleted key HKLM\Enum\USB\VID_045E&PID_0040'
others=$(grep -cvE '^(deleted key |deleted value |RemoveUsbDevices -> 0$)' "$out")
if [ "$others" -eq 0 ]; then ok; else fail "$others lines that are neither a result nor a deletion"; fi

begin "--undo puts back everything the calls deleted"
run --registry "$win98" --save "$tmp/before.reg"
expect_status 0
for call in RemoveAuxDevices RemoveRootDevice UninstUnInitialize; do
  run --registry "$win98" "$call" --save "$tmp/after.reg" --undo "$tmp/undo.reg"
  expect_status 0
  # The undo image, applied over the saved one: its header goes, its keys follow.
  { cat "$tmp/after.reg"; tail -n +2 "$tmp/undo.reg"; } >"$tmp/restore.reg"
  run --registry "$tmp/restore.reg" --save "$tmp/restored.reg"
  expect_status 0
  current="--undo after $call"
  expect_same_registry "$tmp/before.reg" "$tmp/restored.reg"
  if diff -q <(canonical "$tmp/before.reg") <(canonical "$tmp/after.reg") >/dev/null; then
    fail "$call changed nothing, so the undo proves nothing"
  else
    ok
  fi
done

# ---------------------------------------------------------------------------
begin "the unplug question answered with Esc"
run --answer esc UninstInitialize
expect_status 0
expect_line_count "$out" 2
if head -1 "$out" | grep -q '^dialog:'; then ok; else fail "first line does not start with 'dialog:'"; fi
expect_line "$out" "UninstInitialize -> -1"

begin "the unplug question closed"
run --answer close UninstInitialize
expect_status 0
expect_line "$out" "UninstInitialize -> -1"
expect_contains "$out" "-> 2"

begin "the uninstall shows the restart advice"
run UninstUnInitialize
expect_status 0
expect_exactly "$out" 'dialog: "Information" [OK] default=OK esc=OK -> 1 (OK)' "UninstUnInitialize -> 0"

# ---------------------------------------------------------------------------
# The detection probes HKLM\Enum\Root\*QV_TILLERDESK\0000 on every platform.
# On XP the Configuration Manager keeps the node's key below
# SYSTEM\CurrentControlSet\Enum, so the created device is never counted and
# never removed.
begin "root device on XP: created, then neither counted nor removed"
run --registry "$winxp" --os winxp 'CreateRootDevice=C:\Program Files\QV' RootDeviceCount \
  RemoveRootDevice --changes
expect_status 0
expect_exactly "$out" "CreateRootDevice -> 1" "RootDeviceCount -> 0" "RemoveRootDevice -> 0" \
  'created node Root\*QV_TILLERDESK\0000' \
  'created key HKLM\SYSTEM\CurrentControlSet\Enum\Root\*QV_TILLERDESK' \
  'created key HKLM\SYSTEM\CurrentControlSet\Enum\Root\*QV_TILLERDESK\0000'

begin "root device on Windows 98: counted, removed, created again"
run RootDeviceCount RemoveRootDevice 'CreateRootDevice=C:\Program Files\QV' RootDeviceCount --changes
expect_status 0
expect_line "$out" "RootDeviceCount -> 1"
expect_line "$out" "RemoveRootDevice -> 0"
expect_line "$out" "CreateRootDevice -> 1"
expect_line "$out" 'removed node Root\*QV_TILLERDESK\0000'
expect_line "$out" 'deleted key HKLM\Enum\Root\*QV_TILLERDESK\0000'
expect_line "$out" 'created node Root\*QV_TILLERDESK\0000'
expect_line "$out" 'created key HKLM\Enum\Root\*QV_TILLERDESK\0000'
if [ "$(grep -c '^RootDeviceCount -> 1$' "$out")" -eq 2 ]; then ok; else fail "the count after the creation is not 1"; fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

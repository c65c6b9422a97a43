#!/bin/bash
# The qvinst98 tool on hive files: the real SYSTEM hive as it is, a copy with
# the product's records planted, and damaged copies.
#
#   hive_test.sh QVINST98 HIVE_PLANT SYSTEM.xz DATA_DIR TMPDIR
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
expect_out() {
  if grep -qxF -- "$1" "$out"; then ok; else fail "no line '$1' in: $(cat "$out")"; fi
}
expect_no_out() {
  if grep -q -- "$1" "$out"; then fail "unexpected '$1' in: $(cat "$out")"; else ok; fi
}
expect_one_line_error() {
  if [ "$(wc -l <"$err")" -eq 1 ] && grep -q "$1" "$err"; then ok; else
    fail "expected one line with '$1' on stderr, got: $(cat "$err")"
  fi
}
same_file() {
  if cmp -s "$1" "$2"; then ok; else fail "$1 and $2 differ"; fi
}
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

begin "--windows finds the hives whatever the case of their names"
mkdir -p "$tmp/mounted/WINDOWS/system32/Config"
cp "$real" "$tmp/mounted/WINDOWS/system32/Config/system"
run --windows "$tmp/mounted/WINDOWS" --check
expect_status 0
expect_out "$tmp/mounted/WINDOWS/system32/Config/system: registry hive, 30756 keys, 73456 values"

echo "hive tool tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

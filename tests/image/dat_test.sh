#!/bin/bash
# The qvinst98 tool on Windows 95/98/Me registry files: the real SYSTEM.DAT of
# a Windows Me installation as it is, read by libcreg and by
# Parse::Win32Registry alike; copies with the product's records planted and
# removed again; a grown copy; damaged copies.
#
#   dat_test.sh QVINST98 SYSTEM.DAT.xz MACHINES_DIR TMPDIR
set -u

if [ $# -ne 4 ]; then
  echo "usage: $0 QVINST98 SYSTEM.DAT.xz MACHINES_DIR TMPDIR" >&2
  exit 2
fi
tmp=$4
rm -rf "$tmp"
mkdir -p "$tmp"
# Every run is bounded: a damaged file must not make the tool hang.
printf '#!/bin/sh\nexec timeout 60 "%s" "$@"\n' "$1" >"$tmp/qvinst98"
chmod +x "$tmp/qvinst98"
tool=$tmp/qvinst98
machines=$3
dump=$(dirname "$0")/creg_dump.pl
out=$tmp/out
err=$tmp/err
real=$tmp/SYSTEM.DAT
if ! xz -dc "$2" >"$real"; then
  echo "FAIL: cannot unpack $2"
  exit 1
fi

# shellcheck source=../tool/checks.sh
. "$(dirname "$0")/../tool/checks.sh"
# Sorted key and value lines: of a CREG file read by Parse::Win32Registry, or
# of a .reg export of the tool (the registry as libcreg read it, after the calls).
perl_dump() { perl "$dump" dat "$1" | LC_ALL=C sort; }
reg_dump() { perl "$dump" reg "$1" | LC_ALL=C sort; }
# A .reg export's tree as a CREG file stores it: REG_SZ without a trailing NUL.
stored_dump() {
  reg_dump "$1" | awk -F '\t' -v OFS='\t' '$1 == "V" && $4 == 1 { sub(/00$/, "", $5) } 1'
}
# A written file: the tool's checker passes it, and the tool's reader and
# Parse::Win32Registry read the tree of the expected .reg export (libcreg read
# it back when the tool wrote it).
reads_as() {
  local file=$1 expected=$2
  run --registry "$file" --check
  expect_status 0
  run --registry "$file" --save "$file.reg"
  expect_status 0
  stored_dump "$expected" >"$tmp/want.txt"
  reg_dump "$file.reg" >"$tmp/libcreg.txt"
  perl_dump "$file" >"$tmp/perl.txt"
  same_file "$tmp/want.txt" "$tmp/libcreg.txt"
  same_file "$tmp/want.txt" "$tmp/perl.txt"
}
oem='HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM\\[^\\]*\]'

begin "the real file: checked, read by libcreg as by Parse::Win32Registry"
run --registry "$real" --check
expect_status 0
expect_out "$real: CREG file, 4999 keys, 15858 values, 21 data blocks, 147289 bytes free (144201 in free records, 3088 in the key table), names in code page 1252"
run --registry "$real" --save "$tmp/real.reg"
expect_status 0
reg_dump "$tmp/real.reg" >"$tmp/real-libcreg.txt"
perl_dump "$real" >"$tmp/real-perl.txt"
[ "$(wc -l <"$tmp/real-perl.txt")" -eq $((4998 + 15858)) ] && ok || fail "perl dump: $(wc -l <"$tmp/real-perl.txt") lines"
same_file "$tmp/real-perl.txt" "$tmp/real-libcreg.txt"

begin "the real file: the version from the file, no cleanup export changes anything"
run --registry "$real" InitModule IsWinMe
expect_out "IsWinMe -> 1"
for export in RemoveUsbDevices RemovePedalDevices RemoveAuxDevices; do
  run --registry "$real" --changes "$export"
  expect_status 0
  expect_out "$export -> 1"
  expect_no_out "^deleted\|^removed\|^created"
done
run --registry "$real" --changes --save "$tmp/after.reg" --save-dat "$tmp/after.dat" \
  RemoveRootDevice UninstUnInitialize RemoveAuxDevices
expect_status 0
expect_no_out "^deleted\|^removed"
same_file "$real" "$tmp/after.dat"
[ "$(grep -c "^\[$oem" "$tmp/after.reg")" -eq 20 ] && ok || fail "other makers' OEM entries: $(grep -c "^\[$oem" "$tmp/after.reg")"

begin "planted records: RemoveAuxDevices removes what the Windows 98 road removes, nothing else"
# The bundled Windows 98 machine's HKEY_LOCAL_MACHINE is the plant.
awk '/^\[/ { keep = ($0 ~ /^\[HKEY_LOCAL_MACHINE/) } NR <= 2 || keep' "$machines/win98.reg" >"$tmp/plant.reg"
run --registry "$real" --import "$tmp/plant.reg" --save "$tmp/planted.reg" --save-dat "$tmp/planted.dat"
expect_status 0
reads_as "$tmp/planted.dat" "$tmp/planted.reg"
run --machine win98 --changes RemoveAuxDevices
grep -v "HKCU" "$out" | tr 'a-z' 'A-Z' | sort >"$tmp/sim-changes.txt"
run --registry "$tmp/planted.dat" --changes --undo "$tmp/undo.reg" --save "$tmp/cleaned.reg" \
  --save-dat "$tmp/cleaned.dat" RemoveAuxDevices
expect_status 0
expect_out "RemoveAuxDevices -> 0"
tr 'a-z' 'A-Z' <"$out" | sort >"$tmp/dat-changes.txt"
same_file "$tmp/sim-changes.txt" "$tmp/dat-changes.txt"
grep -qi "^deleted key" "$tmp/dat-changes.txt" && ok || fail "nothing deleted"
reads_as "$tmp/cleaned.dat" "$tmp/cleaned.reg"
# Every other maker's OEM entry stays, the real file's and the plant's.
grep "^\[$oem" "$tmp/planted.reg" | grep -v "VID_1D9F" >"$tmp/oem-planted.txt"
grep "^\[$oem" "$tmp/cleaned.reg" >"$tmp/oem-cleaned.txt"
same_file "$tmp/oem-planted.txt" "$tmp/oem-cleaned.txt"
[ "$(wc -l <"$tmp/oem-cleaned.txt")" -gt 20 ] && ok || fail "OEM entries: $(cat "$tmp/oem-cleaned.txt")"

begin "--json: a CREG file as such, its names decoded from its code page"
# A product key named in code page 1251, which RemoveAuxDevices deletes.
cp "$tmp/plant.reg" "$tmp/plant-1251.reg"
printf '[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1D9F&PID_2100\\\xc4\xee\xec]\r\n' >>"$tmp/plant-1251.reg"
run --registry "$real" --codepage 1251 --import "$tmp/plant-1251.reg" --save-dat "$tmp/planted-1251.dat"
expect_status 0
run --registry "$tmp/planted-1251.dat" --codepage 1251 --json RemoveAuxDevices
expect_status 0
python3 - "$out" "$(dirname "$0")/../../docs/qvinst98-output.schema.json" <<'PY' && ok ||
import json, sys
import jsonschema
doc = json.load(open(sys.argv[1], encoding="utf-8"))
jsonschema.validate(doc, json.load(open(sys.argv[2])))
image = doc["image"]
assert image["kind"] == "creg" and image["format"] == "CREG 1.0", image
assert image["layout"] == "chained" and image["readOnly"] is None and image["codepage"] == 1251, image
assert any(c["path"].endswith("\\VID_1D9F&PID_2100\\\u0414\u043e\u043c") for c in doc["changes"]), doc["changes"]
PY
  fail "JSON of the CREG file: $(head -c 300 "$out")"

begin "planted records: the undo file, imported, gives back the planted tree"
run --registry "$tmp/cleaned.dat" --import "$tmp/undo.reg" --save-dat "$tmp/restored.dat"
expect_status 0
reads_as "$tmp/restored.dat" "$tmp/planted.reg"

begin "Windows 95's layout: read and previewed like the file it was packed from, never written"
python3 "$(dirname "$0")/dat_pack.py" "$tmp/planted.dat" "$tmp/packed.dat"
cp "$tmp/packed.dat" "$tmp/packed.orig"
run --registry "$tmp/packed.dat" --check
expect_status 0
grep -q "; read only: Windows 95's layout" "$out" && ok || fail "packed: $(cat "$out")"
stored_dump "$tmp/planted.reg" >"$tmp/want.txt"
perl_dump "$tmp/packed.dat" >"$tmp/perl.txt"
same_file "$tmp/want.txt" "$tmp/perl.txt"
run --registry "$tmp/packed.dat" --changes RemoveAuxDevices
expect_status 0
tr 'a-z' 'A-Z' <"$out" | sort >"$tmp/packed-changes.txt"
same_file "$tmp/dat-changes.txt" "$tmp/packed-changes.txt"
expect_one_line_error "changes shown only: Windows 95's layout"
# A checksum field, or the version of Windows 95, makes a file read only too.
cp "$tmp/planted.dat" "$tmp/checksum.dat"
printf '\x5a' | dd of="$tmp/checksum.dat" bs=1 seek=$((0x0C)) conv=notrunc status=none
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"VersionNumber"="4.00.950"\r\n' >"$tmp/version.reg"
run --registry "$tmp/planted.dat" --import "$tmp/version.reg" --save-dat "$tmp/win95.dat"
for case in "packed Windows 95's layout" "checksum checksum in the file header (0x5A)" \
  "win95 Windows 95 registry (VersionNumber 4.00.950)"; do
  name=${case%% *}
  cp "$tmp/$name.dat" "$tmp/$name.orig"
  for write in --commit "--save-dat $tmp/$name.out"; do
    run --registry "$tmp/$name.dat" $write RemoveAuxDevices
    expect_status 2
    expect_one_line_error "${case#* }"
    expect_no_out "RemoveAuxDevices"
  done
  same_file "$tmp/$name.orig" "$tmp/$name.dat"
done
ls "$tmp" | grep -q "\.out$\|qvinst98\.bak" && fail "written: $(ls "$tmp")" || ok
run --registry "$tmp/win95.dat" --changes InitModule IsWinMe RemoveAuxDevices
expect_status 0
expect_out "IsWinMe -> 0"

begin "--commit: a backup, the undo file, the new file; the undo file commits the records back"
mkdir -p "$tmp/commit" "$tmp/asis"
cp "$tmp/planted.dat" "$tmp/commit/SYSTEM.DAT"
run --registry "$tmp/commit/SYSTEM.DAT" --changes RemoveAuxDevices --commit
expect_status 0
expect_out "RemoveAuxDevices -> 0"
same_file "$tmp/planted.dat" "$tmp/commit/SYSTEM.DAT.qvinst98.bak"
[ -s "$tmp/commit/SYSTEM.DAT.qvinst98.undo.reg" ] && ok || fail "no undo file: $(ls "$tmp/commit")"
reads_as "$tmp/commit/SYSTEM.DAT" "$tmp/cleaned.reg"
run --registry "$tmp/commit/SYSTEM.DAT" --import "$tmp/commit/SYSTEM.DAT.qvinst98.undo.reg" --commit
expect_status 0
reads_as "$tmp/commit/SYSTEM.DAT" "$tmp/planted.reg"
# A run that changes nothing leaves the file, and nothing beside it.
cp "$real" "$tmp/asis/SYSTEM.DAT"
run --registry "$tmp/asis/SYSTEM.DAT" --commit RemoveUsbDevices RemovePedalDevices RemoveAuxDevices
expect_status 0
same_file "$real" "$tmp/asis/SYSTEM.DAT"
[ "$(ls -A "$tmp/asis")" = "SYSTEM.DAT" ] && ok || fail "files beside it: $(ls -A "$tmp/asis")"

begin "a grown file: new data blocks, a longer key table, a record that moves"
{
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Config\\0001]\r\n"Grown"="%0900d"\r\n'
  for i in $(seq 1 400); do
    printf '\r\n[HKEY_LOCAL_MACHINE\\Software\\QV Grown\\Key %d]\r\n"Data"="%0300d"\r\n' "$i" "$i"
  done
} >"$tmp/grow.reg"
run --registry "$real" --import "$tmp/grow.reg" --save "$tmp/grown.reg" --save-dat "$tmp/grown.dat"
expect_status 0
reads_as "$tmp/grown.dat" "$tmp/grown.reg"
run --registry "$tmp/grown.dat" --check
grep -q "CREG file, 5400 keys, 16259 values, " "$out" && ok || fail "grown: $(cat "$out")"
[ "$(stat -c %s "$tmp/grown.dat")" -gt "$(stat -c %s "$real")" ] && ok || fail "the file did not grow"
printf 'REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Software\\QV Grown]\r\n\r\n[HKEY_LOCAL_MACHINE\\Config\\0001]\r\n"Grown"=-\r\n' >"$tmp/shrink.reg"
run --registry "$tmp/grown.dat" --import "$tmp/shrink.reg" --save-dat "$tmp/shrunk.dat"
expect_status 0
reads_as "$tmp/shrunk.dat" "$tmp/real.reg"

begin "damaged files: one line, exit 2, nothing written"
mkdir -p "$tmp/bad"
# name, offset, little-endian bytes, what the error names
while read -r name offset bytes message; do
  cp "$real" "$tmp/bad/$name"
  printf "$bytes" | dd of="$tmp/bad/$name" bs=1 seek=$((offset)) conv=notrunc status=none
  run --registry "$tmp/bad/$name" --changes --save-dat "$tmp/bad/$name.out" RemoveAuxDevices
  expect_status 2
  expect_one_line_error "$message"
  expect_no_out "RemoveAuxDevices"
  run --registry "$tmp/bad/$name" --check
  expect_status 2
done <<'TABLE'
rgkn-signature       0x20      RGKX                      no RGKN signature
rgkn-size            0x24      \xff\xff\xff\x7f          key table size
first-block          0x08      \x24\x30\x02\x00          first data block
block-count          0x10      \x16                      truncated
block-signature      0x23020   RGDX                      no RGDB signature
block-size           0x23024   \x01\xf0                  4 KB
block-number         0x3202e   \x05                      numbered
root-outside         0x28      \x00\x40\x02\x00          outside the key table
child-outside        0x50      \xf0\xff\xff\x7f          outside the key table
child-loop           0x6c      \x3c                      reached twice
sibling-loop         0x70      \x3c\x00\x00\x00                reached twice
parent-link          0x68      \x58                      as its parent
name-hash            0x60      \x6c                      name hash
record-missing       0x74      \xfd\x00\x14\x00          no record with id
record-size          0x23040   \xff\xff\x00\x00          does not fit the block
record-id-twice      0x23060   \x00                      used twice
record-used          0x23048   \x1d                      used size
free-counter         0x23028   \xa3                      free space counter
free-chain-loop      0x2fbbb   \x98\xb6\x00\x00          loop
free-chain-stray     0x23030   \x9c\xb6\x00\x00          not a free record
first-free-id        0x23036   \x10                      first free id
highest-id           0x23034   \x10                      highest id
table-free-loop      0xea54    \x2c\xea\x00\x00          free list loops
table-free-overlap   0xea50    \x00\x10\x00\x00          overlaps
TABLE
# Config renamed System, its name hash with it: two root keys of one name.
cp "$real" "$tmp/bad/twice-named"
printf 'System' | dd of="$tmp/bad/twice-named" bs=1 seek=$((0x8231a)) conv=notrunc status=none
printf '\xe5\x01' | dd of="$tmp/bad/twice-named" bs=1 seek=$((0xeb14)) conv=notrunc status=none
run --registry "$tmp/bad/twice-named" --save-dat "$tmp/bad/twice-named.out" RemoveAuxDevices
expect_status 2
expect_one_line_error "a second subkey named"
head -c 600000 "$real" >"$tmp/bad/truncated"
head -c 100 "$real" >"$tmp/bad/headers-only"
for name in truncated headers-only; do
  run --registry "$tmp/bad/$name" --save-dat "$tmp/bad/$name.out" RemoveAuxDevices
  expect_status 2
  expect_one_line_error "truncated"
done
printf 'CREG' >"$tmp/bad/signature-only"
run --registry "$tmp/bad/signature-only" RemoveAuxDevices
expect_status 2
expect_one_line_error "truncated"
ls "$tmp/bad" | grep -q "\.out" && fail "written: $(ls "$tmp/bad")" || ok

begin "options that do not fit a CREG file, and the safety rules on one"
run --registry "$real" --os winxp RemoveAuxDevices
expect_status 2
expect_one_line_error "Windows 95/98/Me"
mkdir -p "$tmp/crossed"
cp "$real" "$tmp/crossed/SYSTEM.DAT"
safety_load=(--registry "$tmp/crossed/SYSTEM.DAT")
safety_dir=$tmp/crossed safety_image=SYSTEM.DAT safety_inside=HKEY_LOCAL_MACHINE
safety_rewrite=--save-dat safety_commits=yes
safety_outside=HKEY_CURRENT_USER safety_outside_error="is kept in USER.DAT"
safety_cases
begin "--import: HKEY_CURRENT_CONFIG and HKEY_CLASSES_ROOT go where Windows keeps them"
# HKEY_CURRENT_CONFIG is the configuration IDConfigDB names; HKEY_CLASSES_ROOT
# is Software\Classes before Windows Me, which keeps it in CLASSES.DAT.
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_CONFIG\\QV]\r\n[HKEY_CLASSES_ROOT\\QV]\r\n' >"$tmp/roots.reg"
run --registry "$real" --import "$tmp/roots.reg" --os win98 --save "$tmp/roots-98.reg"
expect_status 0
tr -d '\r' <"$tmp/roots-98.reg" | grep -qx '\[HKEY_LOCAL_MACHINE\\Config\\0001\\QV\]' && ok || fail "HKEY_CURRENT_CONFIG\\QV not in Config\\0001"
tr -d '\r' <"$tmp/roots-98.reg" | grep -qix '\[HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES\\QV\]' && ok || fail "HKEY_CLASSES_ROOT\\QV not in SOFTWARE\\CLASSES"
run --registry "$real" --import "$tmp/roots.reg" --save "$tmp/roots-me.reg"
expect_status 2
expect_one_line_error "HKEY_CLASSES_ROOT.QV is kept in CLASSES.DAT"
begin "options that do not fit a CREG file"
run --registry "$real" --codepage 4242 RemoveAuxDevices
expect_status 2
expect_one_line_error "code page 4242"
run --registry "$real" --codepage 1251 --os win98 InitModule IsWinMe
expect_status 0
expect_out "IsWinMe -> 0"
# The version comes from VersionNumber; one that names no version-4 Windows is refused.
for version in "4.10.2222 0" "5.00.2195 2"; do
  set -- $version
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"VersionNumber"="%s"\r\n' "$1" >"$tmp/version.reg"
  run --registry "$real" --import "$tmp/version.reg" --save-dat "$tmp/version.dat"
  run --registry "$tmp/version.dat" InitModule IsWinMe
  expect_status "$2"
  if [ "$2" -eq 0 ]; then expect_out "IsWinMe -> 0"; else expect_one_line_error "VersionNumber '$1'"; fi
done
mkdir -p "$tmp/mounted/windows/Inf" "$tmp/empty"
cp "$real" "$tmp/mounted/windows/System.Dat"
echo database >"$tmp/mounted/windows/Inf/DrvData.BIN"
run --windows "$tmp/mounted/windows" --changes InitModule IsWinMe UninstUnInitialize
expect_status 0
expect_out "IsWinMe -> 1"
# The driver database file that is there is deleted in the preview, and only there.
expect_out 'deleted file C:\WINDOWS\inf\drvdata.bin'
expect_no_out "drvidx"
expect_one_line_error "DrvData.BIN: deleted by the calls, left in place"
[ "$(cat "$tmp/mounted/windows/Inf/DrvData.BIN")" = database ] && ok || fail "the database file changed"
run --windows "$tmp/empty" RemoveAuxDevices
expect_status 2
expect_one_line_error "neither SYSTEM.DAT"
run --machine win98 --save-dat "$tmp/x.dat" RemoveAuxDevices
expect_status 2
expect_one_line_error "need a CREG file"

# --- Names, code pages and limits as Windows 95/98/Me have them -------------
# Files made from the real one: keys imported, then their names' bytes changed
# in place to names of the same hash ("QVX", "QWW" and "Q\R" sum alike).
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QVX]\r\n[HKEY_LOCAL_MACHINE\\Software\\QWW]\r\n[HKEY_LOCAL_MACHINE\\Software\\\x95\x5d\x8e\xa5]\r\n' >"$tmp/names.reg"
run --registry "$real" --import "$tmp/names.reg" --save-dat "$tmp/names.dat"
expect_status 0
# Replaces the first occurrence of the bytes $2 (as hex) in the file $1 by $3.
patch_bytes() {
  local at
  at=$(LC_ALL=C grep -obUaP "$(echo "$2" | sed 's/../\\x&/g')" "$1" | head -1 | cut -d: -f1)
  printf "$(echo "$3" | sed 's/../\\x&/g')" | dd of="$1" bs=1 seek="$at" conv=notrunc status=none
}

begin "names Windows cannot make: refused before any run, even a preview"
cp "$tmp/names.dat" "$tmp/backslash.dat"
patch_bytes "$tmp/backslash.dat" 515658 515c52
cp "$tmp/names.dat" "$tmp/twice.dat"
patch_bytes "$tmp/twice.dat" 515757 717678
for file in backslash twice; do
  cp "$tmp/$file.dat" "$tmp/$file.orig"
  run --registry "$tmp/$file.dat" --changes --commit RemoveAuxDevices
  expect_status 2
  same_file "$tmp/$file.orig" "$tmp/$file.dat"
done
expect_one_line_error 'key SOFTWARE\\qvx (entry 0x[0-9A-F]*): a second subkey named qvx'
run --registry "$tmp/backslash.dat" --changes RemoveAuxDevices
expect_status 2
expect_one_line_error "key SOFTWARE.Q.R (entry 0x[0-9A-F]*): a name holding '.'"

begin "code page 932: a trail byte 0x5C is part of its character"
cp "$tmp/names.dat" "$tmp/dbcs.dat"
patch_bytes "$tmp/dbcs.dat" 955d8ea5 955c8ea6
run --registry "$tmp/dbcs.dat" --check
expect_status 2
expect_one_line_error "a name holding"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QV]\r\n"x"=dword:00000001\r\n' >"$tmp/dword.reg"
run --registry "$tmp/dbcs.dat" --codepage 932 --import "$tmp/dword.reg" --save "$tmp/dbcs.reg" \
  --save-dat "$tmp/dbcs-written.dat"
expect_status 0
grep -qxF "[HKEY_LOCAL_MACHINE\\SOFTWARE\\$(printf '\x95\x5c\x8e\xa6')]$(printf '\r')" "$tmp/dbcs.reg" && ok ||
  fail "the key is not in the export"
perl_dump "$tmp/dbcs-written.dat" >"$tmp/perl.txt"
stored_dump "$tmp/dbcs.reg" >"$tmp/want.txt"
same_file "$tmp/want.txt" "$tmp/perl.txt"

# The .reg text is read by character too.
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\\x95\x5c\x8e\xa6]\r\n"x"=dword:00000002\r\n' >"$tmp/dbcs-import.reg"
run --registry "$real" --codepage 932 --import "$tmp/dbcs-import.reg" --save "$tmp/dbcs-import.want" \
  --save-dat "$tmp/dbcs-import.dat"
expect_status 0
run --registry "$tmp/dbcs-import.dat" --codepage 932 --save "$tmp/dbcs-import.reg.back"
expect_status 0
stored_dump "$tmp/dbcs-import.want" >"$tmp/want.txt"
reg_dump "$tmp/dbcs-import.reg.back" >"$tmp/libcreg.txt"
perl_dump "$tmp/dbcs-import.dat" >"$tmp/perl.txt"
same_file "$tmp/want.txt" "$tmp/libcreg.txt"
same_file "$tmp/want.txt" "$tmp/perl.txt"
grep -qF "$(printf 'V\tHKEY_LOCAL_MACHINE\\SOFTWARE\\\x95\x5c\x8e\xa6\tx\t4\t02000000')" "$tmp/perl.txt" && ok ||
  fail "the value is not in the key of two characters"
# One key, not a key 0x95 with a subkey.
[ "$(grep -caF "$(printf 'K\tHKEY_LOCAL_MACHINE\\SOFTWARE\\\x95')" "$tmp/perl.txt")" -eq 1 ] && ok ||
  fail "the name was split at its trail byte"

begin "what Windows writes: strings without a NUL, limits refused naming the key"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QV]\r\n"x"="abc"\r\n' >"$tmp/string.reg"
run --registry "$real" --import "$tmp/string.reg" --save "$tmp/string.dat.want.reg" \
  --save-dat "$tmp/string.dat"
expect_status 0
reads_as "$tmp/string.dat" "$tmp/string.dat.want.reg"
grep -q "$(printf 'V\tHKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\QV\tx\t1\t616263')$" "$tmp/perl.txt" && ok ||
  fail "the string is not stored as 616263"
{
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QV Big]\r\n"big"=hex:'
  head -c 16301 /dev/zero | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//'
  printf '\r\n'
} >"$tmp/big.reg"
run --registry "$real" --import "$tmp/big.reg" --save-dat "$tmp/big.dat"
expect_status 2
expect_one_line_error 'key SOFTWARE\\QV Big: value "big" of 16301 bytes, more than the 16300'
[ -e "$tmp/big.dat" ] && fail "written" || ok
cp "$real" "$tmp/format2.dat"
printf '\x02' | dd of="$tmp/format2.dat" bs=1 seek=6 conv=notrunc status=none
cp "$tmp/format2.dat" "$tmp/format2.orig"
run --registry "$tmp/format2.dat" --commit RemoveAuxDevices
expect_status 2
expect_one_line_error "format 2.0, not 1.0"
same_file "$tmp/format2.orig" "$tmp/format2.dat"

begin "an undo that cannot hold a deleted name: the commit is refused before anything is written"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QV Undo]\r\n"lineQXQfeed"=dword:00000001\r\n' >"$tmp/lf.reg"
run --registry "$real" --import "$tmp/lf.reg" --save-dat "$tmp/lf.dat"
expect_status 0
patch_bytes "$tmp/lf.dat" 515851 510a51
cp "$tmp/lf.dat" "$tmp/lf.orig"
printf 'REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Software\\QV Undo]\r\n' >"$tmp/lf-delete.reg"
run --registry "$tmp/lf.dat" --import "$tmp/lf-delete.reg" --commit
expect_status 2
expect_one_line_error 'value "lineQ<LF>Qfeed" holds a NUL character or a line break'
same_file "$tmp/lf.orig" "$tmp/lf.dat"
ls "$tmp" | grep -q "^lf\.dat\." && fail "written beside: $(ls "$tmp" | grep "^lf\.dat")" || ok

begin "a key deleted and made again in another case takes the new case"
printf 'REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Config\\0001\\Display]\r\n\r\n[HKEY_LOCAL_MACHINE\\Config\\0001\\DISPLAY\\Fonts]\r\n"x"=dword:00000001\r\n' >"$tmp/recase.reg"
run --registry "$real" --import "$tmp/recase.reg" --save "$tmp/recase.reg.want" --save-dat "$tmp/recase.dat"
expect_status 0
grep -q '^\[HKEY_LOCAL_MACHINE\\Config\\0001\\DISPLAY\\Fonts\]' "$tmp/recase.reg.want" && ok ||
  fail "the new case is not in the export"
reads_as "$tmp/recase.dat" "$tmp/recase.reg.want"

begin "--windows refuses a folder holding two registries, or two names for one file"
mkdir -p "$tmp/two/System32/config" "$tmp/cased"
cp "$real" "$tmp/two/SYSTEM.DAT"
echo hive >"$tmp/two/System32/config/SYSTEM"
cp "$real" "$tmp/cased/SYSTEM.DAT"
cp "$real" "$tmp/cased/system.dat"
run --windows "$tmp/two" RemoveAuxDevices
expect_status 2
expect_one_line_error "both .*SYSTEM.DAT (Windows 95/98/Me) and .*config/SYSTEM (Windows NT)"
run --windows "$tmp/cased" RemoveAuxDevices
expect_status 2
expect_one_line_error "both .*cased/.* and .*cased/.* are there"

# --- Unicode imports in the file's code page --------------------------------
# A Version 5.00 image as UTF-16LE with its byte-order mark, from UTF-8 text.
utf16_reg() {
  { printf '\xff\xfe'; printf 'Windows Registry Editor Version 5.00\r\n\r\n%s\r\n' "$2" | iconv -f UTF-8 -t UTF-16LE; } >"$1"
}

begin "a Unicode import becomes the code page: two Cyrillic keys stay two, committed"
utf16_reg "$tmp/cyrillic.reg" '[HKEY_LOCAL_MACHINE\Software\QV\Дом]
"v"="€ ™ “ ” –"
[HKEY_LOCAL_MACHINE\Software\QV\Кот]'
mkdir -p "$tmp/cp1251"
cp "$real" "$tmp/cp1251/SYSTEM.DAT"
run --registry "$tmp/cp1251/SYSTEM.DAT" --codepage 1251 --import "$tmp/cyrillic.reg" --commit \
  --save "$tmp/cp1251.want"
expect_status 0
reads_as "$tmp/cp1251/SYSTEM.DAT" "$tmp/cp1251.want"
grep -qF "$(printf 'V\tHKEY_LOCAL_MACHINE\\SOFTWARE\\QV\\\xc4\xee\xec\tv\t1\t882099209320942096')" "$tmp/perl.txt" &&
  grep -qxF "$(printf 'K\tHKEY_LOCAL_MACHINE\\SOFTWARE\\QV\\\xca\xee\xf2')" "$tmp/perl.txt" && ok ||
  fail "the keys are not Дом and Кот in code page 1251: $(grep -a 'SOFTWARE.QV' "$tmp/perl.txt")"

begin "a character the code page lacks: one line naming the key, exit 2, nothing written"
cp "$real" "$tmp/cp1252.dat"
for write in --commit "--save-dat $tmp/cp1252.out"; do
  run --registry "$tmp/cp1252.dat" --import "$tmp/cyrillic.reg" $write
  expect_status 2
  expect_one_line_error 'cyrillic.reg:3: key HKEY_LOCAL_MACHINE\\Software\\QV\\Дом: "Д" (U+0414) is not in code page 1252'
done
same_file "$real" "$tmp/cp1252.dat"
ls "$tmp" | grep -q "^cp1252\.\(out\|dat\.\)" && fail "written: $(ls "$tmp" | grep "^cp1252")" || ok

begin "--check takes the names in the code page --codepage gives"
run --registry "$tmp/dbcs.dat" --codepage 932 --check
expect_status 0
grep -q "^$tmp/dbcs.dat: CREG file, 5002 keys, .*, names in code page 932$" "$out" && ok || fail "checked: $(cat "$out" "$err")"

echo "CREG tool tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

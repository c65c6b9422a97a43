#!/bin/sh
# Checks of the built DLL that need no Windows: its export table, the DLLs
# and functions it imports, and (for the 32-bit product) its PE header,
# stdcall symbols, version resource and size.
#   static-checks.sh exports|imports|pe|size
# Environment: QVINST98_DLL, QVINST98_MAP (the linker's map of the DLL),
# OBJDUMP, DATA, WORK, QVINST98_BITS (32 or 64).
set -eu
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
expect_same() { # expected actual what
  if ! diff -u "$1" "$2" >&2; then fail "$3 differs from what is expected"; fi
}
rm -rf "$WORK"
mkdir -p "$WORK"

case "$1" in
exports)
  # Ordinal and name of every export, and nothing else.
  winedump -j export "$QVINST98_DLL" |
    awk 'NF == 3 && length($1) == 8 && $1 ~ /^[0-9A-F]+$/ && $2 ~ /^[0-9]+$/ { print $2, $3 }' | sort -n >"$WORK/exports.txt"
  expect_same "$DATA/exports.txt" "$WORK/exports.txt" "export table"
  ;;
imports)
  # "DLL function" per imported function, DLL names upper-cased.
  "$OBJDUMP" -p "$QVINST98_DLL" | awk '
    /DLL Name:/ { dll = toupper($3); next }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }
    ' | LC_ALL=C sort >"$WORK/imports.txt"
  [ -s "$WORK/imports.txt" ] || fail "no imports read from $QVINST98_DLL"
  # Bound at run time, never imported: the DLL must load without them.
  if grep -E '^(SETUPAPI|CFGMGR32)\.DLL ' "$WORK/imports.txt" >&2; then
    fail "Setup API or Configuration Manager imported"
  fi
  # Only system DLLs of every Windows version: no MinGW runtime DLL.
  cut -d' ' -f1 "$WORK/imports.txt" | sort -u >"$WORK/dlls.txt"
  if grep -vxE 'KERNEL32\.DLL|ADVAPI32\.DLL|USER32\.DLL|GDI32\.DLL|MSVCRT\.DLL' "$WORK/dlls.txt" >&2; then
    fail "unexpected DLL imported"
  fi
  # The 32-bit product's functions were reviewed one by one.
  if [ "$QVINST98_BITS" = 32 ]; then
    grep -v '^#' "$DATA/imports-i686.txt" >"$WORK/reviewed.txt"
    expect_same "$WORK/reviewed.txt" "$WORK/imports.txt" "import list"
  fi
  ;;
pe)
  winedump "$QVINST98_DLL" >"$WORK/header.txt"
  grep -q 'Machine: *014C (i386)' "$WORK/header.txt" || fail "not an i386 image"
  grep -q 'required OS version *4.00' "$WORK/header.txt" || fail "OS version is not 4.00"
  grep -q 'subsystem version *4.00' "$WORK/header.txt" || fail "subsystem version is not 4.00"
  # Each export is the stdcall symbol that removes 12 bytes of arguments:
  # the DLL carries no symbol table, so the export's address is compared with
  # the address the linker's map gives Name@12.
  base=$("$OBJDUMP" -p "$QVINST98_DLL" | awk '$1 == "ImageBase" { print $2 }')
  [ -n "$base" ] || fail "no image base read from $QVINST98_DLL"
  winedump -j export "$QVINST98_DLL" |
    awk 'NF == 3 && length($1) == 8 && $2 ~ /^[0-9]+$/ { print $3, $1 }' >"$WORK/entries.txt"
  while read -r ordinal name; do
    rva=$(awk -v n="$name" '$1 == n { print $2 }' "$WORK/entries.txt")
    [ -n "$rva" ] || fail "$name is not exported"
    address=$(printf '0x%08x' $((0x$base + 0x$rva)))
    grep -qE "^ +$address +$name@12\$" "$QVINST98_MAP" ||
      fail "$name (at $address) is not the stdcall symbol $name@12 in the linker's map"
    grep -qxE "  $name = $name@12 @$ordinal" "$DATA/../../platform/win32/QVInst98.def" ||
      fail "$name is not mapped to $name@12 at ordinal $ordinal in the .def"
  done <"$DATA/exports.txt"
  # The version resource names the file.
  strings -el "$QVINST98_DLL" >"$WORK/strings.txt"
  for text in OriginalFilename QVInst98.dll FileVersion ProductVersion FileDescription; do
    grep -qx "$text" "$WORK/strings.txt" || fail "version resource lacks $text"
  done
  # The project's version, as the tool, the package and the kit carry it.
  for field in FileVersion ProductVersion; do
    [ "$(grep -xA1 "$field" "$WORK/strings.txt" | tail -n 1)" = "$QVINST98_VERSION" ] ||
      fail "$field is not the project version $QVINST98_VERSION"
  done
  ;;
size)
  # The product's budget: installers carry the DLL, often on slow media.
  # What the size is made of is in docs/windows.md ("Size").
  budget=163840
  size=$(wc -c <"$QVINST98_DLL")
  echo "QVInst98.dll: $size bytes, budget $budget"
  [ "$size" -le "$budget" ] || fail "QVInst98.dll is $size bytes, over its budget of $budget"
  # Stripped: no symbol table and no debug information.
  "$OBJDUMP" -h "$QVINST98_DLL" >"$WORK/sections.txt"
  if grep -E ' \.(debug|zdebug)' "$WORK/sections.txt" >&2; then fail "debug information in the DLL"; fi
  winedump "$QVINST98_DLL" | grep -qE 'NumberOfSymbols: +0+$' || fail "the DLL carries a symbol table"
  ;;
*)
  fail "usage: static-checks.sh exports|imports|pe|size"
  ;;
esac
echo "ok: $1"

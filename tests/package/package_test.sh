#!/bin/bash
# The Debian package of the tool, as a user gets it: the .deb that this build
# tree's "package" target makes (made here first when it is missing or older
# than the tool), unpacked into a temporary root and run from there, and
# checked by lintian.
#
#   package_test.sh install|lintian BUILD_DIR VERSION TMPDIR
set -u

if [ $# -ne 4 ]; then
  echo "usage: $0 install|lintian BUILD_DIR VERSION TMPDIR" >&2
  exit 2
fi
mode=$1
build=$2
version=$3
tmp=$4
rm -rf "$tmp"
mkdir -p "$tmp"
out=$tmp/out
err=$tmp/err
# shellcheck source=../tool/checks.sh
. "$(dirname "$0")/../tool/checks.sh"

deb=$build/qvinst98_${version}_$(dpkg --print-architecture).deb
tool=$build/tools/qvinst98
[ -x "$tool" ] || { echo "FAIL: $tool is not built; build the tree first"; exit 1; }
if [ ! -f "$deb" ] || [ "$deb" -ot "$tool" ] || [ "$deb" -ot "$build/man/qvinst98.1.gz" ] ||
  [ "$deb" -ot "$build/CPackConfig.cmake" ]; then
  echo "making the package: cmake --build $build --target package"
  if ! cmake --build "$build" --target package >"$tmp/package.log" 2>&1; then
    cat "$tmp/package.log"
    echo "FAIL: the package could not be made in $build"
    exit 1
  fi
  [ -f "$deb" ] || { echo "FAIL: the package target made no $deb"; exit 1; }
fi

case $mode in
install)
  root=$tmp/root
  begin "unpacks into a root of its own"
  if dpkg-deb -x "$deb" "$root"; then ok; else fail "dpkg-deb -x failed"; fi
  tool=$root/usr/bin/qvinst98

  begin "the installed tool is the version of the package and runs a sample call"
  run --version
  expect_status 0
  [ "$(cat "$out")" = "qvinst98 $version" ] && ok || fail "--version printed: $(cat "$out")"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] && ok || fail "package version $(dpkg-deb -f "$deb" Version)"
  run --machine win98 --changes RemoveUsbDevices
  expect_status 0
  grep -qxF "RemoveUsbDevices -> 0" "$out" && ok || fail "sample call printed: $(head -c 300 "$out")"
  grep -q '^deleted key HKLM\\Enum\\USB\\VID_1D9F&PID_2100' "$out" && ok || fail "no deleted key in: $(head -c 300 "$out")"

  begin "manual page, README, manual, licence and copyright are installed"
  man=$root/usr/share/man/man1/qvinst98.1.gz
  page=$tmp/qvinst98.1
  zcat "$man" >"$page" 2>/dev/null || : >"$page"
  if grep -q '^\.TH QVINST98 "1"' "$page"; then ok; else fail "no manual page at usr/share/man/man1"; fi
  grep -qF "qvinst98 $version" "$page" && ok || fail "the manual page is not of version $version"
  for file in README.md LICENSE copyright changelog.gz docs/tool.md docs/images.md docs/testing.md \
    docs/qvinst98-output.schema.json; do
    [ -s "$root/usr/share/doc/qvinst98/$file" ] && ok || fail "no usr/share/doc/qvinst98/$file"
  done

  begin "every option of the installed tool's --help is in the manual page and in docs/tool.md"
  run --help
  expect_status 0
  options=$(grep -oE '^  (-[a-z],)?--[a-z-]+' "$out" | sed 's/.*--//')
  # The parse itself must find the options, or the loop below proves nothing.
  for option in registry hive commit backup windows save-dat json fail undo; do
    grep -qx -- "$option" <<<"$options" && ok || fail "--help lists no --$option: $(head -c 300 "$out")"
  done
  manual=$root/usr/share/doc/qvinst98/docs/tool.md
  for option in $options; do
    grep -qF -- "\\-\\-${option//-/\\-}" "$page" && ok || fail "the manual page lacks --$option"
    grep -q -- "^| .*\`--$option[ \`]" "$manual" && ok || fail "docs/tool.md explains no --$option"
  done

  begin "the manual page has the sections that --help cannot give"
  for section in '"EXIT STATUS"' FILES EXAMPLES '"SEE ALSO"'; do
    grep -qx "\.SH $section" "$page" && ok || fail "the manual page has no section $section"
  done
  # FILES names what a commit makes, as the commit pipeline names them.
  files=$(sed -n '/^\.SH FILES$/,/^\.SH /p' "$page")
  for name in '.qvinst98.bak' '.qvinst98.undo.reg' '.qvinst98\-' '.tmp'; do
    grep -qF -- "$name" <<<"$files" && ok || fail "FILES does not name $name"
  done
  exits=$(sed -n '/^\.SH "EXIT STATUS"$/,/^\.SH /p' "$page")
  for status in 0 1 2; do
    grep -qx "\.B $status" <<<"$exits" && ok || fail "EXIT STATUS does not give status $status"
  done

  begin "dependencies come from the binary's libraries"
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libc6 libstdc++6 libhivex0; do
    case $depends in *"$library "*) ok ;; *) fail "Depends lacks $library: $depends" ;; esac
  done
  ;;
lintian)
  begin "lintian finds no error"
  lintian --display-info "$deb" >"$out" 2>"$err"
  status=$?
  cat "$out"
  # lintian ends non-zero on an error, and when it cannot check the package.
  if grep -q '^E: ' "$out"; then
    fail "lintian errors: $(grep '^E: ' "$out")"
  elif [ "$status" -ne 0 ]; then
    fail "lintian ended with status $status: $(head -c 300 "$err")"
  else
    ok
  fi
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

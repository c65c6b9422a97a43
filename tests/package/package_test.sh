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

  begin "manual page, README, licence and copyright are installed"
  man=$root/usr/share/man/man1/qvinst98.1.gz
  if zcat "$man" 2>/dev/null | grep -q '^\.TH QVINST98 "1"'; then ok; else fail "no manual page at usr/share/man/man1"; fi
  # Made from the tool's own --help: every option is there.
  for option in registry hive commit json fail changes undo; do
    zcat "$man" 2>/dev/null | grep -qF -- "\\-\\-$option" && ok || fail "the manual page lacks --$option"
  done
  zcat "$man" 2>/dev/null | grep -qF "qvinst98 $version" && ok || fail "the manual page is not of version $version"
  for file in README.md LICENSE copyright changelog.gz; do
    [ -s "$root/usr/share/doc/qvinst98/$file" ] && ok || fail "no usr/share/doc/qvinst98/$file"
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

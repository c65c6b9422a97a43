#!/bin/sh
# The DLL called from real installation scripts built from the installer kit
# (the zip the build packs: its DLL, macros and example): a client that
# calls the exports through the kit's macros and the kit's own example
# installer, each run silently in the prefix, writing what the exports
# answered.
#   nsis.sh TARGET   (amd64-unicode for the 64-bit DLL, x86-unicode for 32)
# Environment as lib.sh, plus MAKENSIS and QVINST98_KIT_ZIP.
. "$(dirname "$0")/lib.sh"
[ -f "$QVINST98_KIT_ZIP" ] ||
  fail "no installer kit $QVINST98_KIT_ZIP: build the tree's qvinst98_kit target first"
# A display of its own, before the prefix starts, for the uninstaller's dialogs.
rm -rf "$WORK"
mkdir -p "$WORK"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 9>&- &
XVFB_PID=$!
for _ in $(seq 1 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
[ -s "$WORK/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(cat "$WORK/display")"
new_prefix winme

# The kit as an installer author gets it: one folder, checksums that hold,
# and the DLL this build tests.
mkdir -p "$WORK/unpacked"
unzip -q "$QVINST98_KIT_ZIP" -d "$WORK/unpacked" || fail "cannot unpack $QVINST98_KIT_ZIP"
kit=$WORK/unpacked/$(basename "$QVINST98_KIT_ZIP" .zip)
[ -d "$kit" ] || fail "the kit has no folder $(basename "$kit"): $(ls "$WORK/unpacked")"
(cd "$kit" && sha256sum --quiet -c SHA256SUMS) >&2 || fail "the kit's SHA256SUMS do not hold"
for file in QVInst98.dll QVInst98.nsh example.nsi INSTALLERS.md; do
  grep -q "  $file\$" "$kit/SHA256SUMS" || fail "SHA256SUMS does not cover $file"
done
cmp -s "$kit/QVInst98.dll" "$QVINST98_DLL" || fail "the kit's DLL is not the DLL of this build"

build_installer() { # script output [defines...]
  local script=$1 output=$2
  shift 2
  limited "makensis $script" "$MAKENSIS" -V2 -DTARGET="$TARGET" -DOUT="$output" "$@" "$script" \
    >"$WORK/makensis.log" 2>&1 || {
    cat "$WORK/makensis.log" >&2
    fail "makensis $script"
  }
}
TARGET=$1

# Every frame export through the kit's macros.
build_installer "$DATA/client.nsi" "$WORK/client.exe" -DKIT="$kit"
cp "$WORK/client.exe" "$QV/client.exe"
wine 'C:\qv\client.exe' /S
[ -f "$QV/results.txt" ] || fail "the installer wrote no results"
tr -d '\r' <"$QV/results.txt" >"$WORK/results.txt"
# Windows Me: IsWinMe answers 1 once InitModule has gathered the version.
cat >"$WORK/results.expected" <<END
IsWinMe=0
InitModule=1
IsWinMe=1
IsWin2k=0
IsWinXp=0
IsAdmin=1
SetTargetDir=0
UpdateDevices=1
RootDeviceCount=0
RemoveUsbDevices=1
NeedReboot=0
END
expect_same "$WORK/results.expected" "$WORK/results.txt" "installer results"

# The kit's example installer, as shipped, in the product's order. Wine's
# Configuration Manager locates no device node: CreateRootDevice gives its
# CR_FAILURE (19), as wine.registry.win98-root records.
build_installer "$kit/example.nsi" "$WORK/setup.exe" -DRESULTS=answers.txt
cp "$WORK/setup.exe" "$QV/setup.exe"
wine 'C:\qv\setup.exe' /S '/D=C:\qv\installed'
[ -f "$QV/answers.txt" ] || fail "the example installer wrote no answers"
[ -f "$QV/installed/uninstall.exe" ] || fail "the example installer wrote no uninstaller"
tr -d '\r' <"$QV/answers.txt" >"$WORK/answers.txt"
printf '%s\n' InitModule=1 SetTargetDir=0 CreateRootDevice=19 >"$WORK/answers.expected"
expect_same "$WORK/answers.expected" "$WORK/answers.txt" "example installer answers"

# Its uninstaller, run in place: the unplug question answered Yes (Enter),
# the removal exports, and the restart advice answered OK. The root device's
# key does not exist, so RemoveRootDevice has nothing to remove (0).
wine 'C:\qv\installed\uninstall.exe' /S '_?=C:\qv\installed' &
uninstaller=$!
for dialog in unplug restart; do
  window=""
  for _ in $(seq 1 100); do
    window=$(xdotool search --name '^Information$' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || fail "the uninstaller showed no $dialog dialog"
  xdotool windowactivate --sync "$window" key Return 2>/dev/null || xdotool key Return
  for _ in $(seq 1 100); do xdotool search --name '^Information$' >/dev/null 2>&1 || break; sleep 0.1; done
done
wait "$uninstaller" || fail "the uninstaller failed"
[ -f "$QV/installed/answers.txt" ] || fail "the uninstaller wrote no answers"
tr -d '\r' <"$QV/installed/answers.txt" >"$WORK/uninstall.txt"
printf '%s\n' UninstInitialize=0 RemoveUsbDevices=1 RemovePedalDevices=1 RemoveAuxDevices=1 \
  RemoveRootDevice=0 UninstUnInitialize=0 >"$WORK/uninstall.expected"
expect_same "$WORK/uninstall.expected" "$WORK/uninstall.txt" "example uninstaller answers"
echo "ok: installer client and the kit's example installer and uninstaller"

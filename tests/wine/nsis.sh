#!/bin/sh
# The DLL called from a real installation script: an NSIS installer built
# here runs silently in the prefix and writes what each export answered.
#   nsis.sh TARGET   (amd64-unicode for the 64-bit DLL, x86-unicode for 32)
# Environment as lib.sh, plus MAKENSIS.
. "$(dirname "$0")/lib.sh"
new_prefix winme
limited makensis "$MAKENSIS" -V2 -DTARGET="$1" -DDLL="$QVINST98_DLL" -DOUT="$WORK/client.exe" \
  "$DATA/client.nsi" >"$WORK/makensis.log" 2>&1 || {
  cat "$WORK/makensis.log" >&2
  fail "makensis"
}
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
echo "ok: installer client"

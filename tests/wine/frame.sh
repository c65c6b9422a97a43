#!/bin/sh
# The frame exports on one Windows version: constant answers, IsWinMe from
# the platform information only after InitModule, the text arguments, and
# state back to its load-time value after the DLL is loaded again. The
# trace is exact in a trace build and empty otherwise.
#   frame.sh win98|winme|win2k|winxp|win7
. "$(dirname "$0")/lib.sh"
version=$1
new_prefix "$version"

me=0
[ "$version" = winme ] && me=1
long=$(printf '%0300d' 0 | tr 0 x)
call_dll frame IsWinMe InitModule IsWinMe InitModule IsWin2k IsWinXp IsAdmin NeedReboot \
  "SetTargetDir=C:\\Program Files\\QV" "UpdateDevices=$long" RootDeviceCount reload IsWinMe

cat >"$WORK/frame.expected" <<END
IsWinMe=0
InitModule=1
IsWinMe=$me
InitModule=1
IsWin2k=0
IsWinXp=0
IsAdmin=1
NeedReboot=0
SetTargetDir=0
UpdateDevices=1
RootDeviceCount=0
reload
IsWinMe=0
END
expect_same "$WORK/frame.expected" "$WORK/frame.out" "answers"

if [ "$QVINST98_TRACE" = ON ]; then
  # The target directory is cut to 255 characters. Wine has no legacy
  # Enum\Root keys, so the root device count opens nothing.
  cat >"$WORK/trace.expected" <<END
INST98: isWinMe
INST98: initModule
INST98: isWinMe
INST98: initModule
INST98: isWin2k
INST98: isWinXp
INST98: isAdmin
INST98: needReboot
INST98: setTargetDir
INST98: updateDevices - targetDir:$(printf '%s' "$long" | cut -c1-255)
INST98: RootDeviceCount
INST98: checkDeviceKeys
WINREG: OpenWithKey - FileName:Enum\\Root\\System
  WR: OpenKey FAILED!
WINREG: OpenWithKey - FileName:Enum\\Root\\*QV_TILLERDESK\\0000
  WR: OpenKey FAILED!
  I98: Exiting RootDeviceCount - count:0
INST98: isWinMe
END
  expect_same "$WORK/trace.expected" "$WORK/frame.trace" "trace"
else
  [ ! -s "$WORK/frame.trace" ] || fail "debug output written with tracing off"
fi
echo "ok: frame exports on $version"

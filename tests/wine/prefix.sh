#!/bin/sh
# Prepares the Wine prefix that every test starts from as a copy, once per
# build tree: creating one takes Wine several seconds.
. "$(dirname "$0")/lib.sh"

ready="$BASE_PREFIX/.qvinst98-ready"
[ -f "$ready" ] && exit 0
rm -rf "$BASE_PREFIX"
mkdir -p "$(dirname "$BASE_PREFIX")"
export WINEPREFIX="$BASE_PREFIX"
wine wineboot -i >/dev/null 2>&1 || fail "wineboot could not create the prefix"
# Windows without a window manager place themselves, as on Windows.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
"$WINESERVER64" -w
touch "$ready"

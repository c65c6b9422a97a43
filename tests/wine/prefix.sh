#!/bin/sh
# Prepares the Wine prefix that every test starts from as a copy, once per
# build tree: creating one takes Wine several seconds. The prefix is made
# again when the Wine it was made with is no longer the one installed: a
# copy made by another Wine would be updated by each test's first process.
. "$(dirname "$0")/lib.sh"

mkdir -p "$WORK"
: >"$WORK/steps.log"
made_by="$("$WINE_LOADER" --version) $WINE_LOADER $WINESERVER"
ready="$BASE_PREFIX/.qvinst98-ready"
if [ -f "$ready" ] && [ "$(cat "$ready")" = "$made_by" ]; then
  echo "ok: the prefix is ready ($made_by)"
  exit 0
fi
rm -rf "$BASE_PREFIX"
mkdir -p "$(dirname "$BASE_PREFIX")"
export WINEPREFIX="$BASE_PREFIX"
trap end_prefix EXIT
# The server starts with wineboot and ends 3 s after the last process, having
# written the registry to the prefix.
wine wineboot -i </dev/null >"$WORK/wineboot.log" 2>&1 || {
  cat "$WORK/wineboot.log" >&2
  fail "wineboot could not create the prefix"
}
# Windows without a window manager place themselves, as on Windows.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >>"$WORK/wineboot.log" 2>&1
limited "wineserver -w" "$WINESERVER" -w
# The copies get server directories of their own (see own_server_dir).
remove_server_dir
own_server_dir
echo "$made_by" >"$ready"
trap - EXIT
echo "ok: prefix made ($made_by)"

#!/bin/sh
# The message dialogs on a virtual X display: each is shown, photographed
# (WORK/*.png) and answered with the keyboard or the mouse as a user would;
# the answer is checked through the export's result, the trace (in trace
# builds) and, for the platform layer's own dialog, its answer number.
. "$(dirname "$0")/lib.sh"

# A display of our own, present before the prefix's wineserver starts.
rm -rf "$WORK"
mkdir -p "$WORK"
# Its output goes to the log, not to the test's: CTest reads that until it closes.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 9>&- &
XVFB_PID=$!
for _ in $(seq 1 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
[ -s "$WORK/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(cat "$WORK/display")"
log="$WORK/xvfb.log"
new_prefix winxp
cp "$log" "$WORK/xvfb.log" 2>/dev/null || true

unplug='Before uninstalling the Tillerdesk, it is highly recommended that you unplug all QV USB devices to ensure that all drivers, etc. are properly removed. If there are QV USB devices currently connected click "No", unplug the devices, and restart the uninstall. Have all the devices been unpluged?'
restart='Removal of the Tillerdesk software is complete. To finish the uninstall and unload the drivers from memory it is necessary to restart Windows. It is highly recommended that you RESTART WINDOWS as soon as possible after this program exits.'

# Runs the probe with a dialog in the background, waits for the dialog's
# report, photographs it, performs the action and waits for the probe.
#   answer CASE ACTION probe-arguments...
# ACTION: key:KEYS, click:BUTTON-ID or click:close.
answer() {
  name=$1 action=$2
  shift 2
  rm -f "$QV/$name".*
  probe --trace "C:\\qv\\$name.trace" --report-dialog "C:\\qv\\$name.dialog" "$@" \
    >"$WORK/$name.out" &
  pid=$!
  for _ in $(seq 1 100); do [ -f "$QV/$name.dialog.1" ] && break; sleep 0.1; done
  [ -f "$QV/$name.dialog.1" ] || fail "$name: no dialog appeared"
  cp "$QV/$name.dialog.1" "$WORK/$name.dialog"
  import -window root "$WORK/$name.png"
  case $action in
  key:*) xdotool key "${action#key:}" ;;
  click:close) set -- $(grep '^close ' "$WORK/$name.dialog") && xdotool mousemove "$2" "$3" click 1 ;;
  click:*) set -- $(grep "^button ${action#click:} " "$WORK/$name.dialog") &&
    xdotool mousemove "$3" "$4" click 1 ;;
  esac
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    fail "$name: the dialog did not end on $action"
  fi
  wait "$pid" || true
  cp "$QV/$name.trace" "$WORK/$name.trace"
}

expect_output() { # case expected-line
  [ "$(cat "$WORK/$1.out")" = "$2" ] || fail "$1: got '$(cat "$WORK/$1.out")', expected '$2'"
}

# In a trace build the unplug confirmation's answer number is in the trace.
expect_traced_answer() { # case number
  [ "$QVINST98_TRACE" = ON ] || return 0
  grep -qx "  I98: Test Message returned:$2" "$WORK/$1.trace" ||
    fail "$1: the trace does not show answer $2"
}

# What the user sees, read back from the dialog itself.
expect_dialog() { # case text buttons...
  file="$WORK/$1.dialog" text=$2
  shift 2
  grep -qx 'caption Information' "$file" || fail "caption: $(grep caption "$file")"
  grep -qxF "text $text" "$file" || fail "message: $(grep '^text' "$file")"
  grep -qx 'icon asterisk' "$file" || fail "not the information icon"
  grep -qx 'owner none' "$file" || fail "the dialog has an owner"
  read -r _ dx dy <<END
$(grep '^offcentre ' "$file")
END
  [ "${dx#-}" -le 1 ] && [ "${dy#-}" -le 1 ] || fail "not centred: $dx $dy"
  grep '^button ' "$file" | cut -d' ' -f2,5- >"$WORK/buttons"
  printf '%s\n' "$@" >"$WORK/buttons.expected"
  expect_same "$WORK/buttons.expected" "$WORK/buttons" "buttons"
}

# The unplug confirmation through the export: Yes answers 0, all else -1.
answer enter key:Return call 'C:\qv\QVInst98.dll' UninstInitialize
expect_output enter UninstInitialize=0
expect_traced_answer enter 6
expect_dialog enter "$unplug" '6 &Yes' '7 &No'
grep -qx 'default 6' "$WORK/enter.dialog" || fail "&Yes is not the default button"

answer alt-y key:alt+y call 'C:\qv\QVInst98.dll' UninstInitialize IsWinMe
printf 'UninstInitialize=0\nIsWinMe=0\n' | cmp -s - "$WORK/alt-y.out" || fail "alt+y: $(cat "$WORK/alt-y.out")"
expect_traced_answer alt-y 6

answer escape key:Escape call 'C:\qv\QVInst98.dll' UninstInitialize
expect_output escape UninstInitialize=-1
expect_traced_answer escape 7

answer click-no click:7 call 'C:\qv\QVInst98.dll' UninstInitialize
expect_output click-no UninstInitialize=-1
expect_traced_answer click-no 7

answer alt-f4 key:alt+F4 call 'C:\qv\QVInst98.dll' UninstInitialize
expect_output alt-f4 UninstInitialize=-1
expect_traced_answer alt-f4 2

answer close click:close call 'C:\qv\QVInst98.dll' UninstInitialize
expect_output close UninstInitialize=-1
expect_traced_answer close 2

# The platform layer's dialog answers as numbers.
answer yesno-escape key:Escape dialog yesno Information "$unplug"
expect_output yesno-escape answer=7
answer yesno-close click:close dialog yesno Information "$unplug"
expect_output yesno-close answer=2
answer ok-enter key:Return dialog ok Information "$restart"
expect_output ok-enter answer=1
answer ok-escape key:Escape dialog ok Information "$restart"
expect_output ok-escape answer=1
answer ok-close click:close dialog ok Information "$restart"
expect_output ok-close answer=2
answer ok-alt-f4 key:alt+F4 dialog ok Information "$restart"
expect_output ok-alt-f4 answer=2

# The restart advice after the uninstallation: the two driver database files
# are deleted first, a directory of the same name is not.
inf="$WINEPREFIX/drive_c/windows/inf"
echo data >"$inf/drvdata.bin"
mkdir -p "$inf/drvidx.bin"
answer restart key:Return call 'C:\qv\QVInst98.dll' UninstUnInitialize
expect_output restart UninstUnInitialize=0
expect_dialog restart "$restart" '1 OK'
grep -qx 'default 1' "$WORK/restart.dialog" || fail "OK is not the default button"
[ ! -e "$inf/drvdata.bin" ] || fail "drvdata.bin was not deleted"
[ -d "$inf/drvidx.bin" ] || fail "the directory drvidx.bin was deleted"
echo "ok: dialogs"

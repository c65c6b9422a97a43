# Shared by the tool's shell tests: counted checks over one run of the tool.
# The sourcing script sets $tool, $out and $err before its first run.
passed=0
failed=0
current=""

begin() { current=$1; }
ok() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL [$current]: $*"
}

# Runs the tool with the given arguments; its status is in $status.
run() {
  "$tool" "$@" >"$out" 2>"$err"
  status=$?
}

expect_status() {
  if [ "$status" -eq "$1" ]; then ok; else fail "exit status $status, expected $1; stderr: $(head -c 300 "$err")"; fi
}

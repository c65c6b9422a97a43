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

# A registry image as a sorted list of "[key]" and "[key] value" lines: the
# same keys with the same values, in any order, give the same list.
canonical() {
  tr -d '\r' <"$1" |
    awk '# hex data continued over several lines becomes one line
      acc != "" { sub(/^ +/, ""); $0 = acc $0; acc = "" }
      /\\$/ { sub(/\\$/, ""); acc = $0; next }
      { print }' |
    awk '/^;/ || /^$/ || /^REGEDIT4$/ || /^Windows Registry Editor/ { next }
      /^\[/ { key = $0; print key; next }
      { print key " " $0 }' |
    LC_ALL=C sort
}

# The image tests' checks of the captured $out and $err.
expect_out() {
  if grep -qxF -- "$1" "$out"; then ok; else fail "no line '$1' in: $(head -c 300 "$out")"; fi
}
expect_no_out() {
  if grep -q -- "$1" "$out"; then fail "unexpected '$1' in: $(head -c 300 "$out")"; else ok; fi
}
expect_one_line_error() {
  if [ "$(wc -l <"$err")" -eq 1 ] && grep -q -- "$1" "$err"; then ok; else
    fail "expected one line with '$1' on stderr, got: $(head -c 300 "$err")"
  fi
}
same_file() {
  if cmp -s "$1" "$2"; then ok; else fail "$1 and $2 differ"; fi
}

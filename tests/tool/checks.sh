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

# The safety rules that every kind of image keeps, one table run over each
# kind. The caller sets:
#   safety_load      the options that load the image (an array)
#   safety_dir       the folder that holds the image, and nothing else
#   safety_image     the image's name in it
#   safety_inside    a key the image holds, for the --import of every case
#   safety_rewrite   the option that writes the kind anew (--save-hive,
#                    --save-dat), empty for a text image
#   safety_outside   a key the image does not hold, and the start of its
#   safety_outside_error  refusal; empty when the image holds every key
#   safety_commits   yes when the kind takes --commit
# Every case is refused with exit 2 and one line, in a preview as in a
# commit, and nothing is written.
safety_cases() {
  local dir=$safety_dir image=$safety_image kinds options error mode
  local modes=("")
  [ "$safety_commits" = yes ] && modes+=(--commit)
  cp "$dir/$image" "$dir.kept"
  ln -s "$image" "$dir/link"
  printf 'REGEDIT4\r\n\r\n[%s\\QVSafety]\r\n"x"="1"\r\n' "$safety_inside" >"$dir/in.reg"
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n"QVRoot"="1"\r\n' >"$dir/root.reg"
  local before
  before=$(cd "$dir" && ls -A | sort)
  # kinds: all, binary (hive and CREG files), commit (--commit runs only).
  while read -r kinds options error; do
    [ "$kinds" = binary ] && [ -z "$safety_rewrite" ] && continue
    [ "$kinds" = commit ] && [ "$safety_commits" != yes ] && continue
    case $options in *@REWRITE*) [ -n "$safety_rewrite" ] || continue ;; esac
    options=${options//@D/$dir}
    options=${options//@IMAGE/$image}
    options=${options//@REWRITE/$safety_rewrite}
    for mode in "${modes[@]}"; do
      [ "$kinds" = commit ] && [ -z "$mode" ] && continue
      current="safety: $image ${options//$dir\//} $mode"
      # shellcheck disable=SC2086
      run "${safety_load[@]}" --import "$dir/in.reg" ${options//,/ } $mode RemoveAuxDevices
      expect_status 2
      expect_one_line_error "$error"
      expect_no_out "RemoveAuxDevices"
    done
  done <<'TABLE'
all     --undo,@D/@IMAGE                  names an input\|never replaces
all     --undo,@D/link                    names an input\|never replaces
binary  --save,@D/@IMAGE                  never replaces
binary  --save,@D/link                    never replaces
all     --save,@D/in.reg                  names an input
all     --undo,@D/in.reg                  names an input
all     --save,@D/x.reg,--undo,@D/x.reg   name one file
all     @REWRITE,@D/@IMAGE                itself
all     @REWRITE,@D/link                  itself
all     @REWRITE,@D/in.reg                names an input
all     @REWRITE,@D/x,--undo,@D/x         name one file
all     @REWRITE,@D/x,--save,@D/x         name one file
commit  --backup,@D/link                  names an input
commit  --backup,@D/in.reg                names an input
commit  --backup,@D/x,--save,@D/x         name one file
commit  --backup,@D/x,--undo,@D/x         name one file
TABLE
  # Values on HKEY_LOCAL_MACHINE itself, which no binary file holds (a hive
  # is mounted below it): refused by name, in a preview as in a commit.
  if [ -n "$safety_rewrite" ]; then
    for mode in "${modes[@]}"; do
      current="safety: $image, values on the root $mode"
      run "${safety_load[@]}" --import "$dir/in.reg" --import "$dir/root.reg" $mode RemoveAuxDevices
      expect_status 2
      expect_one_line_error "HKEY_LOCAL_MACHINE \(itself cannot be kept\|is not in a loaded hive\)"
    done
  fi
  # The image rewritten in place at its size between reading and writing, as
  # Windows and other tools do: the check under the lock sees it before any
  # name is taken.
  if [ -n "$safety_rewrite" ]; then
    for write in "$safety_rewrite,$dir/new" --commit; do
      current="safety: $image changed at its size since it was read, ${write//$dir\//}"
      rm -f "$dir.go" "$dir.go.paused"
      # shellcheck disable=SC2086
      QVINST98_TEST_PAUSE="recheck:$dir.go" "$tool" "${safety_load[@]}" --import "$dir/in.reg" \
        ${write//,/ } RemoveAuxDevices >"$out" 2>"$err" &
      local run=$! waited=0
      while [ ! -e "$dir.go.paused" ] && [ $waited -lt 600 ] && kill -0 $run 2>/dev/null; do
        sleep 0.05
        waited=$((waited + 1))
      done
      printf 'Q' | dd of="$dir/$image" bs=1 seek=$(($(stat -c %s "$dir.kept") - 1)) conv=notrunc \
        status=none
      touch "$dir.go"
      wait $run
      status=$?
      expect_status 2
      expect_one_line_error "changed since it was read"
      cp "$dir.kept" "$dir/$image"
    done
    rm -f "$dir.go" "$dir.go.paused"
  fi
  if [ -n "$safety_outside" ]; then
    printf 'REGEDIT4\r\n\r\n[%s\\QVSafety]\r\n"x"="1"\r\n' "$safety_outside" >"$dir.out.reg"
    for mode in "${modes[@]}"; do
      current="safety: $image, an import outside it $mode"
      run "${safety_load[@]}" --import "$dir.out.reg" $mode RemoveAuxDevices
      expect_status 2
      expect_one_line_error "${safety_outside//\\/\\\\}\\\\QVSafety $safety_outside_error"
    done
  fi
  # A failing write (a file-size limit of 1 KB, as a full disk) names the
  # file and the system's reason.
  current="safety: $image, a failing write"
  local write=(--save "$dir/new.reg")
  [ "$safety_commits" = yes ] && write=(--commit)
  (
    trap '' XFSZ
    ulimit -f 1
    exec "$tool" "${safety_load[@]}" --import "$dir/in.reg" "${write[@]}" RemoveAuxDevices
  ) >"$out" 2>"$err"
  status=$?
  expect_status 2
  expect_one_line_error "\(new.reg' \|$image: cannot .*\)(File too large)"
  current="safety: $image, nothing written"
  same_file "$dir.kept" "$dir/$image"
  [ "$(cd "$dir" && ls -A | sort)" = "$before" ] && ok ||
    fail "files written: $(cd "$dir" && ls -A | tr '\n' ' ')"
}

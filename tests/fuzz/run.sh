#!/usr/bin/env bash
# Runs a fuzz harness.
#   run.sh replay HARNESS_BIN NAME SOURCE_DIR
#       every committed regression input of NAME, once each
#   run.sh fuzz HARNESS_BIN NAME SOURCE_DIR SECONDS [FINDINGS_DIR]
#       a fuzzing session of SECONDS from the seed corpus; a finding is saved
#       in FINDINGS_DIR and fails the run
set -euo pipefail
mode=$1 bin=$2 name=$3 root=$4
here=$root/tests/fuzz
regressions=$here/regressions/$name

case "$mode" in
  replay)
    mapfile -t inputs < <(find "$regressions" -type f 2>/dev/null | sort)
    if [ ${#inputs[@]} -eq 0 ]; then
      echo "fuzz $name: no regression inputs yet"
      exit 0
    fi
    "$bin" -runs=1 "${inputs[@]}"
    echo "fuzz $name: ${#inputs[@]} regression inputs replayed"
    ;;
  fuzz)
    seconds=${5:-60}
    findings=${6:-$PWD/findings}
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/corpus" "$findings"
    # Seeds: the committed ones and, for whole runs, every sample machine
    # behind each byte that picks an export.
    cp "$here/corpus/$name"/* "$work/corpus/" 2>/dev/null || true
    for machine in "$root"/machines/*.reg; do
      base=$(basename "$machine" .reg)
      if [ "$name" = cleanup-run ]; then
        for pick in 0 1 2 3 4; do
          { printf "\\x$(printf %02x "$pick")"; cat "$machine"; } >"$work/corpus/$base-$pick"
        done
      else
        cp "$machine" "$work/corpus/$base.reg"
      fi
    done
    dict=()
    [ -f "$here/$name.dict" ] && dict=(-dict="$here/$name.dict")
    "$bin" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work/corpus" 2>&1 |
      grep -v "^#[0-9]*\s*\(NEW\|REDUCE\|pulse\)" || { echo "fuzz $name: finding saved in $findings" >&2; exit 1; }
    ;;
  *)
    echo "usage: run.sh replay|fuzz HARNESS_BIN NAME SOURCE_DIR [SECONDS [FINDINGS_DIR]]" >&2
    exit 2
    ;;
esac

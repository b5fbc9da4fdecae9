#!/bin/sh
# Runs libFuzzer targets for a while each and prints executions and coverage.
#   tools/fuzz.sh <fuzz build dir> <seconds per target> [target ...]
# Targets: scan subject extract readed (all when none is named).  The working
# corpus lives in <build>/corpus/<target>: it is seeded from fuzz/seeds, from
# examples/ and from the real mails in ../shared/realdata (read from there,
# never copied into the source tree), and keeps what earlier runs found.
# A crash leaves its input in <build>/artifacts/ and makes the status 1.
set -u
build=$(cd "$1" && pwd)  # absolute: a target may change directory
secs=$2
shift 2
[ $# -gt 0 ] || set -- scan subject extract readed
src=$(cd "$(dirname "$0")/.." && pwd)
realdata=$src/../shared/realdata/mail
mkdir -p "$build/artifacts"

seed_logs() {
  cp "$src"/fuzz/seeds/logs/* "$1"/ 2>/dev/null
  for f in "$src"/examples/*.log; do [ -f "$f" ] && cp "$f" "$1/example-$(basename "$f")"; done
  [ -d "$realdata" ] || return 0
  find "$realdata" -type f ! -name LICENSE -size -64k | while read -r f; do
    cp "$f" "$1/real-$(echo "$f" | cksum | cut -d' ' -f1)"
  done
}

seed_subjects() {
  cp "$src"/fuzz/seeds/subject/* "$1"/ 2>/dev/null
  [ -d "$realdata" ] || return 0
  # One input per real Subject: line; the first byte picks the shift state.
  find "$realdata" -type f ! -name LICENSE | while read -r f; do
    grep -a '^Subject:' "$f" | head -n 3
  done | while IFS= read -r line; do
    printf '0%s' "${line#Subject: }" >"$1/real-$(printf '%s' "$line" | cksum | cut -d' ' -f1)"
  done
}

status=0
for t in "$@"; do
  bin=$build/fuzz/${t}_fuzz
  if [ ! -x "$bin" ]; then
    echo "$t: $bin is not built" >&2
    status=1
    continue
  fi
  corpus=$build/corpus/$t
  mkdir -p "$corpus"
  case $t in
    scan | extract) seed_logs "$corpus"; maxlen=16384 ;;
    subject) seed_subjects "$corpus"; maxlen=4096 ;;
    readed) cp "$src"/fuzz/seeds/readed/* "$corpus"/ 2>/dev/null; maxlen=8192 ;;
  esac
  log=$build/fuzz-$t.log
  "$bin" -max_total_time="$secs" -max_len=$maxlen -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" "$corpus" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  units=$(ls "$corpus" | wc -l)
  echo "$t: ${secs}s executions=${execs:-?} coverage=${cov:-?} features=${ft:-?} corpus=$units status=$rc"
  if [ $rc -ne 0 ]; then
    grep -a -E 'ERROR|SUMMARY|check failed|runtime error|Test unit written' "$log" | head -n 20
    status=1
  fi
done
exit $status

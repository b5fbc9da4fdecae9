#!/bin/sh
# Whole-program timings on generated logs of three shapes, then a check that
# the scanner of BASE (a git revision) and the one built here make the same
# table of every log.  Usage: tools/bench.sh BUILD DIR RUNS BASE
set -eu
build=$1 dir=$2 runs=$3 base=$4

# name, then the generator's knobs: the log as the generator always made it;
# numbers spread over 300 rooms, a fifth of the titles in CR LF, parents from
# the last 2000 messages and an eighth news articles; a third news articles.
shapes='today:
spread:-m 300 -c 20 -p 2000 -a 70
news:-a 400'

logs=
echo "$shapes" | while IFS=: read -r name knobs; do
  for s in 100M 1G; do
    f=$dir/$name-$s.log
    [ "$name" = today ] && f=$dir/log-$s.log
    # shellcheck disable=SC2086
    [ -f "$f" ] || "$build/dulk_loggen" -s 1 $knobs $s "$f"
  done
done
[ -f "$dir/log-10M.log" ] || "$build/dulk_loggen" -s 1 10M "$dir/log-10M.log"

echo "$shapes" | while IFS=: read -r name knobs; do
  echo "== shape $name: ${knobs:-(no knobs)}"
  if [ "$name" = today ]; then
    "$build/dulk_benchrun" "$build/dulk" "$runs" "$dir/log-10M.log" "$dir/log-100M.log" "$dir/log-1G.log"
  else
    "$build/dulk_benchrun" "$build/dulk" "$runs" "$dir/$name-100M.log" "$dir/$name-1G.log"
  fi
done

# The scanner of BASE, built beside this tree's dump tool.
rev=$(git rev-parse --verify -q "$base^{commit}" || true)
if [ -z "$rev" ]; then
  echo "no revision $base: differential check skipped"
  exit 0
fi
old=$dir/base-$rev
if [ ! -x "$old/dulk_scandump" ]; then
  rm -rf "$old" && mkdir -p "$old"
  git archive "$rev" src | tar -x -C "$old"
  rm -f "$old/src/main.cpp"
  ${CXX:-g++} -std=c++20 -O2 -I"$old/src" "$old"/src/*.cpp bench/scandump.cpp -lncurses \
    -o "$old/dulk_scandump.part" && mv "$old/dulk_scandump.part" "$old/dulk_scandump"
fi
echo "== differential check against $base ($rev)"
status=0
for f in "$dir"/log-100M.log "$dir"/log-1G.log "$dir"/spread-*.log "$dir"/news-*.log; do
  a=$("$old/dulk_scandump" "$f")
  b=$("$build/dulk_scandump" "$f")
  if [ "$a" = "$b" ]; then
    echo "same   $(basename "$f"): $b"
  else
    echo "DIFFER $(basename "$f"):"; echo "  $base: $a"; echo "  here: $b"; status=1
  fi
done
exit $status

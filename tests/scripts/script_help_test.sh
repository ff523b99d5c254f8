#!/usr/bin/env bash
# Every script of scripts/ and bench/run_* answers -h and --help with its usage
# and status 0 within a second, and refuses an option it does not know, or a
# word past those it takes, with status 2; neither answer installs, builds or
# starts anything. The programs a
# script would start first (cmake, apt-get, sudo, dpkg-query, node, taskset,
# Xvfb …) are stand-ins on PATH here that write down that they were called.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
for tool in cmake ninja apt-get sudo dpkg-query node npm taskset Xvfb chromium make gcc g++ clang; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/called"\nexit 1\n' "$tool" "$work" >"$work/bin/$tool"
  chmod +x "$work/bin/$tool"
done
export PATH="$work/bin:$PATH" MORVANE_BUILD_DIR="$work/no-build"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

scripts=("$source_dir/scripts/run" "$source_dir/scripts/setup" "$source_dir/scripts/test")
for script in "$source_dir"/bench/run_*; do scripts+=("$script"); done
[ ${#scripts[@]} -ge 14 ] || fail "only ${#scripts[@]} scripts found"

for script in "${scripts[@]}"; do
  name=${script#"$source_dir/"}
  for ask in --help -h; do
    start=$(date +%s%N)
    status=0
    timeout 10 "$script" "$ask" >"$work/out" 2>"$work/err" || status=$?
    elapsed=$((($(date +%s%N) - start) / 1000000))
    [ "$status" = 0 ] || fail "$name $ask: status $status: $(cat "$work/err")"
    head -1 "$work/out" | grep -q "^usage: $name\b" || fail "$name $ask: no usage line: $(head -1 "$work/out")"
    [ "$(wc -l <"$work/out")" -le 12 ] || fail "$name $ask: the usage is longer than 12 lines"
    [ ! -s "$work/err" ] || fail "$name $ask: wrote to standard error: $(cat "$work/err")"
    [ "$elapsed" -lt 1000 ] || fail "$name $ask: answered after $elapsed ms"
  done
  status=0
  timeout 10 "$script" --no-such-option >"$work/out" 2>"$work/err" || status=$?
  [ "$status" = 2 ] || fail "$name --no-such-option: status $status"
  grep -q "unknown option --no-such-option" "$work/err" || fail "$name --no-such-option: not said: $(cat "$work/err")"
  # A word without a dash ("help"), past the words the script takes.
  extra=$(sed -n 's/^words=\([0-9]*\)$/\1/p' "$script")
  set -- help
  for ((i = 0; i < ${extra:-0}; i++)); do set -- 1 "$@"; done
  status=0
  timeout 10 "$script" "$@" >"$work/out" 2>"$work/err" || status=$?
  [ "$status" = 2 ] || fail "$name $*: status $status"
  grep -q "unknown word help" "$work/err" || fail "$name $*: not said: $(cat "$work/err")"
  grep -q "^usage: $name\b" "$work/err" || fail "$name $*: no usage: $(cat "$work/err")"
done
# An option that takes a value, given before -h, is no reason to start.
status=0
timeout 10 "$source_dir/bench/run_exit_soak" --rounds 3 -h >"$work/out" 2>&1 || status=$?
[ "$status" = 0 ] && head -1 "$work/out" | grep -q '^usage: ' || fail "run_exit_soak --rounds 3 -h: status $status"

if [ -s "$work/called" ]; then
  fail "the scripts started programs while answering:"
  cat "$work/called"
fi
[ "$failures" = 0 ] || exit 1
echo "${#scripts[@]} scripts answer --help and -h and refuse an unknown option"

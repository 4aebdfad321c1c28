#!/usr/bin/env bash
# Builds every fuzz target with clang's libFuzzer (in build-fuzz/) and runs each for the given
# number of seconds from its seeds. A crash fails the run and leaves its input in
# build-fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=$(nproc)
werror=OFF
[ "${CI:-}" = true ] && werror=ON  # warnings fail CI here as in the main build
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DQUARLO_FUZZ=ON -DBUILD_TESTING=OFF \
  -DQUARLO_WERROR="$werror" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
cmake --build "$dir" --target fuzz_all -j "$jobs"
status=0
while read -r name; do
  [ -n "$name" ] || continue
  corpus="$dir/corpus/$name"
  findings="$dir/findings/$name"
  mkdir -p "$corpus" "$findings"
  cp -n fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
  echo "fuzz $name: ${seconds}s"
  if ! "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$findings/" -print_final_stats=0 "$corpus" >"$dir/fuzz_$name.log" 2>&1; then
    echo "fuzz $name FAILED; see $dir/fuzz_$name.log and $findings/"
    tail -n 30 "$dir/fuzz_$name.log"
    status=1
  fi
done < "$dir/fuzz_targets.txt"
exit $status

#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the decoding core (clang, ASan + UBSan) and
# runs every target in turn for the given time, one core at a time.
# Usage: scripts/fuzz.sh [seconds-per-target]        (default 60)
# Environment: BUILD_DIR (build/fuzz), TARGETS (all five), CXX (clang++),
# FUZZ_FLAGS (more libFuzzer flags, e.g. "-use_value_profile=1 -max_len=16384").
# Everything it writes is under fuzz/out/ (git-ignored): seeds/ (regenerated
# each run), corpus/<target>/ (kept between runs, grows), artifacts/<target>/
# (inputs that crashed, hung, leaked or ran out of memory), logs/.
# Exits non-zero when a run left a new artifact; replay one with
#   build/fuzz/fuzz/fuzz_<target> fuzz/out/artifacts/<target>/<file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build_dir=${BUILD_DIR:-build/fuzz}
read -r -a targets <<<"${TARGETS:-replay frame_text life_bar debug_text block encode windows}"
read -r -a extra_flags <<<"${FUZZ_FLAGS:-}"
out=fuzz/out

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKADENZO_FUZZ=ON -DKADENZO_BUILD_EXTENSION=OFF \
  -DKADENZO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}"

rm -rf "$out/seeds"
python3 fuzz/make_corpus.py "$out/seeds"
mkdir -p "$out/logs"

status=0
summary=()
for target in "${targets[@]}"; do
  mkdir -p "$out/corpus/$target" "$out/artifacts/$target"
  before=$(find "$out/artifacts/$target" -type f | wc -l)
  log="$out/logs/$target.log"
  echo "fuzz: $target for ${seconds}s (log: $log)"
  # Fork mode with one job: a finding is saved and fuzzing goes on, so one
  # run reports every distinct fault it meets, not just the first. The decoder
  # may legitimately expand a tiny block to 256 MiB of text, well below the
  # memory limit; a stop (bad input) is caught by the harness.
  "$build_dir/fuzz/fuzz_$target" "$out/corpus/$target" "$out/seeds/$target" \
    -dict=fuzz/replay.dict -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
    -artifact_prefix="$out/artifacts/$target/" "${extra_flags[@]}" >"$log" 2>&1 || true
  after=$(find "$out/artifacts/$target" -type f | wc -l)
  # Fork mode prints "#<executions>: cov: ..." as it goes; the last one counts.
  executions=$(grep -oE '^#[0-9]+: cov' "$log" | tail -1 | tr -dc '0-9')
  new=$((after - before))
  summary+=("$target: ${executions:-0} executions, $new new artifacts")
  if [ "$new" -gt 0 ]; then status=1; fi
done

printf 'fuzz: %s\n' "${summary[@]}"
exit "$status"

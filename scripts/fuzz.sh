#!/usr/bin/env bash
# Builds the libFuzzer programs (fuzz preset: clang, address and undefined-
# behaviour sanitizers) and runs each target for SECONDS (default 60), one
# after the other on one core, seeded from fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# New inputs collect in build-fuzz/corpus/<target>/. An input that crashes a
# target or breaks one of its properties is copied to fuzz/regressions/<target>/,
# which the normal test run replays (korvel_fuzz_tests).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true

# Only fuzzing needs clang and its runtime, so the normal install stays lean.
missing=()
for p in clang-14 libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake --preset fuzz "${launcher[@]}" >/dev/null

targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in fuzz/targets/*_target.cpp; do
    name=$(basename "$source" _target.cpp)
    targets+=("$name")
  done
fi
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzzer}"

summary=()
status=0
total=0
for name in "${targets[@]}"; do
  work=build-fuzz/corpus/$name
  artifacts=build-fuzz/artifacts/$name
  log=build-fuzz/$name.log
  mkdir -p "$work" "$artifacts"
  dictionary=()
  [[ -f fuzz/dictionaries/$name.dict ]] && dictionary=(-dict=fuzz/dictionaries/"$name".dict)
  echo "== $name: ${seconds}s"
  set +e
  build-fuzz/bin/"${name}"_fuzzer -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "${dictionary[@]}" \
    -artifact_prefix="$artifacts/" "$work" fuzz/corpus/"$name" >"$log" 2>&1
  result=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
  runs=${runs:-0}
  total=$((total + runs))
  found=0
  for input in "$artifacts"/*; do
    [[ -f "$input" ]] || continue
    mkdir -p fuzz/regressions/"$name"
    cp "$input" fuzz/regressions/"$name"/"$(basename "$input")"
    rm "$input"
    found=$((found + 1))
  done
  verdict=clean
  if ((result != 0 || found > 0)); then
    verdict="FOUND $found (see $log)"
    status=1
    grep -m3 -E '^(==[0-9]+==ERROR|SUMMARY|[a-z_]+: )' "$log" || true
  fi
  summary+=("$(printf '%-16s %14s %10s  %s' "$name" "$runs" "${rate:-0}" "$verdict")")
done

printf '\n%-16s %14s %10s  %s\n' target inputs "exec/s" result
printf '%s\n' "${summary[@]}"
printf '%-16s %14s\n' total "$total"
exit $status

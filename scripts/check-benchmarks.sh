#!/usr/bin/env bash
# CI: builds the codec benchmark in release mode with warnings as errors and
# runs it briefly, so that it cannot rot; then runs bench/compare.sh quickly,
# with the corpus if there is one and without, to check it and the report.
# The timings mean nothing here; a full bench/compare.sh is the measurement.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ libbenchmark-dev liblz4-dev pkg-config

rm -rf build/bench
CXXFLAGS="${CXXFLAGS:-} -Werror" cmake --workflow --preset bench
# "all" is the corpus once over; "generated" stands in when there is no corpus.
build/bench/codec_bench --benchmark_min_time=0.01 --benchmark_filter='/(all|generated)$'

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
committed=$(cat docs/benchmarks*)
for corpus in "${TARVIX_CORPUS_DIR:-}" /nonexistent; do
  rm -rf "${out:?}"/*
  TARVIX_CORPUS_DIR=$corpus QUICK=1 OUT="$out/page" bench/compare.sh
  grep -q '^| \*\*tarvix\*\* | 0\.[0-9]* | [0-9,]* | [0-9,]* |' "$out/page/benchmarks.md" || {
    echo "check-benchmarks: no figures for tarvix in the page" >&2
    exit 1
  }
  grep -q '^| compress(), 1 thread | [0-9.]* | [0-9.]* | [0-9.]* | ≤ 1\.10 |' \
    "$out/page/benchmarks.md" || {
    echo "check-benchmarks: no figures for the Python module in the page" >&2
    exit 1
  }
  # The report again on the same results gives the same bytes, charts included.
  /usr/bin/python3 bench/report.py build/bench-quick-results "$out"
  for file in benchmarks.md benchmarks.svg benchmarks-threads.svg; do
    cmp "$out/page/$file" "$out/$file"
  done
done
if [ "$(cat docs/benchmarks*)" != "$committed" ]; then
  echo "check-benchmarks: QUICK=1 changed the committed page in docs/" >&2
  exit 1
fi

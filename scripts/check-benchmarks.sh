#!/usr/bin/env bash
# CI: builds the codec benchmark in release mode with warnings as errors and
# runs it briefly, so that it cannot rot. The timings mean nothing here;
# bench/compare.sh is the measurement.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ libbenchmark-dev liblz4-dev pkg-config

rm -rf build/bench
CXXFLAGS="${CXXFLAGS:-} -Werror" cmake --workflow --preset bench
# "all" is the corpus once over; "generated" stands in when there is no corpus.
build/bench/codec_bench --benchmark_min_time=0.01 --benchmark_filter='/(all|generated)$'

#!/usr/bin/env bash
# Runs the benchmarks against the build folder given as $1 (default: build). Benchmarks report
# figures and ratios against a peer measured in the same run; they never fail.
BUILD_DIR=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac
# QUARLO_BENCH_BASELINE=<another build folder>: each benchmark runs the service of that build,
# then this build's, one after the other with the same peers, for before/after figures.
if [ -n "$QUARLO_BENCH_BASELINE" ]; then
  for bench in download_bench http_bench relay_bench; do
    case $bench in
      download_bench) args=${QUARLO_BENCH_MIB:-1024} ;;
      http_bench) args=${QUARLO_BENCH_MIB:-1024} ;;
      relay_bench) args=${QUARLO_RELAY_BENCH_MIB:-64} ;;
    esac
    for side in "$QUARLO_BENCH_BASELINE" "$BUILD_DIR"; do
      echo "=== $bench, service of $side (load $(cut -d' ' -f1-3 /proc/loadavg))"
      QUARLO_BENCH_SERVICE_BUILD=$side "$BUILD_DIR/bench/$bench" $args || echo "$bench ended with status $?"
    done
  done
  exit 0
fi

BENCH="$BUILD_DIR/bench/download_bench"
if [ -x "$BENCH" ]; then
  "$BENCH" "${QUARLO_BENCH_MIB:-1024}" || echo "download benchmark ended with status $?"
else
  echo "download benchmark not built (tests disabled?): $BENCH"
fi
HTTP_BENCH="$BUILD_DIR/bench/http_bench"
if [ -x "$HTTP_BENCH" ]; then
  "$HTTP_BENCH" "${QUARLO_BENCH_MIB:-1024}" || echo "http benchmark ended with status $?"
else
  echo "http benchmark not built (tests disabled?): $HTTP_BENCH"
fi
FAIR_BENCH="$BUILD_DIR/bench/fair_bench"
if [ -x "$FAIR_BENCH" ]; then
  "$FAIR_BENCH" || echo "fairness benchmark ended with status $?"
else
  echo "fairness benchmark not built (tests disabled?): $FAIR_BENCH"
fi
PICTURE_BENCH="$BUILD_DIR/bench/picture_bench"
if [ -x "$PICTURE_BENCH" ]; then
  "$PICTURE_BENCH" "${QUARLO_BENCH_PHOTOS:-2000}" || echo "picture benchmark ended with status $?"
else
  echo "picture benchmark not built (tests disabled?): $PICTURE_BENCH"
fi
RELAY_BENCH="$BUILD_DIR/bench/relay_bench"
if [ -x "$RELAY_BENCH" ]; then
  "$RELAY_BENCH" "${QUARLO_RELAY_BENCH_MIB:-64}" || echo "relay benchmark ended with status $?"
else
  echo "relay benchmark not built (tests disabled?): $RELAY_BENCH"
fi
UDT_BENCH="$BUILD_DIR/bench/udt_bench"
if [ -x "$UDT_BENCH" ]; then
  "$UDT_BENCH" "${QUARLO_UDT_BENCH_MIB:-256}" || echo "udt benchmark ended with status $?"
else
  echo "udt benchmark not built (tests disabled?): $UDT_BENCH"
fi
exit 0

#!/usr/bin/env bash
# Runs the benchmarks against the build folder given as $1 (default: build). Benchmarks report
# figures and ratios against a peer measured in the same run; they never fail.
BUILD_DIR=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac

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

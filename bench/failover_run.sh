#!/usr/bin/env bash
# Failover run: the end-to-end failover test (tests/e2e/failover.sh) with the standby keys at
# their defaults (FailoverAfter=15, FailbackAfter=60): reports at 5 a second, the primary goes
# down, comes back and goes down again. Prints when the first event reached the standby after
# each failover, when events reached the primary again after its return, and the events lost
# (must be 0) and received twice.
#
#   bench/failover_run.sh [refuse|pause]   (builds build/ first; KESTREL_BUILD_DIR=<dir> uses
#                                           programs built there as they are)
#
# Not part of the test suite: it takes about five minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/run_support.sh
bench_programs
FAILOVER_AFTER=${FAILOVER_AFTER:-15} FAILBACK_AFTER=${FAILBACK_AFTER:-60} KESTREL_BUILD_DIR=$BUILD \
  bash tests/e2e/failover.sh "${1:-refuse}"

#!/usr/bin/env bash
# Runs a command while every core of this machine is kept busy, the way other work on a shared
# machine keeps it: one `yes > /dev/null` loop per core, each in a session of its own (as another
# developer's build would be), started before the command and stopped after it, also when the
# command fails or this script is interrupted. With --runs N the command runs N times in a row
# under that load, with no retry: each run's result and time are printed, and the first failure
# ends the series with the command's exit status.
#
# Usage: scripts/busy.sh [--runs N] [--loops N] command [arguments...]
#   --runs N    run the command N times (default 1)
#   --loops N   busy loops to start (default: one per core)
# For example, the test command and the sanitizer phases of CI, ctest at twice the cores:
#   scripts/busy.sh --runs 5 scripts/test.sh default -j16
#   QM_CTEST_JOBS=16 scripts/busy.sh --runs 5 .ci/run asan tsan
set -uo pipefail
cd "$(dirname "$0")/.."

runs=1
loops=$(nproc)
while [[ $# -gt 0 ]]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --loops) loops="$2"; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
if [[ $# -eq 0 ]]; then
  echo "usage: scripts/busy.sh [--runs N] [--loops N] command [arguments...]" >&2
  exit 2
fi

pids=()
stop_loops() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  pids=()
}
trap stop_loops EXIT
trap 'exit 130' INT TERM

for _ in $(seq "$loops"); do
  setsid yes > /dev/null &
  pids+=("$!")
done
echo "busy: $loops loops running (load average $(cut -d' ' -f1-3 /proc/loadavg))"

status=0
for run in $(seq "$runs"); do
  start=$(date +%s)
  "$@"
  status=$?
  took=$(( $(date +%s) - start ))
  if [[ $status -eq 0 ]]; then
    echo "busy: run $run of $runs passed in ${took} s (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  else
    echo "busy: run $run of $runs failed with status $status after ${took} s"
    break
  fi
done
exit "$status"

#!/bin/bash
# Runs bench/pipe_load.cpp against the installed service under Wine and reads the service's
# threads and memory from the Linux side (/proc/PID/status) whenever the program asks.
#
# Usage: bench/service_load.sh [BUILD_DIR] -- flood 500
#        bench/service_load.sh [BUILD_DIR] -- latency [--requests 100]   # no load
#        bench/service_load.sh [BUILD_DIR] -- latency --silent 8          # 8 silent reconnecting clients
#        bench/service_load.sh [BUILD_DIR] -- latency --slow 50           # 50 slow ones
#        bench/service_load.sh [BUILD_DIR] -- latency --fat 6             # 6 fat pausers
#        bench/service_load.sh [BUILD_DIR] -- latency --non-readers 20    # 20 non-readers, end of stream
#        bench/service_load.sh [BUILD_DIR] -- idle 20 [--minimal]
# A latency run prints the median and worst time to the answer and to the end of the stream.
# Each sample shows the service's threads, its resident memory, and its wake-ups per second
# since the previous sample: voluntary context switches of all its threads, each of which is a
# thread going back to sleep after it woke.
# BUILD_DIR defaults to build/windows, which must hold pipe_load.exe (cmake --build --preset
# windows --target pipe_load).
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
build=$source_dir/build/windows
if (($# > 0)) && [[ $1 != -- ]]; then
  build=$(cd "$1" && pwd -P)
  shift
fi
[[ ${1:-} == -- ]] && shift
prefix=$build/wine/prefix

# The service's Unix process: a Wine process of this prefix running redevuva_service.exe.
service_pid() {
  local pid
  for pid in $(pgrep -f 'redevuva_service\.exe' || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
      echo "$pid"
      return 0
    fi
  done
}

# "TID COUNT" for every thread of process $1: its voluntary context switches.
switches() {
  local task
  for task in /proc/"$1"/task/*; do
    # A thread may end between the listing and the read (extra keepers do).
    awk -v tid="${task##*/}" '/^voluntary_ctxt_switches:/ {print tid, $2}' "$task/status" 2>/dev/null || true
  done
}

# Wake-ups between two switches() listings ($1, $2): the growth of the threads present in both,
# and all of a thread that started in between.
wakeups_between() {
  awk 'NR == FNR {before[$1] = $2; next} {n += $2 - ($1 in before ? before[$1] : 0)} END {print n + 0}' \
    <(echo "$1") <(echo "$2")
}

last_switches=
last_time=
"$source_dir/cmake/wine-run" "$build/wine" "$build/bin/pipe_load.exe" "$@" 2>&1 |
  while IFS= read -r line; do
    line=${line%$'\r'}
    if [[ $line == "sample "* ]]; then
      pid=$(service_pid)
      if [[ -n $pid ]]; then
        threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")
        rss=$(awk '/^VmRSS:/ {printf "%.1f", $2 / 1024}' "/proc/$pid/status")
        now_switches=$(switches "$pid")
        now_time=$(date +%s.%N)
        rate=
        if [[ -n $last_switches ]]; then
          woke=$(wakeups_between "$last_switches" "$now_switches")
          rate=$(awk -v n="$woke" -v s="$last_time" -v t="$now_time" \
            'BEGIN {printf ", %.2f wake-ups/s since the last sample", n / (t - s)}')
        fi
        last_switches=$now_switches
        last_time=$now_time
        printf '%-16s service threads %4s, resident %7s MiB%s\n' "${line#sample }" "$threads" "$rss" "$rate"
      else
        printf '%-16s (service process not found)\n' "${line#sample }"
      fi
    else
      echo "$line"
    fi
  done

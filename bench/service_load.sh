#!/bin/bash
# Runs bench/pipe_load.cpp against the installed service under Wine and reads the service's
# threads and memory from the Linux side (/proc/PID/status) whenever the program asks.
#
# Usage: bench/service_load.sh [BUILD_DIR] -- flood 500
#        bench/service_load.sh [BUILD_DIR] -- latency --silent 8 [--requests 100]
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

"$source_dir/cmake/wine-run" "$build/wine" "$build/bin/pipe_load.exe" "$@" 2>&1 |
  while IFS= read -r line; do
    line=${line%$'\r'}
    if [[ $line == "sample "* ]]; then
      pid=$(service_pid)
      if [[ -n $pid ]]; then
        threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")
        rss=$(awk '/^VmRSS:/ {printf "%.1f", $2 / 1024}' "/proc/$pid/status")
        printf '%-16s service threads %4s, resident %7s MiB\n' "${line#sample }" "$threads" "$rss"
      else
        printf '%-16s (service process not found)\n' "${line#sample }"
      fi
    else
      echo "$line"
    fi
  done

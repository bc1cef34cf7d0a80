#!/usr/bin/env bash
# Writes a seed corpus for fuzz/server_name_fuzzer from freshly generated ClientHellos (OpenSSL
# clients over memory BIOs, plus hand-made shapes). Nothing is checked in; run it before fuzzing.
#   scripts/make-tls-seeds.sh [corpus directory] [build directory]
# Then, with the fuzz preset built:
#   build/fuzz/fuzz/server_name_fuzzer -max_total_time=60 <corpus directory>
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
corpus=${1:-$root/build/tls-seeds/corpus}
build=${2:-$root/build/tls-seeds}

if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  echo "make-tls-seeds: cmake and ninja are needed (scripts/install-deps.sh)" >&2
  exit 1
fi
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLNEST_TESTS=ON >/dev/null
fi
ninja -C "$build" -j2 make_tls_seeds >/dev/null
"$build/tests/tls/make_tls_seeds" "$corpus"

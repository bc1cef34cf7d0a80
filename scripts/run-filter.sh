#!/usr/bin/env bash
# Installs what the filter needs, builds it, and runs it in the foreground on this machine with the
# example rules (Ctrl-C stops it and removes its firewall chains). Extra arguments go to `run`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target quillnest-filter
rules=/etc/quillnest/filter-rules.json
if [[ ! -f $rules ]]; then
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO install -d -m 0755 -o root -g root /etc/quillnest
  $SUDO install -m 0644 -o root -g root packaging/filter-rules.example.json "$rules"
  echo "installed the example rules as $rules"
fi
SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
exec $SUDO build/release/app/quillnest-filter run --rules "$rules" "$@"

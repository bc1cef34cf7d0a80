#!/usr/bin/env bash
# Says which Debian package is missing for the build and the test suite, before a build fails on it
# half-way. Exit 0 when everything is there, 1 otherwise (one line per missing package).
#   scripts/check-prereqs.sh [--tests]
set -uo pipefail
missing=()
need_cmd() { command -v "$1" >/dev/null 2>&1 || missing+=("$2 (no '$1' command)"); }
need_file() { compgen -G "$1" >/dev/null || missing+=("$2 (no $1)"); }
need_pc() { pkg-config --exists "$1" 2>/dev/null || missing+=("$2 (pkg-config finds no $1)"); }

need_cmd cmake cmake
need_cmd ninja ninja-build
need_cmd g++ build-essential
need_cmd clang++ clang
need_cmd pkg-config pkg-config
need_file '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.a' libclang-rt-14-dev
need_file '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' libfuzzer-14-dev
need_file /usr/include/gtest/gtest.h libgtest-dev
need_file /usr/include/gmock/gmock.h libgmock-dev
need_file /usr/include/benchmark/benchmark.h libbenchmark-dev
need_file /usr/include/simdjson.h libsimdjson-dev
need_file /usr/include/CLI/CLI.hpp libcli11-dev
need_file /usr/include/http_parser.h libhttp-parser-dev
need_pc libnghttp2 libnghttp2-dev
need_pc libutf8proc libutf8proc-dev
need_pc openssl libssl-dev
need_pc libidn2 libidn2-dev
need_pc libcurl libcurl4-openssl-dev
need_pc libnetfilter_queue libnetfilter-queue-dev
need_pc libnetfilter_conntrack libnetfilter-conntrack-dev
need_pc libmnl libmnl-dev
need_pc libpcap libpcap-dev
need_pc libndpi libndpi-dev
need_cmd ndpiReader libndpi-bin
need_pc ldns libldns-dev
for tool in iptables:iptables ip:iproute2 conntrack:conntrack tcpdump:tcpdump curl:curl \
  openssl:openssl gnutls-cli:gnutls-bin python3:python3 pgrep:procps killall:psmisc; do
  need_cmd "${tool%%:*}" "${tool#*:}"
done
if [[ ${1:-} == --tests ]]; then
  need_cmd chromium chromium
  need_file '/usr/share/fonts/truetype/liberation/*.ttf' fonts-liberation
  need_cmd nghttpd nghttp2-server
  need_cmd valgrind valgrind
fi

if ((${#missing[@]})); then
  echo "missing packages (scripts/install-deps.sh installs them):" >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi

#!/usr/bin/env bash
# Installs every Debian 12 package the build and the filter use; with --tests also the clients
# and tools only the test suite drives (a browser, an HTTP/2 server, valgrind).
#   scripts/install-deps.sh [--tests]
set -euo pipefail
TEST_PACKAGES=()
if [[ ${1:-} == --tests ]]; then
  TEST_PACKAGES=(chromium fonts-liberation nghttp2-server valgrind)
fi
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev libfuzzer-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libsimdjson-dev libutf8proc-dev libssl-dev libidn2-dev libcurl4-openssl-dev \
  libnetfilter-queue-dev libnetfilter-conntrack-dev libmnl-dev libcli11-dev \
  libpcap-dev libhttp-parser-dev libnghttp2-dev libndpi-dev libndpi-bin libldns-dev \
  iptables iproute2 conntrack tcpdump curl openssl gnutls-bin python3 procps psmisc \
  "${TEST_PACKAGES[@]}" >/dev/null

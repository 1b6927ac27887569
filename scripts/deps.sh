#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [--server] [extra-package ...]
#   --server: only what the server itself needs (a C++ compiler, CMake and
#   Ninja); without it, also what the tools and the tests need.
# Extras for CI only: chromium (the status page's browser test, with a
# font for Japanese names), prometheus (for promtool) and haproxy (the test
# of the lobby behind a proxy). Chromium and prometheus come without their
# recommended packages: the browser needs no sandbox helper or desktop
# services headless, and promtool no node exporter.
set -euo pipefail

need=()
bare=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
if [ "${1:-}" = --server ]; then
  shift
else
  command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  # JSON for lobbyctl, the exporter and the tests; HTTP for the exporter.
  [ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
  [ -f /usr/include/httplib.h ] || need+=(libcpp-httplib-dev)
  # ss, for what the kernel holds for the lobby's sockets (tests, soak).
  command -v ss >/dev/null 2>&1 || need+=(iproute2)
fi
for extra in "$@"; do
  case "$extra" in
    clang) command -v clang++ >/dev/null 2>&1 || need+=(clang) ;;
    systemd) command -v systemd-analyze >/dev/null 2>&1 || need+=(systemd) ;;
    chromium) command -v chromium >/dev/null 2>&1 || bare+=(chromium fonts-ipafont-gothic) ;;
    prometheus) command -v promtool >/dev/null 2>&1 || bare+=(prometheus) ;;
    haproxy) [ -x /usr/sbin/haproxy ] || need+=(haproxy) ;;
    *) dpkg -s "$extra" >/dev/null 2>&1 || need+=("$extra") ;;
  esac
done

if [ $((${#need[@]} + ${#bare[@]})) -gt 0 ]; then
  echo "Installing missing packages: ${need[*]} ${bare[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Run as root (or install them yourself): apt-get install ${need[*]} ${bare[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Another install on the machine may hold the lock for a while.
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  if [ ${#need[@]} -gt 0 ]; then
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${need[@]}"
  fi
  if [ ${#bare[@]} -gt 0 ]; then
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${bare[@]}"
  fi
fi

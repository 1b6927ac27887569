#!/usr/bin/env bash
# Checks the shipped alert rules with Prometheus's own tool: that they load
# (promtool check rules) and that each alert fires where it should and
# stays silent where it should not, on series written by hand (promtool
# test rules). Installs Debian's prometheus package for promtool when it
# is missing; CI runs this.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/deps.sh" prometheus
promtool check rules "$root/packaging/prometheus/lobby-alerts.yml"
promtool test rules "$root/tests/prometheus/lobby_alerts_test.yml"

#!/usr/bin/env bash
# Builds the Debian package and checks it as CI does: lintian finds no
# error and no warning in it, its contents, the template unit as systemd
# would load an instance of it, an install with dpkg -i (maintainer
# scripts included, without a running systemd), the installed server's
# --version, and the removal. Run as root on a machine where the package
# may be installed and removed again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/deps.sh" systemd lintian

package="$(bash "$root/scripts/package.sh" | tail -n 1)"
echo "package: $package"
version="$(sed -n 's/^project(lobby_server VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
latest="$(dpkg-deb --fsys-tarfile "$package" |
  tar -xOf - ./usr/share/doc/lobby-server/changelog.gz | zcat | head -n 1)"
[[ "$latest" == "lobby-server ($version) "* ]] ||
  { echo "the changelog's last entry is not version $version: $latest" >&2; exit 1; }

# Every tag lintian has, shown; an error or a warning fails the check.
lintian --display-info --fail-on error,warning "$package" ||
  { echo "lintian finds errors or warnings in the package (above)" >&2; exit 1; }
contents="$(dpkg-deb -c "$package" | awk '{print $6}')"
expected=(
  ./usr/bin/lobby_server ./usr/bin/lobby_client ./usr/bin/upstream_listen
  ./usr/share/man/man1/lobby_server.1.gz ./usr/share/man/man1/lobby_client.1.gz
  ./usr/share/man/man1/upstream_listen.1.gz
  ./lib/systemd/system/lobby-server@.service ./etc/logrotate.d/lobby-server
  ./usr/share/doc/lobby-server/README.md ./usr/share/doc/lobby-server/deploy.md
  ./usr/share/doc/lobby-server/copyright ./usr/share/doc/lobby-server/changelog.gz
  ./usr/share/doc/lobby-server/examples/dorvik.txt
)
# The operator tools go in once they are built.
build="$root/build-release"
[ -x "$build/lobbyctl" ] && expected+=(./usr/bin/lobbyctl ./usr/share/man/man1/lobbyctl.1.gz)
[ -x "$build/lobby_exporter" ] &&
  expected+=(./usr/bin/lobby_exporter ./usr/share/man/man1/lobby_exporter.1.gz
    ./lib/systemd/system/lobby-exporter.service
    ./usr/share/lobby-server/prometheus/lobby-alerts.yml
    ./usr/share/lobby-server/grafana/lobby-dashboard.json)
for path in "${expected[@]}"; do
  grep -qx -- "$path" <<<"$contents" || { echo "missing from the package: $path" >&2; exit 1; }
done
if grep -v -e '^\./usr/' -e '^\./lib/systemd/system/' -e '^\./etc/logrotate\.d/' \
     -e '^\./$' -e '^\./etc/$' -e '^\./lib/$' -e '^\./lib/systemd/$' <<<"$contents"; then
  echo "the package installs outside /usr, the unit directory and logrotate.d (above)" >&2
  exit 1
fi

dpkg -i "$package"
# Whatever happens next, the package does not stay installed.
trap 'dpkg -r lobby-server >/dev/null 2>&1 || true' EXIT
units=(lobby-server@ci.service)
[ -f /lib/systemd/system/lobby-exporter.service ] && units+=(lobby-exporter.service)
systemd-analyze verify --man=no "${units[@]}"
# The version, and the commit of these sources (with -dirty when they were
# changed since it was made).
said="$(/usr/bin/lobby_server --version)"
commit="unknown"
if head="$(git -C "$root" rev-parse --short=12 HEAD 2>/dev/null)"; then
  commit="$head"
  [ -z "$(git -C "$root" status --porcelain --untracked-files=no)" ] || commit="$head-dirty"
fi
[ "$said" = "$(printf 'lobby_server %s\ncommit %s' "$version" "$commit")" ] ||
  { echo "installed server says: $said" >&2; exit 1; }
getent passwd lobby-server >/dev/null || { echo "no lobby-server user" >&2; exit 1; }
getent group lobby-admin >/dev/null || { echo "no lobby-admin group" >&2; exit 1; }
[ "$(stat -c %U /var/lib/lobby-server)" = lobby-server ] ||
  { echo "/var/lib/lobby-server is not the lobby-server user's" >&2; exit 1; }
dpkg -r lobby-server
trap - EXIT
[ ! -e /usr/bin/lobby_server ] || { echo "lobby_server still there after dpkg -r" >&2; exit 1; }
echo "package checked: $(basename "$package") ($(wc -l <<<"$contents") entries; verified ${units[*]})"

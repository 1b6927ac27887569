#!/usr/bin/env bash
# Builds a release build in build-release/ and the Debian package
# lobby-server from it with CPack. Installs what it needs when missing.
# The package's path is the last line of the output.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# dpkg-dev: dpkg-shlibdeps, which finds the libraries the package depends on.
bash "$root/scripts/deps.sh" dpkg-dev

dir="$root/build-release"
# Hardened as distributions build (the default on Linux, asked for here
# all the same); CPack strips the programs.
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLOBBY_TESTS=OFF \
  -DLOBBY_HARDENING=ON >/dev/null
cmake --build "$dir"
rm -f "$dir"/lobby-server_*.deb
(cd "$dir" && cpack -G DEB) >&2
package="$(ls "$dir"/lobby-server_*.deb)"
echo "$package"

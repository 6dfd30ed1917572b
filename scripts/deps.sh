#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tools need, when any is missing.
# Packages named as arguments are installed as well (tools that only some scripts need).
set -euo pipefail
pkgs=("$@" cmake g++ make pkg-config libgtk2.0-dev libglade2-dev libglib2.0-dev libjson-glib-dev libgit2-dev libcairo2-dev gettext
      libgtest-dev xvfb xauth xfonts-base python3 clang-format
      dpkg-dev file ser2net poppler-utils)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

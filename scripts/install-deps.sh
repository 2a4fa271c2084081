#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only those that are missing.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libusb-1.0-0-dev pkg-config locales
  umockdev libumockdev-dev)
if [ "${1:-}" = "--with-clang" ]; then
  packages+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# A test checks that texts do not follow a process locale with a decimal comma;
# without such a locale it is skipped, so generate de_DE.UTF-8 when none is there.
if ! locale -a 2>/dev/null | grep -qiE '^(de_DE|fr_FR)\.utf-?8$'; then
  echo "Generating locale de_DE.UTF-8"
  grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen >/dev/null
fi

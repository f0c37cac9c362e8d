#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12, when it is missing.
# Works as root or through sudo.
set -euo pipefail

# fonts-arphic-gbsn00lp: a Song face that Wine takes for "宋体", with its metrics (1.5 px per
# dialog unit at 9 pt), so the dialogs keep the size their artwork was drawn for.
# xcompmgr: a compositing manager for the virtual display, so that per-pixel alpha shows what
# lies behind a layered window (the skin tests' screenshots), as on any desktop.
packages=(
  cmake make g++ clang libclang-rt-14-dev googletest libssl-dev openssl
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 xvfb xcompmgr xdotool x11-utils imagemagick pngquant fonts-wqy-microhei fonts-arphic-gbsn00lp locales
  nginx-light tinyproxy-bin squid curl aria2 axel hyperfine time valgrind iproute2 python3
  osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Wine takes its ANSI code page (936) and command-line decoding from the glibc locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  "${sudo_cmd[@]}" sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi

#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12, when it is missing.
# Works as root or through sudo.
set -euo pipefail

# fonts-arphic-gbsn00lp: a Song face that Wine takes for "宋体", with its metrics (1.5 px per
# dialog unit at 9 pt), so the dialogs keep the size their artwork was drawn for.
# e2fsprogs: a small ext4 volume (loop-mounted) that the wizard's full-disk test fills.
# iptables: a download source that drops every packet (the sources test), as a dead CDN node.
# xcompmgr: a compositing manager for the virtual display, so that per-pixel alpha shows what
# lies behind a layered window (the skin tests' screenshots), as on any desktop.
packages=(
  cmake make g++ clang libclang-rt-14-dev googletest libssl-dev openssl
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 xvfb xcompmgr xdotool x11-utils imagemagick pngquant fonts-wqy-microhei fonts-arphic-gbsn00lp locales
  nginx-light tinyproxy-bin squid curl aria2 axel hyperfine time valgrind iproute2 python3
  osslsigncode e2fsprogs iptables
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

# Wine takes its ANSI code page and command-line decoding from the glibc locale: the tests run
# the program as a Simplified Chinese (936), a Traditional Chinese (950) and an English (1252)
# Windows.
needs_generation=0
for wanted in zh_CN zh_TW en_US; do
  if ! locale -a 2>/dev/null | grep -qi "^$wanted\.utf-\?8$"; then
    "${sudo_cmd[@]}" sed -i "s/^# *$wanted.UTF-8 UTF-8/$wanted.UTF-8 UTF-8/" /etc/locale.gen
    grep -q "^$wanted.UTF-8 UTF-8" /etc/locale.gen ||
      echo "$wanted.UTF-8 UTF-8" | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
    needs_generation=1
  fi
done
if [ "$needs_generation" = 1 ]; then
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi

#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine. Safe to run again: every step
# checks first and does nothing when its result is already there.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache="${QM_CACHE_DIR:-$here/.cache}"
mkdir -p "$cache"

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

packages=(mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth cmake ninja-build
          googletest imagemagick dpkg-dev xdotool x11-utils x11-xserver-utils chromium
          libspdlog-dev clang lld llvm xcompmgr)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# Source entries: the machine's own Debian entries again, as deb-src, so that no host name is
# written down here.
src_list=/etc/apt/sources.list.d/qm-overlay-src.sources
need_update=0
if [ ! -f "$src_list" ]; then
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    grep -q 'debian-archive-keyring' "$f" || continue
    sed -e 's/^Types:.*$/Types: deb-src/' "$f" >>"$tmp"
    printf '\n' >>"$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb[[:space:]]' /etc/apt/sources.list | sed -e 's/^deb\([[:space:]]\)/deb-src\1/' >"$tmp.list" || true
    if [ -s "$tmp.list" ]; then
      "${sudo_cmd[@]}" install -m 644 "$tmp.list" /etc/apt/sources.list.d/qm-overlay-src.list
    fi
    rm -f "$tmp.list"
  fi
  if [ -s "$tmp" ]; then
    "${sudo_cmd[@]}" install -m 644 "$tmp" "$src_list"
  fi
  rm -f "$tmp"
  need_update=1
fi

# The unpacked source folder of $1 in the cache (named like $2), or nothing.
source_dir() { find "$cache/$1" -maxdepth 1 -mindepth 1 -type d -name "$2" 2>/dev/null | head -n 1 || true; }
# Debian's source package $3 unpacked into the cache as $1, whole or not at all; prints the folder.
fetch_source() {
  echo "setup: fetching the $1 sources" >&2
  rm -rf "$cache/$1.tmp"
  mkdir -p "$cache/$1.tmp"
  (cd "$cache/$1.tmp" && apt-get source -q "$3" >&2)
  rm -rf "${cache:?}/$1"
  mv "$cache/$1.tmp" "$cache/$1"
  source_dir "$1" "$2"
}

jsoncpp_dir=$(source_dir jsoncpp 'libjsoncpp-*')
imgui_dir=$(source_dir imgui 'imgui-*')

if [ ${#missing[@]} -gt 0 ] || [ -z "$jsoncpp_dir" ] || [ -z "$imgui_dir" ]; then
  stamp="$cache/apt-updated"
  if [ $need_update -eq 1 ] || [ ! -f "$stamp" ] || [ -n "$(find "$stamp" -mmin +720 2>/dev/null)" ]; then
    "${sudo_cmd[@]}" apt-get update -q
    touch "$stamp"
  fi
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

[ -n "$jsoncpp_dir" ] || jsoncpp_dir=$(fetch_source jsoncpp 'libjsoncpp-*' libjsoncpp)
[ -n "$imgui_dir" ] || imgui_dir=$(fetch_source imgui 'imgui-*' imgui)
[ -f "$imgui_dir/backends/imgui_impl_dx11.cpp" ] || { echo "setup: Dear ImGui sources not found in $cache/imgui" >&2; exit 1; }
[ -f "$jsoncpp_dir/CMakeLists.txt" ] || { echo "setup: jsoncpp sources not found in $cache/jsoncpp" >&2; exit 1; }
[ -f /usr/src/googletest/CMakeLists.txt ] || { echo "setup: GoogleTest sources not found" >&2; exit 1; }
echo "setup: ok"

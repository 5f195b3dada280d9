#!/usr/bin/env bash
# Builds the Debian package from this tree into out/deb/ and checks it with
# lintian when lintian is installed. As root it first installs what the build
# needs (dpkg-dev, debhelper and the Build-Depends of debian/control).
# Arguments go to dpkg-buildpackage. The jobs default to the online CPUs; set
# KORVEL_JOBS to use fewer.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/out/deb"

if ((EUID == 0)); then
  missing=()
  for p in dpkg-dev debhelper; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  export DEBIAN_FRONTEND=noninteractive
  if ((${#missing[@]})); then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
  if ! (cd "$root" && dpkg-checkbuilddeps 2>/dev/null); then
    apt-get update -qq
    apt-get build-dep -y -qq --no-install-recommends "$root"
  fi
fi

version="$(cd "$root" && dpkg-parsechangelog -S Version)"
# A copy of the tree, so the build's leftovers (obj-*, debian/<package>, the
# .deb next to the source) stay in out/ and out of the repository.
src="$out/korvel-companion-$version"
rm -rf "$out"
mkdir -p "$src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    (cd "$root" && tar --null -T - -cf -) | tar -C "$src" -xf -
else
  tar -C "$root" --exclude=./.git --exclude=./out --exclude='./build*' -cf - . | tar -C "$src" -xf -
fi

(cd "$src" && dpkg-buildpackage -us -uc -b -j"${KORVEL_JOBS:-$(nproc)}" "$@")

changes=("$out"/korvel-companion_"$version"_*.changes)
if command -v lintian >/dev/null; then
  lintian --info "${changes[@]}"
fi
echo "Built:"
ls -1 "$out"/*.deb

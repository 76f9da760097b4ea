#!/usr/bin/env bash
# The installed tree: every file in place, the installed programs run with the installed device
# library (not the build tree's), and each man page holds every option of its program's --help.
#   test_install.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 src=$3
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest "$cmake" --install "$build" --prefix /usr >/dev/null
root=$dest/usr
fail() { echo "FAIL: $*"; exit 1; }

for f in bin/ravik bin/ravik-merge bin/ravik-record lib/ravik/libkorbalt.so \
         share/applications/ravik.desktop share/icons/hicolor/48x48/apps/ravik.png \
         share/man/man1/ravik.1 share/man/man1/ravik-merge.1 share/man/man1/ravik-record.1; do
  [ -f "$root/$f" ] || fail "$f not installed"
done
for py in "$src"/python/*.py; do
  [ -e "$py" ] || continue
  [ -f "$root/lib/python3/dist-packages/$(basename "$py")" ] || fail "$py not installed"
done
grep -qx 'Exec=ravik' "$root/share/applications/ravik.desktop" || fail "desktop entry: Exec"
grep -qx 'Icon=ravik' "$root/share/applications/ravik.desktop" || fail "desktop entry: Icon"

for p in ravik ravik-merge ravik-record; do
  [ "$(env -u LD_LIBRARY_PATH "$root/bin/$p" --version)" = "$p $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
    fail "installed $p --version"
  lib=$(ldd "$root/bin/$p" | sed -n 's/^\s*libkorbalt.so => \(.*\) (.*/\1/p')
  [ "$(realpath "$lib")" = "$(realpath "$root/lib/ravik/libkorbalt.so")" ] ||
    fail "installed $p loads the device library from '$lib'"
  page=$(sed 's/\\//g' "$root/share/man/man1/$p.1")
  for option in $("$root/bin/$p" --help | grep -oE '^ +(-[a-z], )?--?[a-z-]+' | grep -oE -- '--?[a-z-]+$'); do
    grep -qe "$option" <<<"$page" || fail "$p.1 lacks $option"
  done
done
echo "installed tree complete"

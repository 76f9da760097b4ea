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

# The device library's private folder: lib/ravik, or lib/<architecture>/ravik on Debian.
libdir=$(cd "$root" && dirname "$(find lib -name libkorbalt.so | head -1)")
[ "$(basename "$libdir")" = ravik ] || fail "device library not installed in a folder of its own"
for f in bin/ravik bin/ravik-merge bin/ravik-record $libdir/libkorbalt.so \
         share/applications/ravik.desktop share/icons/hicolor/48x48/apps/ravik.png \
         share/man/man1/ravik.1.gz share/man/man1/ravik-merge.1.gz share/man/man1/ravik-record.1.gz \
         share/doc/ravik/copyright share/doc/ravik/changelog.gz; do
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
  [ "$(realpath "$lib")" = "$(realpath "$root/$libdir/libkorbalt.so")" ] ||
    fail "installed $p loads the device library from '$lib'"
  page=$(zcat "$root/share/man/man1/$p.1.gz" | sed 's/\\//g')
  # A man page stands on its own: the README is not installed.
  ! grep -qi readme <<<"$page" || fail "$p.1 points to the README"
  for option in $("$root/bin/$p" --help | grep -oE '^ +(-[a-z], )?--?[a-z-]+' | grep -oE -- '--?[a-z-]+$'); do
    grep -qe "$option" <<<"$page" || fail "$p.1 lacks $option"
  done
done
# Every runpath of an installed program or library names a folder that exists in the tree.
for f in "$root"/bin/* "$root"/$libdir/*.so; do
  for dir in $(readelf -d "$f" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p' | tr : ' '); do
    [ -d "${dir//\$ORIGIN/$(dirname "$f")}" ] || fail "$f: runpath $dir does not exist"
  done
done
echo "installed tree complete"

#!/usr/bin/env bash
# The installed tree: every file in place, the installed programs run with the installed device
# library (not the build tree's), each man page holds every option of its program's --help, and the
# Python package imports in Debian's Python from the installed tree.
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
# The Python package, where Debian's Python looks: lib/python3/dist-packages under /usr,
# lib/python3.X/dist-packages under /usr/local (both on /usr/bin/python3's path).
python=/usr/bin/python3
for py in "$src"/python/ravik/*.py; do
  [ -f "$root/lib/python3/dist-packages/ravik/$(basename "$py")" ] || fail "$py not installed"
done
site=$root/lib/python3/dist-packages
core=$(ls "$site"/ravik/_core*.so) || fail "the package's core is not installed"
lib=$(ldd "$core" | sed -n 's/^\s*libkorbalt.so => \(.*\) (.*/\1/p')
[ "$(realpath "$lib")" = "$(realpath "$root/$libdir/libkorbalt.so")" ] ||
  fail "the installed core loads the device library from '$lib'"
# A core built with the address sanitizer cannot be loaded into Debian's Python, which is not.
if ! grep -q '^RAVIK_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  imported=$(cd / && env -u LD_LIBRARY_PATH PYTHONPATH="$site" "$python" -c \
    'import ravik; ravik.Chain; ravik.Correlation; ravik.load; print(ravik.__file__)')
  [ "$imported" = "$site/ravik/__init__.py" ] || fail "python3 imported ravik from '$imported'"
fi
"$python" -c 'import sys; sys.exit("/usr/lib/python3/dist-packages" not in sys.path)' ||
  fail "/usr/lib/python3/dist-packages is not on $python's path"
local_dest=$dest/local
DESTDIR=$local_dest "$cmake" --install "$build" --prefix /usr/local >/dev/null
local_site=$("$python" -c 'import sys; print(f"/usr/local/lib/python3.{sys.version_info.minor}/dist-packages")')
"$python" -c 'import sys; sys.exit(sys.argv[1] not in sys.path)' "$local_site" ||
  fail "$local_site is not on $python's path"
[ -f "$local_dest$local_site/ravik/__init__.py" ] && ls "$local_dest$local_site"/ravik/_core*.so >/dev/null ||
  fail "the Python package is not in $local_site under /usr/local"
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

#!/usr/bin/env bash
# The Debian package as Debian's own checker sees it: no error and no warning.
#   test_package.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1 build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && "$cpack" -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/*.deb)
report=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
if grep -qE '^[EW]: ' <<<"$report"; then
  echo "FAIL: lintian reports:"
  echo "$report"
  exit 1
fi
echo "package clean: $(basename "$deb")"

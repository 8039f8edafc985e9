#!/usr/bin/env bash
# Runs pngconv under valgrind's memcheck over every image of the PNG suite,
# converting each to PAM and to PNG. Damaged images may be refused (pngconv
# exits 1); any invalid access or leak fails the script.
#
#   fuzz/memcheck_pngconv.sh [PNGCONV] [LOG_DIR]
#
# PNGCONV defaults to build/bin/pngconv; LOG_DIR (default a temporary
# folder) keeps one memcheck log per conversion.
set -euo pipefail
cd "$(dirname "$0")/.."

pngconv=${1:-build/bin/pngconv}
logs=${2:-$(mktemp -d "${TMPDIR:-/tmp}/tobelin-memcheck.XXXXXX")}
suite=tests/data/pngsuite
[ -x "$pngconv" ] || { echo "no pngconv at $pngconv" >&2; exit 2; }
mkdir -p "$logs"
out=$(mktemp -d "${TMPDIR:-/tmp}/tobelin-memcheck-out.XXXXXX")
trap 'rm -rf "$out"' EXIT

# Memcheck's own findings exit with 99, apart from pngconv's refusals (1).
runs=0
bad=0
for image in "$suite"/*.png; do
  name=$(basename "$image" .png)
  for ext in pam png; do
    status=0
    valgrind --quiet --leak-check=full --error-exitcode=99 --log-file="$logs/$name.$ext.log" \
      "$pngconv" "$image" "$out/$name.$ext" >/dev/null 2>&1 || status=$?
    runs=$((runs + 1))
    if [ "$status" -ne 0 ] && [ "$status" -ne 1 ]; then
      echo "memcheck: $name -> $ext failed (exit $status), see $logs/$name.$ext.log" >&2
      bad=$((bad + 1))
    fi
  done
done
echo "memcheck: $runs conversions, $bad with memory errors or leaks (logs in $logs)"
[ "$bad" -eq 0 ]

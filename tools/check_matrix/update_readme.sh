#!/bin/sh
# Writes check_matrix's table (4 ranks) between the README's markers.
# usage: tools/check_matrix/update_readme.sh [BUILD_DIR]   (default: build)
case ${1-} in
  -h | --help) sed -n '2,3p' "$0" | cut -c3-; exit 0 ;;
  -*) echo "update_readme.sh: unknown option '$1'" >&2; exit 2 ;;
esac
prog=${1:-build}/bin/check_matrix
[ -x "$prog" ] || { echo "update_readme.sh: $prog is not built (cmake --build ${1:-build} --target check_matrix)" >&2; exit 2; }
readme=$(dirname "$0")/../../README.md
table=$(mktemp) || exit 1
trap 'rm -f "$table" "$table.new"' EXIT
"$prog" --table > "$table" || { echo "update_readme.sh: check_matrix failed; README left as it was" >&2; exit 1; }
awk -v table="$table" '
  /^<!-- check_matrix table -->$/ { print; while ((getline line < table) > 0) print line; skip = 1; found = 1; next }
  /^<!-- end of check_matrix table -->$/ { skip = 0 }
  !skip { print }
  END { if (!found) exit 1 }' "$readme" > "$table.new" || { echo "update_readme.sh: no markers in $readme" >&2; exit 1; }
cat "$table.new" > "$readme"

#!/usr/bin/env bash
# Reads the export and import tables of a DLL with objdump -p and fails on an
# export missing from or added to the expected list (by exact name, decoration
# included, and with no export by ordinal alone), on a required DLL not
# imported, and on an imported DLL outside the allowed ones. Given a VERSION,
# also fails unless the DLL's version resource gives it as its FileVersion
# and ProductVersion.
#
# usage: check_dll_tables.sh OBJDUMP DLL EXPORTS_FILE REQUIRED_IMPORTS ALLOWED_IMPORT_PATTERNS [VERSION]
#   EXPORTS_FILE            one expected export name a line
#   REQUIRED_IMPORTS        space-separated DLL names that must be imported
#   ALLOWED_IMPORT_PATTERNS space-separated shell patterns for other imports
# DLL names compare without regard to case, as Windows does.
set -euo pipefail
objdump=$1 dll=$2 exports_file=$3 required=$4 allowed=$5 version=${6:-}

tables=$("$objdump" -p "$dll")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

exported=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {in_names = 1; next}
                in_names && /^\t\[/ {print $NF; next}
                in_names {in_names = 0}' <<<"$tables" | sort)
expected=$(grep -v '^[[:space:]]*$' "$exports_file" | sort)
address_count=$(awk '/^Export Address Table -- Ordinal Base/ {in_addresses = 1; next}
                     in_addresses && /^\t\[/ {n++; next}
                     in_addresses {in_addresses = 0}
                     END {print n + 0}' <<<"$tables")

while read -r name; do
  [ -n "$name" ] && ! grep -qxF -- "$name" <<<"$exported" && fail "export missing: $name"
done <<<"$expected"
while read -r name; do
  [ -n "$name" ] && ! grep -qxF -- "$name" <<<"$expected" && fail "unexpected export: $name"
done <<<"$exported"
expected_count=$(grep -c . <<<"$expected" || true)
[ "$address_count" -eq "$expected_count" ] ||
  fail "$address_count entries in the export address table, expected $expected_count (exports by ordinal alone?)"

imported=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$tables" | tr '[:upper:]' '[:lower:]')
for name in $required; do
  grep -qxF -- "${name,,}" <<<"$imported" || fail "required import missing: $name"
done
while read -r name; do
  [ -n "$name" ] || continue
  ok=0
  for pattern in $required $allowed; do
    # shellcheck disable=SC2053 # the pattern is meant to match as a pattern
    [[ $name == ${pattern,,} ]] && ok=1
  done
  [ $ok -eq 1 ] || fail "unexpected import: $name"
done <<<"$imported"

if [ -n "$version" ]; then
  # The resource's texts are UTF-16: each name is followed by its value.
  resource_texts=$(strings -a -el -n 1 "$dll")
  for name in FileVersion ProductVersion; do
    given=$(awk -v name="$name" 'previous == name {print; exit} {previous = $0}' <<<"$resource_texts")
    [ "$given" = "$version" ] || fail "$name $version missing from the version resource${given:+ (it gives $given)}"
  done
fi

echo "exports: $(tr '\n' ' ' <<<"$exported")"
echo "imports: $(tr '\n' ' ' <<<"$imported")"
if [ $failures -ne 0 ]; then
  echo "$failures problem(s) in $dll"
  exit 1
fi
echo "export and import tables of $dll as expected"

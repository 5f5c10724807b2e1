#!/usr/bin/env bash
# The stripped DLL stays within its size budget.
#
#   check_dll_size.sh STRIP QV-731.dll LIMIT_BYTES
set -u
stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
"$1" -o "$stripped" "$2" || { echo "FAIL: $1 cannot strip $2"; exit 1; }
size=$(stat -c %s "$stripped")
if [ "$size" -gt "$3" ]; then
  echo "FAIL: the stripped $2 has $size bytes, more than $3"
  exit 1
fi
echo "the stripped $2 has $size bytes (at most $3)"

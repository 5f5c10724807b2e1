#!/usr/bin/env bash
# Checks that the release package is reproducible: clones one commit (HEAD
# unless another is named) twice, into folders of different names, runs
# tools/package.sh in each, one after the other (the second in another
# environment: umask 077, another time zone, locale and temporary folder),
# and compares the two ZIPs byte for byte. On a difference it names the files inside that differ.
# Prints the ZIP's SHA-256. The clones are removed at the end.
#
#   bash tools/check_reproducible.sh [COMMIT]
set -euo pipefail
cd "$(dirname "$0")/.."
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}") || {
  echo "check_reproducible: \"${1:-HEAD}\" is no commit" >&2
  exit 2
}
# What the builds need is installed first, where a password asked for by sudo
# can be seen and answered.
bash tools/setup.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The time comes from the commit, as for anyone who rebuilds it.
unset SOURCE_DATE_EPOCH

first=$work/first-clone
second=$work/another/clone-with-another-name
# clone FOLDER: the commit, checked out in FOLDER.
clone() {
  git clone -q --no-checkout "$PWD" "$1"
  git -C "$1" -c advice.detachedHead=false checkout -q "$commit"
}
clone "$first"
# The second's files are made under a strict umask, as a user who has one.
(umask 077 && clone "$second")

# package CLONE [VARIABLE=VALUE...]: packages the clone, in that environment.
package() {
  local clone=$1
  shift
  echo "== tools/package.sh in $clone${*:+ ($*)}"
  if ! env "$@" bash "$clone/tools/package.sh" >"$clone.log" 2>&1; then
    tail -n 30 "$clone.log"
    echo "check_reproducible: tools/package.sh failed in $clone" >&2
    exit 1
  fi
  grep '^package:' "$clone.log"
}
package "$first"
# Another second, whatever the machine's speed, and another user's
# environment: a strict umask, another time zone and locale, another
# temporary folder.
sleep 2
mkdir "$work/other-tmp"
(umask 077 && package "$second" TZ=Asia/Kolkata LC_ALL=C.UTF-8 TMPDIR="$work/other-tmp")

zips=("$first"/build/package/*.zip)
zip=$(basename "${zips[0]}")
if cmp -s "$first/build/package/$zip" "$second/build/package/$zip"; then
  echo "check_reproducible: commit $commit: the two clones made the same $zip:"
  (cd "$first/build/package" && sha256sum "$zip")
  exit 0
fi
echo "check_reproducible: commit $commit: the two clones made different ZIPs" >&2
for clone in "$first" "$second"; do
  mkdir -p "$clone.unpacked"
  (cd "$clone.unpacked" && cmake -E tar xf "$clone/build/package/$zip")
done
if diff -r "$first.unpacked" "$second.unpacked" >&2; then
  echo "check_reproducible: the files inside are the same: the ZIP's own entries differ" >&2
fi
exit 1

#!/usr/bin/env bash
# Runs the native end-to-end suite on its serial lines as an unprivileged
# user. Root may open a terminal that another program keeps to itself, so
# only an ordinary user sees whether the driver gives its port back when it is
# done with it. The relay, the library and the test program are copied where
# that user can reach them; the copy goes when the run ends.
#
#   as_unprivileged.sh PTY_RELAY LIBRARY PROGRAM [ARGUMENTS]...
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "as_unprivileged: this user is not root, so the plain run of the suite already covers this"
  exit 77
fi
relay=$1 library=$2 program=$3
shift 3
user=nobody
group=$(id -gn "$user")

# The stage must be reachable for that user: the tests' own temporary folder
# may be private to root.
base=${TMPDIR:-/tmp}
setpriv --reuid="$user" --regid="$group" --clear-groups test -w "$base" -a -x "$base" || base=/tmp
stage=$(mktemp -d "$base/qv-unprivileged.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/tests" "$stage/tools" "$stage/bin" "$stage/temp"
cp "$(dirname "$0")/with_ports.sh" "$stage/tests/"
cp "$relay" "$library" "$program" "$stage/bin/"
chmod -R a+rX "$stage"
chown "$user" "$stage/temp"

echo "as_unprivileged: running as $user"
setpriv --reuid="$user" --regid="$group" --clear-groups \
  env -i PATH=/usr/bin:/bin HOME="$stage/temp" TMPDIR="$stage/temp" \
  QV_TEST_LIBRARY="$stage/bin/$(basename "$library")" \
  "$stage/tests/with_ports.sh" "$stage/bin/$(basename "$relay")" "$stage/bin/$(basename "$program")" "$@"

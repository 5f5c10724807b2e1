#!/usr/bin/env bash
# Set-up: setup.sh as a user who is not root changes the system only
# through sudo; it meets a package mirror out of step by trying again and
# falling back to the release's own suite, and says why it stopped. The
# project's scripts and documents name no package host of their own.
#
#   check_setup.sh SOURCE_DIR
source "$(dirname "$0")/stand_ins.sh" "$1"

# setup.sh on a machine that lacks every package (or the ones named in
# $stage/missing), with stand-ins for dpkg, apt-get and sudo that note each
# call and whether it ran as root. As a user who is not root (nobody, when
# this test runs as root) every step that changes the system goes through
# sudo, which starts it with a clean environment; as root none does; without
# sudo it stops before any step.
if [ "$(id -u)" = 0 ]; then
  # The stage must be reachable for nobody: this test's folder may not be.
  base=${TMPDIR:-/tmp}
  setpriv --reuid=nobody --regid=nogroup --clear-groups test -w "$base" -a -x "$base" || base=/tmp
  stage=$(mktemp -d "$base/qv-setup.XXXXXX")
  trap 'rm -rf "$work" "$stage"' EXIT
  as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
else
  stage=$work/setup
  mkdir "$stage"
  as_user() { "$@"; }
fi
mkdir -p "$stage/tools/vm32"
cp "$source_dir/tools/setup.sh" "$source_dir/tools/apt_steps.sh" "$stage/tools/"
# The 32-bit machine is needed here: its packages are installed too.
stub "$stage/tools/vm32/run.sh" 'exit 0'
calls=$stage/calls.txt
as_root='$( [ "$(id -u)" = 0 ] || [ -n "${QV_SUDO:-}" ] && echo root || echo user)'
stub "$stage/bin/dpkg-query" "[ -e '$stage/missing' ] && ! grep -qxF \"\$3\" '$stage/missing' && echo 'install ok installed'"
# The i386 architecture is there once $stage/i386 is.
stub "$stage/bin/dpkg" "if [ \"\$1\" = --print-foreign-architectures ]; then [ ! -e '$stage/i386' ] || echo i386; exit 0; fi
echo \"dpkg \$1 \$2 as $as_root\" >>'$calls'"
# apt-get's stand-in serves the mirror named in $stage/mirror: a good one; a
# flaky one whose first update fails; one out of step, whose security suite
# has an i386 list of the wrong size, so that apt installs only with the
# release itself as the target (the codename of the machine's os-release,
# here one no script could know); and a broken one, whose release has such
# a list, which nothing can replace; one whose lists apt cannot reach, which
# it says as a warning. Or apt fails otherwise: its lock held by another apt
# (for the lists, or dpkg's for the install); a package it does not know; a
# full disk; a repository without a Release file.
printf 'PRETTY_NAME="Debian GNU/Linux 12"\nVERSION_CODENAME=quokka\nID=debian\n' >"$stage/os-release"
stub "$stage/bin/apt-get" "echo \"apt-get \$1 as $as_root DEBIAN_FRONTEND=\${DEBIAN_FRONTEND:-} LC_ALL=\${LC_ALL:-}\" >>'$calls'
mirror=\$(cat '$stage/mirror' 2>/dev/null)
suite=bookworm-security
echo 'Reading package lists...'
case \$1:\$mirror in
  update:flaky) [ \"\$(grep -c '^apt-get update' '$calls')\" -gt 1 ] && exit 0 ;&
  update:out-of-step) ;;
  update:broken) suite=bookworm ;;
  update:unreachable) echo \"W: Failed to fetch http://mirror.invalid/debian/dists/bookworm/InRelease\" \\
      \" Temporary failure resolving 'mirror.invalid'\"
    echo 'W: Some index files failed to download. They have been ignored, or old ones used instead.'; exit 0 ;;
  install:out-of-step) [[ \" \$* \" == *' -t quokka '* ]] && exit 0 ;&
  install:broken) echo 'E: Unable to correct problems, you have held broken packages.'; exit 100 ;;
  *:locked) echo 'E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)'
    echo 'E: Unable to lock directory /var/lib/apt/lists/'; exit 100 ;;
  install:dpkg-locked) echo 'E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4243 (unattended-upgr)'
    echo 'E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), is another process using it?'
    exit 100 ;;
  install:unknown) echo \"E: Unable to locate package \${*: -1}\"; exit 100 ;;
  install:full) echo \"E: You don't have enough free space in /var/cache/apt/archives/.\"; exit 100 ;;
  update:no-release) echo \"E: The repository 'http://vendor.invalid/debian bookworm Release' does not have a Release file.\"
    exit 100 ;;
  *) exit 0 ;;
esac
echo \"Get:1 http://mirror.invalid/debian \$suite InRelease\"
echo \"E: Failed to fetch http://mirror.invalid/debian/dists/\$suite/main/binary-i386/Packages.xz\" \\
  ' File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]'
echo 'E: Some index files failed to download. They have been ignored, or old ones used instead.'
exit 100"
# sudo refuses once $stage/sudo-refuses is there, as it does without a
# terminal or with a wrong password.
stub "$stage/bin/sudo" "echo sudo >>'$calls'
[ ! -e '$stage/sudo-refuses' ] || { echo 'sudo: a password is required' >&2; exit 1; }
exec env -i PATH=\"\$PATH\" QV_SUDO=1 \"\$@\""
# Without sudo: only what set-up itself runs, and the stand-ins but sudo.
mkdir "$stage/bin-nosudo"
for tool in bash grep id dirname env; do ln -s "$(command -v $tool)" "$stage/bin-nosudo/$tool"; done
for tool in dpkg-query dpkg apt-get; do ln -s "$stage/bin/$tool" "$stage/bin-nosudo/$tool"; done
mkdir "$stage/tmp"
chmod -R a+rX "$stage"
chmod 1777 "$stage/tmp"
touch "$calls"
chmod a+w "$calls"
# setup PATH: a run, whose step logs are gone when it ends, however it ends.
setup() {
  : >"$calls"
  as_user env -i PATH="$1" HOME="$stage" TMPDIR="$stage/tmp" QV_APT_PAUSE=0 QV_OS_RELEASE="$stage/os-release" \
    bash "$stage/tools/setup.sh" >"$stage/out.txt" 2>&1
  local status=$?
  [ -z "$(ls -A "$stage/tmp")" ] || fail "setup.sh left its files in the temporary folder: $(ls -A "$stage/tmp")"
  rm -rf "${stage:?}/tmp/"*
  return $status
}
setup "$stage/bin:/usr/bin:/bin"
status=$?
[ $status = 0 ] || fail "setup.sh as a user should end with status 0, got $status: $(cat "$stage/out.txt")"
grep -qx 'dpkg --add-architecture i386 as root' "$calls" ||
  fail "setup.sh as a user did not add the i386 architecture through sudo: $(cat "$calls")"
[ "$(grep -c '^apt-get install as root DEBIAN_FRONTEND=noninteractive LC_ALL=C$' "$calls")" = 2 ] ||
  fail "setup.sh as a user did not install both sets through sudo, without questions: $(cat "$calls")"
[ "$(grep -c '^sudo$' "$calls")" = "$(grep -vc '^sudo$' "$calls")" ] ||
  fail "setup.sh as a user ran a step that changes the system without sudo: $(cat "$calls")"
if [ "$(id -u)" = 0 ]; then
  as_user() { "$@"; }
  setup "$stage/bin:/usr/bin:/bin"
  status=$?
  [ $status = 0 ] || fail "setup.sh as root should end with status 0, got $status: $(cat "$stage/out.txt")"
  grep -qx 'dpkg --add-architecture i386 as root' "$calls" || fail "setup.sh as root did not add i386: $(cat "$calls")"
  ! grep -q '^sudo$' "$calls" || fail "setup.sh as root went through sudo: $(cat "$calls")"
  as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
fi

# setup.sh and a package mirror out of step: the update is tried three
# times, the install goes on with the lists apt has and falls back to the
# release's own suite; where nothing helps, set-up's own words are the last,
# and the i386 architecture it added is removed again. apt's lines never
# stand last.
out_of_step_list=http://mirror.invalid/debian/dists/bookworm-security/main/binary-i386/Packages.xz
echo flaky >"$stage/mirror"
setup "$stage/bin:/usr/bin:/bin"
status=$?
[ $status = 0 ] || fail "setup.sh with a flaky mirror should end with status 0, got $status: $(cat "$stage/out.txt")"
[ "$(grep -c '^apt-get update ' "$calls")" = 2 ] || fail "setup.sh did not update the lists again once: $(cat "$calls")"
grep -q "^setup: the package lists' update failed (try 1 of 3); trying again" "$stage/out.txt" &&
  ! grep -q 'still cannot be fetched\|-t quokka' "$stage/out.txt" ||
  fail "setup.sh with a flaky mirror: not one retry and a plain install: $(cat "$stage/out.txt")"
# A list apt could not fetch, said as a warning, with status 0: the same.
echo unreachable >"$stage/mirror"
setup "$stage/bin:/usr/bin:/bin"
status=$?
out=$(cat "$stage/out.txt")
[ $status = 0 ] && [ "$(grep -c '^apt-get update ' "$calls")" = 3 ] &&
  grep -A1 -x 'setup: after 3 tries these package lists still cannot be fetched (the mirror may be out of step):' <<<"$out" |
  grep -qx "  http://mirror.invalid/debian/dists/bookworm/InRelease" ||
  fail "setup.sh with a list apt warned it could not fetch: not three tries and the list named, status $status: $out"
echo out-of-step >"$stage/mirror"
setup "$stage/bin:/usr/bin:/bin"
status=$?
out=$(cat "$stage/out.txt")
[ $status = 0 ] || fail "setup.sh with a mirror out of step should end with status 0, got $status: $out"
[ "$(grep -c '^apt-get update ' "$calls")" = 3 ] || fail "setup.sh did not try the update three times, once in all: $(cat "$calls")"
grep -A1 -x 'setup: after 3 tries these package lists still cannot be fetched (the mirror may be out of step):' <<<"$out" |
  grep -qx "  $out_of_step_list" && grep -qx 'setup: going on with the package lists apt has' <<<"$out" ||
  fail "setup.sh with a mirror out of step did not name the list that failed: $out"
[ "$(grep -c "^setup: trying once more with the release's own suite, quokka, as the target" <<<"$out")" = 2 ] &&
  [ "$(grep -c '^setup: installed from quokka itself' <<<"$out")" = 2 ] ||
  fail "setup.sh with a mirror out of step did not install both sets from the machine's own release: $out"
[ "$(tail -n 1 <<<"$out")" = "setup: all build and test tools are present" ] || fail "setup.sh: not the last word: $out"
echo broken >"$stage/mirror"
setup "$stage/bin:/usr/bin:/bin"
status=$?
out=$(cat "$stage/out.txt")
[ $status = 1 ] || fail "setup.sh with a broken mirror should end with status 1, got $status: $out"
grep -qx "  http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz" <<<"$out" &&
  grep -q '^setup: installing failed, also with quokka as the target: .*wine32:i386' <<<"$out" &&
  grep -qx '  apt said: E: Unable to correct problems, you have held broken packages.' <<<"$out" ||
  fail "setup.sh with a broken mirror did not say what failed: $out"
[ "$(tail -n 3 <<<"$out")" = "setup: the package lists that could not be fetched:
  http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz
setup: the package mirror is probably out of step for a while: run the same command again later" ] ||
  fail "setup.sh with a broken mirror: its own advice is not the last word: $out"
[ "$(grep -c '^apt-get install ' "$calls")" = 2 ] || fail "setup.sh went on after a failed install: $(cat "$calls")"
grep -qx 'dpkg --remove-architecture i386 as root' "$calls" ||
  fail "setup.sh with a broken mirror left the i386 architecture it added: $(cat "$calls")"
rm -f "$stage/mirror"

# Set-up that fails for another cause than the mirror stops at once, with
# that cause in its own last line, and gives no advice about the mirror:
# no sudo; sudo refusing (before apt could say anything); apt's lock held by
# another program; errors of apt's own, shown as apt's. Each as a user who is
# not root, on the stand-ins' mirror named in the case (none: a good one),
# with the i386 architecture there or not, and every package missing or only
# the ones named.
#   expect_setup WHAT PATH STATUS STEPS LAST [LINE]: with the files named in
#     WHAT (mirror=M, i386, missing=P, sudo-refuses) in $stage, set-up on PATH
#     ends with STATUS, after STEPS (the calls it made, in order: sudo,
#     add-i386, remove-i386, update, install), with LAST as its last line, and
#     LINE among its lines before.
expect_setup() {
  local what=$1 path=$2 status=$3 steps=$4 last=$5 line=${6:-} word got out
  rm -f "$stage/mirror" "$stage/i386" "$stage/missing" "$stage/sudo-refuses"
  for word in $what; do
    case $word in
      mirror=*) echo "${word#mirror=}" >"$stage/mirror" ;;
      missing=*) echo "${word#missing=}" >"$stage/missing" ;;
      *) touch "$stage/$word" ;;
    esac
  done
  setup "$path"
  got=$?
  out=$(cat "$stage/out.txt")
  [ "$got" = "$status" ] || fail "setup.sh with $what: status $got, not $status: $out"
  got=$(sed -e 's/^dpkg --\([a-z]*\)-architecture i386 .*/\1-i386/' -e 's/^apt-get \([a-z]*\) .*/\1/' "$calls" | paste -sd' ')
  [ "$got" = "$steps" ] || fail "setup.sh with $what: the steps \"$got\", not \"$steps\": $out"
  [ "$(tail -n 1 <<<"$out")" = "$last" ] || fail "setup.sh with $what: not \"$last\" as the last line: $out"
  [ -z "$line" ] || grep -qxF -- "$line" <<<"$out" || fail "setup.sh with $what: no line \"$line\": $out"
  ! grep -q 'mirror' <<<"$out" || fail "setup.sh with $what blamed the mirror: $out"
}
no_sudo="setup: installing needs root, and this user is not root and has no sudo: run it as root"
expect_setup "" "$stage/bin-nosudo" 1 "" "$no_sudo"
expect_setup "i386 missing=clang-14" "$stage/bin-nosudo" 1 "" "$no_sudo" "setup: installing clang-14"
expect_setup "sudo-refuses" "$stage/bin:/usr/bin:/bin" 1 "sudo" \
  "setup: stopped: adding the i386 architecture failed: sudo: a password is required"
expect_setup "sudo-refuses i386 missing=clang-14" "$stage/bin:/usr/bin:/bin" 1 "sudo" \
  "setup: stopped: the package lists' update failed: sudo: a password is required"
expect_setup "mirror=locked" "$stage/bin:/usr/bin:/bin" 1 "sudo add-i386 sudo update sudo remove-i386" \
  "setup: another program is using apt (it holds apt's lock, as apt said above): wait for it to finish, then run the same command again" \
  "  apt said: E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)"
expect_setup "mirror=dpkg-locked i386 missing=git" "$stage/bin:/usr/bin:/bin" 1 "sudo update sudo install" \
  "setup: another program is using apt (it holds apt's lock, as apt said above): wait for it to finish, then run the same command again" \
  "  apt said: E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4243 (unattended-upgr)"
expect_setup "mirror=unknown i386 missing=clang-14" "$stage/bin:/usr/bin:/bin" 1 "sudo update sudo install" \
  "setup: installing failed, for the reason apt gave above: clang-14" "  apt said: E: Unable to locate package clang-14"
expect_setup "mirror=full i386 missing=valgrind" "$stage/bin:/usr/bin:/bin" 1 "sudo update sudo install" \
  "setup: installing failed, for the reason apt gave above: valgrind" \
  "  apt said: E: You don't have enough free space in /var/cache/apt/archives/."
if [ "$(id -u)" = 0 ]; then
  as_user() { "$@"; }
  expect_setup "mirror=locked" "$stage/bin:/usr/bin:/bin" 1 "add-i386 update remove-i386" \
    "setup: another program is using apt (it holds apt's lock, as apt said above): wait for it to finish, then run the same command again"
  as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
fi
# An update that fails for another cause is not tried again: the install
# goes on with the lists apt has.
expect_setup "mirror=no-release i386 missing=strace" "$stage/bin:/usr/bin:/bin" 0 "sudo update sudo install" \
  "setup: all build and test tools are present" \
  "  apt said: E: The repository 'http://vendor.invalid/debian bookworm Release' does not have a Release file."
# Where everything is there, neither apt nor dpkg is asked to change anything.
expect_setup "i386 missing=" "$stage/bin:/usr/bin:/bin" 0 "" "setup: all build and test tools are present"
[ "$(cat "$stage/out.txt")" = "setup: all build and test tools are present" ] ||
  fail "setup.sh with everything installed said more: $(cat "$stage/out.txt")"

# The project's scripts and documents name no package host of their own.
hosts=$(cd "$source_dir" && grep -rnE '(https?|ftp)://' tools cmake docs README.md CMakeLists.txt CMakePresets.json)
[ -z "$hosts" ] || fail "the project names hosts of its own: $hosts"

finish "set-up changes the system only as root or through sudo, and says why it stopped"

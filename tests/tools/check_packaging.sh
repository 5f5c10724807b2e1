#!/usr/bin/env bash
# The release: package.sh stamps its ZIP with the commit's time (or
# SOURCE_DATE_EPOCH), checks only that one, and puts it in place of the ZIPs
# of earlier runs only once every check has passed: a failed build or check
# leaves build/package/ as it was; the commit goes out of the 32-bit build's
# cache on every way out. release_zip.py writes the same bytes from the same
# files, whatever their folder, order, times and permissions on disk.
#
#   check_packaging.sh SOURCE_DIR
source "$(dirname "$0")/stand_ins.sh" "$1"

# release_zip.py: the same files, made in another order, at other times, with
# other permissions, in another folder, give the same bytes; another time
# gives others.
for side in one other; do
  mkdir -p "$work/zip-$side/QV/sub"
done
(cd "$work/zip-one/QV" && umask 077 && echo a >a.txt && echo b >sub/b.dll && touch -d 2001-02-03 a.txt sub/b.dll)
(cd "$work/zip-other/QV" && echo b >sub/b.dll && chmod 755 sub/b.dll && sleep 1 && echo a >a.txt)
zip_of() { python3 "$source_dir/tools/release_zip.py" "$work/$1.zip" "$2" "$work/$1/QV" 2>&1; }
out=$(zip_of zip-one 1500000000) || fail "release_zip.py failed: $out"
out=$(zip_of zip-other 1500000000) || fail "release_zip.py failed: $out"
cmp -s "$work/zip-one.zip" "$work/zip-other.zip" || fail "release_zip.py: the same files gave two different ZIPs"
zip_of zip-other 1500000002 >/dev/null
cmp -s "$work/zip-one.zip" "$work/zip-other.zip" && fail "release_zip.py: another time gave the same ZIP"
out=$(zip_of zip-other yesterday)
status=$?
[ $status = 2 ] || fail "release_zip.py with the time \"yesterday\" should end with status 2, got $status: $out"

# package.sh, with the builds and the checks of the programs standing in
# (cmake installs files named after themselves): in a git checkout of its own
# whose commit has a known time.
copy=$(project package tools/package.sh tools/release_zip.py)
# The faults a run is given: files named in $faults (a check of one objdump's
# programs that fails, a build that fails, a file missing from the ZIP, a
# program that holds the path of the project folder).
faults=$work/package-faults
mkdir "$faults"
stub "$copy/tests/check_dll.sh" "echo \"\$*\" >>\"\$(dirname \"\$0\")/checked.txt\"
[ ! -e '$faults/check-'\"\$3\" ] || { echo \"FAIL: the stand-in check of \$3 fails\"; exit 1; }
shift 3
echo \$(cat \"\$@\") '' >>\"\$(dirname \"\$0\")/checked.txt\""
real_cmake=$(PATH=${PATH#"$work/bin:"} command -v cmake)
stub "$work/package-bin/cmake" "case \$1 in
  -E) exec '$real_cmake' \"\$@\" ;;
  -U) echo \"\${*:1:\$#-1} \$(cd \"\${*: -1}\" && pwd)\" >>'$copy/unset.txt' ;;
  --preset)
    echo \"\$*\" >>'$copy/configured.txt'
    mkdir -p build/\$2 && echo CMAKE_PROJECT_VERSION:STATIC=9.8.7.6 >build/\$2/CMakeCache.txt ;;
  --build)
    [ ! -e '$faults/build-'\"\$3\" ] || { echo \"stand-in: the build of \$3 fails\"; exit 1; } ;;
  --install)
    mkdir -p \"\$4/x64\" \"\$4/driver\"
    for f in QV-731.dll display_host.exe display_sim.exe x64/QV-731.dll x64/display_host.exe x64/display_sim.exe \\
             driver/display_driver.h LICENSE README.txt; do echo \"\$f\" >\"\$4/\$f\"; done
    [ ! -e '$faults/missing' ] || rm \"\$4/README.txt\"
    [ ! -e '$faults/path' ] || echo \"built in \$PWD\" >>\"\$4/x64/display_sim.exe\" ;;
esac"
git -C "$copy" init -q && git -C "$copy" add -A &&
  GIT_AUTHOR_DATE='@1500000000 +0000' GIT_COMMITTER_DATE='@1500000000 +0000' \
    git -C "$copy" -c user.name=test -c user.email=test@example.invalid commit -qm test ||
  fail "package.sh: cannot make its git checkout"
head=$(git -C "$copy" rev-parse HEAD)
mkdir -p "$copy/build/package"
echo "an earlier ZIP" >"$copy/build/package/QV-731-1.0.0.1-win32-x64.zip"
echo "0000  QV-731-1.0.0.1-win32-x64.zip" >"$copy/build/package/QV-731-1.0.0.1-win32-x64.zip.sha256"
echo "kept" >"$copy/build/package/notes.txt"
# package: a run, with a temporary folder of its own, which it leaves empty,
# noting each cmake -U in unset.txt (with the build folder's full path).
mkdir "$work/package-tmp"
package() {
  rm -f "$copy/unset.txt"
  (cd "$copy" && PATH=$work/package-bin:$PATH TMPDIR=$work/package-tmp bash tools/package.sh) >"$work/package-out.txt" 2>&1
  local status=$?
  [ -z "$(ls -A "$work/package-tmp")" ] || fail "package.sh left its work folder: $(ls -A "$work/package-tmp")"
  rm -rf "${work:?}/package-tmp/"*
  return $status
}
# unnamed: the commit and time were taken out of the 32-bit build's cache, once.
unnamed() {
  [ "$(cat "$copy/unset.txt" 2>/dev/null)" = "-U QV_PACKAGE_COMMIT -U QV_PACKAGE_EPOCH $copy/build/windows-i686" ]
}
# zip_times ZIP: each entry's name and time, in the ZIP's order.
zip_times() {
  python3 -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(i.filename, "%04d-%02d-%02d %02d:%02d:%02d" % i.date_time)' "$1"
}
zip=$copy/build/package/QV-731-9.8.7.6-win32-x64.zip
unset SOURCE_DATE_EPOCH
package
status=$?
[ $status = 0 ] || fail "package.sh should end with status 0, got $status: $(cat "$work/package-out.txt")"
[ ! -e "$copy/build/package/QV-731-1.0.0.1-win32-x64.zip" ] && [ ! -e "$copy/build/package/QV-731-1.0.0.1-win32-x64.zip.sha256" ] ||
  fail "package.sh left the earlier ZIP or its checksum in build/package"
[ -e "$copy/build/package/notes.txt" ] || fail "package.sh removed a file that is no ZIP of its own"
(cd "$copy/build/package" && sha256sum --quiet -c QV-731-9.8.7.6-win32-x64.zip.sha256) ||
  fail "package.sh: its ZIP and its checksum file do not agree"
times=$(zip_times "$zip")
[ "$(cut -d' ' -f2- <<<"$times" | sort -u)" = "2017-07-14 02:40:00" ] || fail "package.sh: the ZIP's times are not the commit's: $times"
[ "$(cut -d' ' -f1 <<<"$times")" = "$(cut -d' ' -f1 <<<"$times" | LC_ALL=C sort)" ] ||
  fail "package.sh: the ZIP's entries are not in sorted order: $times"
odd=$(python3 -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    mode = 0o40755 if i.is_dir() else 0o100755 if i.filename.endswith((".exe", ".dll")) else 0o100644
    if i.extra or i.comment or i.create_system != 3 or i.external_attr >> 16 != mode: print(i.filename)' "$zip")
[ -z "$odd" ] || fail "package.sh: entries with extra fields or permissions of their own: $odd"
[ "$(grep -c . <<<"$times")" = 12 ] || fail "package.sh: the ZIP has not its 9 files and 3 folders: $times"
grep -qx -- "--preset windows-i686 -DQV_PACKAGE_COMMIT=$head -DQV_PACKAGE_EPOCH=1500000000" "$copy/configured.txt" ||
  fail "package.sh did not give the 32-bit build the commit and its time: $(cat "$copy/configured.txt")"
unnamed || fail "package.sh did not take the commit and time out of the 32-bit build's cache: $(cat "$copy/unset.txt" 2>/dev/null)"
# Each objdump's check on the files unpacked from the ZIP (each holds its name).
checked=$(cat "$copy/tests/checked.txt" 2>/dev/null)
for files in "i686:QV-731.dll display_host.exe display_sim.exe" "x86_64:x64/QV-731.dll x64/display_host.exe x64/display_sim.exe"; do
  grep -qx -- "--epoch 1500000000 ${files%%:*}-w64-mingw32-objdump$(printf ' [^ ]*/QV-731-9.8.7.6-win32-x64/%s' ${files#*:})" <<<"$checked" &&
    grep -qx -- "${files#*:} " <<<"$checked" ||
    fail "package.sh did not check the ${files%%:*} programs from its ZIP: $checked"
done
# SOURCE_DATE_EPOCH, when set, is the time; one that is no count of seconds is
# refused before anything is removed.
SOURCE_DATE_EPOCH=1600000000 package || fail "package.sh with SOURCE_DATE_EPOCH failed: $(cat "$work/package-out.txt")"
[ "$(zip_times "$zip" | cut -d' ' -f2- | sort -u)" = "2020-09-13 12:26:40" ] ||
  fail "package.sh: the ZIP's times are not SOURCE_DATE_EPOCH's: $(zip_times "$zip")"
SOURCE_DATE_EPOCH=yesterday package
status=$?
[ $status = 2 ] || fail "package.sh with SOURCE_DATE_EPOCH=yesterday should end with status 2, got $status"
[ -e "$zip" ] || fail "package.sh with SOURCE_DATE_EPOCH=yesterday removed the ZIP before refusing"
grep -q 'package: SOURCE_DATE_EPOCH "yesterday" is not a count of seconds since 1970' "$work/package-out.txt" ||
  fail "package.sh with SOURCE_DATE_EPOCH=yesterday: no reason given: $(cat "$work/package-out.txt")"
# A run that fails, in a check or in the 32-bit build, ends with status 1 and
# leaves build/package/ as it found it: an earlier run's good ZIP and its
# checksum as they were, or, where there was none, no ZIP and no checksum.
# Either way the commit and time are out of the 32-bit build's cache again.
package_folder() { (cd "$copy/build/package" && ls -A && sha256sum -- *); }
for fault in check-x86_64-w64-mingw32-objdump check-i686-w64-mingw32-objdump missing path build-windows-i686; do
  for earlier in a-good-zip none; do
    [ $earlier = a-good-zip ] || rm -f "$copy"/build/package/QV-731-*
    before=$(package_folder)
    touch "$faults/$fault"
    SOURCE_DATE_EPOCH=1700000000 package
    status=$?
    rm "$faults/$fault"
    what="package.sh with the fault $fault and $earlier in build/package"
    [ $status = 1 ] || fail "$what should end with status 1, got $status: $(cat "$work/package-out.txt")"
    case $fault in
      check-*) reason="FAIL: the stand-in check of ${fault#check-} fails" ;;
      missing) reason="package: README.txt is missing from QV-731-9.8.7.6-win32-x64.zip" ;;
      path) reason="package: the files above hold the path of a folder they were built or staged in" ;;
      build-*) reason="stand-in: the build of ${fault#build-} fails" ;;
    esac
    grep -qxF "$reason" "$work/package-out.txt" || fail "$what: no reason given: $(cat "$work/package-out.txt")"
    [ "$(package_folder)" = "$before" ] ||
      fail "$what changed build/package: $(package_folder), not $before: $(cat "$work/package-out.txt")"
    unnamed || fail "$what left the commit and time in the 32-bit build's cache: $(cat "$copy/unset.txt" 2>/dev/null)"
  done
  # Made again, the good ZIP for the next fault.
  package || fail "package.sh failed: $(cat "$work/package-out.txt")"
done

finish "the release ZIP is made from the same files the same way, and a failed run leaves build/package as it was"

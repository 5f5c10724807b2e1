#!/usr/bin/env bash
# Runs a Windows program under Wine, with no display. The prefix: the one
# --prefix names (made on its first run; the tests and the demo give one of
# their own under the build folder, whatever WINEPREFIX says), else a
# WINEPREFIX set by hand, else the project's own in ~/.cache/qv-731/ (one for
# 32-bit and one for 64-bit programs).
# Exits 77, which CTest counts as skipped, where this machine cannot run it.
# With QV_WINE_PREPARE=1 it only makes the prefix and prints its path; where
# the program cannot run it prints nothing and exits 77, so that a caller
# never goes on with an empty path.
#
#   wine_run.sh [--prefix FOLDER] PROGRAM [ARGUMENT]...
set -u
own_prefix=0
if [ "${1:-}" = --prefix ]; then
  WINEPREFIX=${2:?--prefix needs a folder}
  own_prefix=1
  shift 2
  # In the 32-bit virtual machine (tools/vm32/) the build folder is the
  # host's, shared in (9p): Wine takes no prefix there (one owned by another
  # user, a server socket it cannot hold). The throwaway machine's own
  # prefix, made with its image, stands in. (The mount table says 9p; the
  # file system's own statistics there are the host's, ext4 or another.)
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ "$(findmnt -n -o FSTYPE -T "$(dirname "$WINEPREFIX")" 2>/dev/null)" = 9p ]; then
    unset WINEPREFIX
    own_prefix=0
  fi
fi
exe=${1:?wine_run: no program (see the top of $0)}

# The program's machine, from its PE header: 014c is i386, 8664 is x86-64.
pe=$(od -An -j60 -N4 -tu4 "$exe" 2>/dev/null | tr -d ' ')
machine=$(od -An -j$((pe + 4)) -N2 -tx2 "$exe" 2>/dev/null | tr -d ' ')
cache=${XDG_CACHE_HOME:-$HOME/.cache}/qv-731
if [ "$machine" = 8664 ]; then
  loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
  : "${WINEPREFIX:=${QV_WINEPREFIX:-$cache/wineprefix-win64}}"
  export WINEARCH=win64
else
  loader=$(command -v wine || echo /usr/lib/wine/wine)
  : "${WINEPREFIX:=${QV_WINEPREFIX:-$cache/wineprefix-win32}}"
  export WINEARCH=win32
fi
# Wine's debug output: none, or the channels QV_WINEDEBUG names (as WINEDEBUG).
export WINEPREFIX WINEDEBUG=${QV_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
# Wine keeps its server's socket in a folder under TMPDIR, which stays when
# the server ends, and the prefix names it: one place for every caller,
# whatever TMPDIR it runs with, so that all the programs of a prefix meet the
# same server. For a prefix named with --prefix that place is beside it
# (PREFIX.tmp), so that it goes with the build folder and nothing stays in
# /tmp; for the others it is /tmp.
wine_tmp=/tmp
if [ $own_prefix = 1 ]; then
  wine_tmp=$WINEPREFIX.tmp
  mkdir -p "$wine_tmp"
fi
export TMPDIR=$wine_tmp

if [ ! -x "$loader" ]; then
  echo "wine_run: no Wine for this program ($loader); tools/setup.sh installs it" >&2
  exit 77
fi
if ! out=$("$loader" --version 2>&1); then
  echo "wine_run: this machine cannot run $loader: $out" >&2
  if [ "$machine" != 8664 ]; then
    echo "wine_run: this kernel runs no 32-bit programs: use the 64-bit build of the same sources" \
      "(preset windows-x86_64, build/windows-x86_64/), or run this one in tools/vm32/run.sh" >&2
  fi
  exit 77
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$loader" wineboot -i >/dev/null 2>&1
      "$(dirname "$loader")/wineserver" -w >/dev/null 2>&1 || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# Start the prefix's server ourselves, quiet: it reports to the output of
# whoever started it, and a serial line that hangs up makes it dump its state.
"$(dirname "$loader")/wineserver" -p3 </dev/null >/dev/null 2>&1 || true
if [ "${QV_WINE_PREPARE:-0}" = 1 ]; then
  echo "$WINEPREFIX"
  exit 0
fi
exec "$loader" "$@"

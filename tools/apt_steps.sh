# Sourced by tools/setup.sh and tools/vm32/image.sh: apt's two steps, the
# package lists' update and the install, made to live through a Debian mirror
# that is out of step with itself for a while (a list of the wrong size,
# "Mirror sync in progress?"). apt's own output goes to a log; what the user
# reads are this project's own words, and a failure always ends with them.
#
# The caller sets:
#   apt_run        a command that runs apt-get with the arguments it is given,
#                  as root (on this machine, or inside the image's tree)
#   apt_say        the word its messages start with ("setup", "vm32")
#   apt_log        the file apt's output is added to
#   apt_os_release the os-release file of the system apt installs into: its
#                  codename is the release suite the install falls back to
# and may define apt_undo, which a failed install runs before its last words,
# and the user may set QV_APT_TRIES (3) and QV_APT_PAUSE (20 seconds), how often the
# update is tried and how long it waits between tries.

apt_failed_lists=

# apt_step ARGUMENTS...: runs apt-get ARGUMENTS, its output in $apt_log and in
# $apt_log.step (the last step's alone).
apt_step() {
  local rc=0
  "${apt_run[@]}" "$@" >"$apt_log.step" 2>&1 || rc=$?
  cat "$apt_log.step" >>"$apt_log"
  return $rc
}

# apt_errors: the last step's error lines, indented, at most eight; else its
# last lines (a step that failed before apt could say why: sudo, a mount).
apt_errors() {
  if grep -qE '^(E|W): ' "$apt_log.step"; then
    grep -E '^(E|W): ' "$apt_log.step" | head -n 8 | sed 's/^/  apt said: /'
  else
    tail -n 3 "$apt_log.step" | sed 's/^/  it said: /'
  fi
}

# apt_update: updates the package lists. While some cannot be fetched it
# tries again, after a pause; lists that still fail are named (in
# $apt_failed_lists too), and the install then goes on with what apt has.
apt_update() {
  local tries=${QV_APT_TRIES:-3} pause=${QV_APT_PAUSE:-20} try=1 failed
  while :; do
    if apt_step update -q && ! grep -q '^[EW]: Failed to fetch' "$apt_log.step"; then
      apt_failed_lists=
      return 0
    fi
    failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$apt_log.step" | sort -u)
    [ "$try" -lt "$tries" ] || break
    echo "$apt_say: the package lists' update failed (try $try of $tries); trying again in $pause s"
    sleep "$pause"
    try=$((try + 1))
  done
  apt_failed_lists=$failed
  if [ -n "$failed" ]; then
    echo "$apt_say: after $tries tries these package lists still cannot be fetched (the mirror may be out of step):"
    sed 's/^/  /' <<<"$failed"
  else
    echo "$apt_say: the package lists' update failed after $tries tries:"
    apt_errors
  fi
  echo "$apt_say: going on with the package lists apt has"
}

# apt_install PACKAGE...: installs the packages. Where apt cannot (with a list
# missing, the versions of one architecture may not match the other's), it
# tries once more with the release's own suite as the target, which needs no
# list of its updates. Where that fails too, it says what failed and returns 1.
apt_install() {
  local codename=
  apt_step install -y -q --no-install-recommends "$@" && return 0
  codename=$(sed -n 's/^VERSION_CODENAME=//p' "$apt_os_release" 2>/dev/null | tr -d '"' | head -n 1)
  if [ -n "$codename" ]; then
    echo "$apt_say: the install failed:"
    apt_errors
    echo "$apt_say: trying once more with the release's own suite, $codename, as the target (apt-get install -t $codename)"
    if apt_step install -y -q --no-install-recommends -t "$codename" "$@"; then
      echo "$apt_say: installed from $codename itself, not from its updates"
      return 0
    fi
  fi
  apt_errors
  # What the caller undoes before the last words (apt_undo, where it has one).
  if declare -F apt_undo >/dev/null; then apt_undo; fi
  echo "$apt_say: installing failed${codename:+, also with $codename as the target}: $*" >&2
  if [ -n "$apt_failed_lists" ]; then
    echo "$apt_say: the package lists that could not be fetched:" >&2
    sed 's/^/  /' <<<"$apt_failed_lists" >&2
  fi
  echo "$apt_say: the package mirror is probably out of step for a while: run the same command again later" >&2
  return 1
}

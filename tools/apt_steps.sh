# Sourced by tools/setup.sh and tools/vm32/image.sh: apt's two steps, the
# package lists' update and the install, made to live through a Debian mirror
# that is out of step with itself for a while (a list of the wrong size,
# "Mirror sync in progress?"). apt's own output goes to a log; what the user
# reads are this project's own words, and a failure always ends with them,
# naming its cause as apt gave it:
# - a step that failed before apt said why (sudo refused, a mount failed)
#   stops at once, with what it said;
# - apt's lock held by another program stops at once: wait for it, then run
#   the same command again;
# - lists or packages that could not be fetched, or were of the wrong size or
#   hash, are the mirror's: the update is tried again, the install falls back
#   to the release's own suite, and where nothing helps the advice is to run
#   the command again later;
# - any other error of apt's (a full disk, a package apt does not know) is
#   shown as apt's own lines, and is not tried again.
#
# The caller sets:
#   apt_run        a command that runs apt-get with the arguments it is given,
#                  as root (on this machine, or inside the image's tree)
#   apt_say        the word its messages start with ("setup", "vm32")
#   apt_dir        a folder of its own (mktemp -d) for the last step's log,
#                  which the caller removes on every exit
#   apt_log        the file apt's output is added to
#   apt_os_release the os-release file of the system apt installs into: its
#                  codename is the release suite the install falls back to
# and may define apt_undo, which a failed step runs before its last words,
# and the user may set QV_APT_TRIES (3) and QV_APT_PAUSE (20 seconds), how often the
# update is tried and how long it waits between tries.

apt_failed_lists=

# apt_step ARGUMENTS...: runs apt-get ARGUMENTS, its output in $apt_log and in
# $apt_dir/step.log (the last step's alone).
apt_step() {
  local rc=0
  "${apt_run[@]}" "$@" >"$apt_dir/step.log" 2>&1 || rc=$?
  cat "$apt_dir/step.log" >>"$apt_log"
  return $rc
}

# apt_cause: why the last step failed, as it said: "lock" (another program
# holds apt's lock), "other" (an error of apt's that is not the mirror's),
# "mirror" (a list or package that could not be fetched, or of the wrong size
# or hash), or "start" (no error of apt's: the step failed before apt said
# why).
apt_cause() {
  local step=$apt_dir/step.log
  if grep -q '^E: Could not get lock ' "$step"; then
    echo lock
  elif grep -E '^E: ' "$step" | grep -qvE '^E: (Failed to fetch|Some index files failed to download)'; then
    echo other
  elif grep -qE '^[EW]: Failed to fetch|^E: ' "$step"; then
    echo mirror
  else
    echo start
  fi
}

# apt_errors: the last step's error lines, indented, at most eight; else its
# last lines (a step that failed before apt could say why: sudo, a mount).
apt_errors() {
  if grep -qE '^(E|W): ' "$apt_dir/step.log"; then
    grep -E '^(E|W): ' "$apt_dir/step.log" | head -n 8 | sed 's/^/  apt said: /'
  else
    tail -n 3 "$apt_dir/step.log" | sed 's/^/  it said: /'
  fi
}

# apt_stop WHAT: the last words on a step (WHAT) that failed before apt said
# why, or on apt's lock held by another program: what the step said, what the
# caller undoes (apt_undo), then the cause. Returns 1.
apt_stop() {
  local said cause
  cause=$(apt_cause)
  if [ "$cause" = lock ]; then
    apt_errors >&2
  else
    said=$(grep -v '^[[:space:]]*$' "$apt_dir/step.log" | tail -n 3)
    [ "$(grep -c . <<<"$said")" -lt 2 ] || head -n -1 <<<"$said" | sed 's/^/  it said: /' >&2
    said=${said##*$'\n'}
  fi
  if declare -F apt_undo >/dev/null; then apt_undo; fi
  if [ "$cause" = lock ]; then
    echo "$apt_say: another program is using apt (it holds apt's lock, as apt said above): wait for it to" \
      "finish, then run the same command again" >&2
  else
    echo "$apt_say: stopped: $1 failed: ${said:-it said nothing}" >&2
  fi
  return 1
}

# apt_update: updates the package lists. While some cannot be fetched it
# tries again, after a pause; lists that still fail are named (in
# $apt_failed_lists too), and the install then goes on with what apt has, as
# it does after another error of apt's, which it shows. A step that failed
# before apt said why, or on apt's lock, stops (returns 1).
apt_update() {
  local tries=${QV_APT_TRIES:-3} pause=${QV_APT_PAUSE:-20} try=1 failed= cause
  while :; do
    if apt_step update -q && ! grep -q '^[EW]: Failed to fetch' "$apt_dir/step.log"; then
      apt_failed_lists=
      return 0
    fi
    cause=$(apt_cause)
    [ "$cause" = mirror ] || break
    failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$apt_dir/step.log" | sort -u)
    [ "$try" -lt "$tries" ] || break
    echo "$apt_say: the package lists' update failed (try $try of $tries); trying again in $pause s"
    sleep "$pause"
    try=$((try + 1))
  done
  case $cause in
    start | lock)
      apt_stop "the package lists' update"
      return 1
      ;;
    mirror)
      apt_failed_lists=$failed
      if [ -n "$failed" ]; then
        echo "$apt_say: after $tries tries these package lists still cannot be fetched (the mirror may be out of step):"
        sed 's/^/  /' <<<"$failed"
      else
        echo "$apt_say: the package lists' update failed after $tries tries:"
        apt_errors
      fi
      ;;
    *)
      echo "$apt_say: the package lists' update failed:"
      apt_errors
      ;;
  esac
  echo "$apt_say: going on with the package lists apt has"
}

# apt_install PACKAGE...: installs the packages. Where apt cannot for the
# mirror's sake (with a list missing, the versions of one architecture may
# not match the other's), it tries once more with the release's own suite as
# the target, which needs no list of its updates. Where that fails too, or
# apt fails otherwise, it says what failed and returns 1.
apt_install() {
  local codename= cause
  apt_step install -y -q --no-install-recommends "$@" && return 0
  cause=$(apt_cause)
  # With lists the update could not fetch, what apt cannot install may be
  # missing from them.
  [ "$cause" != other ] || [ -z "$apt_failed_lists" ] || cause=mirror
  case $cause in start | lock) apt_stop "the install" || return 1 ;; esac
  if [ "$cause" = mirror ]; then
    codename=$(sed -n 's/^VERSION_CODENAME=//p' "$apt_os_release" 2>/dev/null | tr -d '"' | head -n 1)
  fi
  if [ -n "$codename" ]; then
    echo "$apt_say: the install failed:"
    apt_errors
    echo "$apt_say: trying once more with the release's own suite, $codename, as the target (apt-get install -t $codename)"
    if apt_step install -y -q --no-install-recommends -t "$codename" "$@"; then
      echo "$apt_say: installed from $codename itself, not from its updates"
      return 0
    fi
    case $(apt_cause) in start | lock) apt_stop "the install" || return 1 ;; esac
  fi
  apt_errors
  # What the caller undoes before the last words (apt_undo, where it has one).
  if declare -F apt_undo >/dev/null; then apt_undo; fi
  if [ "$cause" != mirror ]; then
    echo "$apt_say: installing failed, for the reason apt gave above: $*" >&2
    return 1
  fi
  echo "$apt_say: installing failed${codename:+, also with $codename as the target}: $*" >&2
  if [ -n "$apt_failed_lists" ]; then
    echo "$apt_say: the package lists that could not be fetched:" >&2
    sed 's/^/  /' <<<"$apt_failed_lists" >&2
  fi
  echo "$apt_say: the package mirror is probably out of step for a while: run the same command again later" >&2
  return 1
}

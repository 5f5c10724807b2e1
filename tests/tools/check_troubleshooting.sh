#!/usr/bin/env bash
# The troubleshooting page holds every text the driver can give a user, as
# the sources have it: a new text without a row, or a row whose text the
# driver does not give, fails.
#
# The texts are taken from the sources, each by where it is made:
# - the messages of the port's failures (every literal given to
#   FormatLastError, also one of a choice: a ? "..." : "..."), and the
#   form of an error the system has no description for (what is written into
#   the system text when there is none);
# - the texts the driver hands back or logs as failures: returned or logged
#   under "Error" as a literal or a named constant (the identity answers of
#   driver/identity.cpp are no failures);
# - what it prints on standard output (the log it cannot open);
# - every description of the native layer's table of system texts.
# Each must appear in a table row of the page (a printf conversion in a text
# stands for any word there: "error N"). Backwards, every quoted text in the
# first column of the page's two tables of texts must be one of them, or a
# message, " : " and a description.
#
#   check_troubleshooting.sh SOURCE_DIR [PAGE]
set -uo pipefail
source_dir=$(cd "$1" && pwd)
page=${2:-$source_dir/docs/troubleshooting.md}
cd "$source_dir" || exit 1
source "$source_dir/tests/support/checks.sh"
[ -f "$page" ] || {
  echo "FAIL: no page $page"
  exit 1
}

driver_sources=(driver/*.cpp diagnostics/*.cpp)
failure_sources=()
for file in "${driver_sources[@]}"; do
  [ "$file" = driver/identity.cpp ] || failure_sources+=("$file")
done
# literal_of NAME: the text of the constant NAME, from its definition.
literal_of() {
  sed -n "s/.*const char $1\[\] = \"\(.*\)\";.*/\1/p" "${driver_sources[@]}" | head -n 1
}
# strings: the literals of the matches read on standard input, one a line.
strings() { grep -o '"[^"]*"' | sed 's/^"//; s/"$//'; }

messages=$(grep -ho 'FormatLastError([^;]*' "${driver_sources[@]}" | strings)
no_description=$(grep -ho 'snprintf(g_log\.systemText,[^"]*"[^"]*"' "${driver_sources[@]}" | strings)
returned=$({
  grep -hoE '(return|LogLine\("Error",) "[^"]*"' "${failure_sources[@]}" | sed 's/^[^"]*//' | strings
  for name in $(grep -hoE '(return|LogLine\("Error",) k[A-Za-z0-9_]+' "${failure_sources[@]}" | sed 's/.* //' | sort -u); do
    text=$(literal_of "$name")
    if [ -n "$text" ]; then echo "$text"; else echo "FAIL: no text found for the constant $name" >&2; fi
  done
})
printed=$(grep -hoE '(fputs|printf|puts)\("[^"]*"' "${driver_sources[@]}" | strings)
descriptions=$(awk '/kDescriptions\[\] = \{/ { on = 1; next } on && /^};/ { on = 0 } on' \
  platform/posix/win32_posix.cpp | strings | sed 's/\\r\\n$//')

# An empty kind means that the sources changed their shape, not that the
# driver has no such text.
for kind in messages no_description returned printed descriptions; do
  [ -n "${!kind}" ] || fail "no $kind found in the sources: the check no longer reads them"
done

# pattern TEXT: the text as an extended regular expression; a printf
# conversion stands for one word.
pattern() {
  sed -e 's/[][\.*^$+?(){}|/]/\\&/g' -e 's/%[-+ #0-9.]*[hlLqjzt]*[diouxXeEfgGcsp]/[0-9A-Za-z]+/g' <<<"$1"
}
rows=$(grep '^|' "$page")
all=$(printf '%s\n' "$messages" "$no_description" "$returned" "$printed" "$descriptions" | sed '/^$/d' | sort -u)
while IFS= read -r text; do
  grep -qE -- "$(pattern "$text")" <<<"$rows" || fail "the page has no row for \"$text\""
done <<<"$all"

# known PIECE: whether PIECE is one of the texts (or fits a form).
patterns=()
while IFS= read -r text; do
  patterns+=("$(pattern "$text")")
done <<<"$all"
known() {
  local each
  for each in "${patterns[@]}"; do
    [[ $1 =~ ^$each$ ]] && return 0
  done
  return 1
}
# The quoted texts of the first column, in the two tables of texts.
quoted=$(awk '/^## / { on = /^## By the text/ || /^## The system.s description/ } on && /^\|/' "$page" |
  awk -F'|' '$2 !~ /^ *-+ *$/ { print $2 }' | grep -o '`[^`]*`' | tr -d '`')
for heading in "## By the text" "## The system's description"; do
  grep -q "^$heading" "$page" || fail "the page has no table of texts under \"$heading...\""
done
while IFS= read -r text; do
  [ -n "$text" ] || continue
  known "$text" && continue
  message=${text%% : *}
  rest=${text#"$message"}
  rest=${rest# : }
  if ! known "$message" || { [ -n "$rest" ] && ! known "$rest"; }; then
    fail "the page lists \"$text\", which the driver does not give"
  fi
done <<<"$quoted"

finish "the troubleshooting page has a row for each of the driver's $(wc -l <<<"$all") texts, and lists no other"

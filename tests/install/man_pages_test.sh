#!/usr/bin/env bash
# The manual pages against the command line's own help, and their rendering.
#
#   man_pages_test.sh <tarnel-cli> <folder of the pages>
#
# tarnel-cli.1 must describe, under ".SS <command>", every command that
# "tarnel-cli --help" lists, and there every option of "tarnel-cli <command>
# --help" (as \-\-name) and every positional argument (as a ".I name" line),
# each in the tag of an entry of its own: the line right after a ".TP". The
# options of "tarnel-cli --help" belong under ".SH OPTIONS", tagged the same
# way. So an option added to the program fails here until its page says what
# it does, and an entry whose .TP is missing (its option then runs on in the
# paragraph before) fails too. Both pages must render with man(1) without a
# warning.
set -euo pipefail
cli=$1
pages=$2
page=$pages/tarnel-cli.1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Entries of one section of a help text on standard input: the names (commas kept).
section_entries() {
  awk -v s="$1:" '$0 == s { on = 1; next } /^[^ ]/ || /^$/ { on = 0 } on && /^  [^ ]/ { print $1 }'
}
# The text of a page section starting at a line matching $1, up to the next
# heading of the same or a higher level, with roff escapes of names undone.
page_part() {
  awk -v start="$1" -v stop="$2" '$0 ~ start { on = 1; next } on && $0 ~ stop { on = 0 } on' "$page" |
    sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g'
}
mentions_option() {  # text, option name
  grep -qE -- "(^|[^A-Za-z0-9-])$2([^A-Za-z0-9-]|\$)" <<<"$1"
}
# The tag lines of the .TP entries in a page part.
entry_tags() {
  awk '$0 == ".TP" { tag = 1; next } tag { print; tag = 0 }' <<<"$1"
}

commands=$("$cli" --help | section_entries Subcommands)
[ -n "$commands" ] || fail "tarnel-cli --help lists no commands"

options=$(entry_tags "$(page_part '^\.SH OPTIONS' '^\.SH ')")
for names in $("$cli" --help | section_entries Options); do
  for name in ${names//,/ }; do
    mentions_option "$options" "$name" || fail "tarnel-cli.1: OPTIONS has no .TP entry for $name"
  done
done

for command in $commands; do
  text=$(page_part "^\\.SS \"?$command\"?\$" '^\.S[SH] ')
  if [ -z "$text" ]; then
    fail "tarnel-cli.1: no .SS $command section"
    continue
  fi
  tags=$(entry_tags "$text")
  help=$("$cli" "$command" --help)
  # A command made of commands (keylist import, ...) describes theirs in its own section.
  helps=("$help")
  for inner in $(section_entries Subcommands <<<"$help"); do helps+=("$("$cli" "$command" "$inner" --help)"); done
  for help in "${helps[@]}"; do
    for names in $(section_entries Options <<<"$help"); do
      [ "$names" = "-h,--help" ] && continue  # described once, under OPTIONS
      for name in ${names//,/ }; do
        mentions_option "$tags" "$name" || fail "tarnel-cli.1: '$command' has no .TP entry for $name"
      done
    done
    for name in $(section_entries Positionals <<<"$help"); do
      grep -qx -- ".I $name" <<<"$tags" || fail "tarnel-cli.1: '$command' has no .TP entry for the argument $name"
    done
  done
done

# No section for a command that is gone.
for documented in $(page_part '^\.SH COMMANDS' '^\.SH ' | awk '$1 == ".SS" { gsub(/"/, "", $2); print $2 }'); do
  grep -qx -- "$documented" <<<"$commands" || fail "tarnel-cli.1 describes '$documented', which tarnel-cli does not have"
done

for file in "$pages"/*.1; do
  warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$file" 2>&1 >/dev/null) || fail "man cannot render $file"
  [ -z "$warnings" ] || fail "$file renders with warnings: $warnings"
done

[ "$failures" -eq 0 ] || exit 1
echo "manual pages match tarnel-cli's help and render cleanly"

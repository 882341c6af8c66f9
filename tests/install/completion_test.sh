#!/usr/bin/env bash
# The bash completion of tarnel-cli, loaded as bash-completion loads it and
# asked as bash asks it on Tab.
#
#   completion_test.sh <tarnel-cli> <completion script>
set -uo pipefail
cli=$1
script=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# shellcheck source=/dev/null
source /usr/share/bash-completion/bash_completion || { echo "FAIL: bash-completion is missing" >&2; exit 1; }
# shellcheck source=/dev/null
source "$script" || { echo "FAIL: $script does not load" >&2; exit 1; }
[[ $(complete -p tarnel-cli 2>/dev/null) == *"-F _tarnel_cli"* ]] || fail "no completion registered for tarnel-cli"

# The program as a user has it: on the PATH under its own name.
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
ln -s "$(realpath "$cli")" "$bin/tarnel-cli"
PATH=$bin:$PATH
mkdir -p "$bin/work/images" && touch "$bin/work/table.xml"
cd "$bin/work" || exit 1

# The candidates for the command line $1 (the cursor at its end), sorted, one a line.
candidates() {
  COMP_LINE=$1
  COMP_POINT=${#COMP_LINE}
  read -ra COMP_WORDS <<<"$COMP_LINE"
  [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tarnel_cli tarnel-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort
}
expect() {  # command line, expected candidates (one string, blank separated)
  local got want
  got=$(candidates "$1" | xargs)
  want=$(tr ' ' '\n' <<<"$2" | sort | xargs)
  [[ $got == "$want" ]] || fail "'$1': got '$got', want '$want'"
}

expect "tarnel-cli " "demo help info keygen keylist make signapk verify version"
expect "tarnel-cli ma" "make"
expect "tarnel-cli --v" "--version"
expect "tarnel-cli make --b" "--board"
expect "tarnel-cli make --d" "--default-output"
expect "tarnel-cli make --board " "0 1 2 3 4 5 Qm5820RA100 Qm5820SB300 Qm5820RA200 Qm5825RA100 Qm5825SB100 Qm5820SB400"
expect "tarnel-cli make --board Qm5825" "Qm5825RA100 Qm5825SB100"
expect "tarnel-cli make -b qm5825" "qm5825ra100 qm5825sb100"
expect "tarnel-cli make -o " "images"
expect "tarnel-cli make --config " "images table.xml"
expect "tarnel-cli make --config t" "table.xml"
expect "tarnel-cli make --output " "images"
expect "tarnel-cli make --default-output --home " "images"
expect "tarnel-cli keygen --force " "images table.xml"
expect "tarnel-cli demo " "images"
expect "tarnel-cli verify --a" "--android-cert"
expect "tarnel-cli make --r" "--report"
expect "tarnel-cli keylist " "check export-public import"
expect "tarnel-cli keylist im" "import"
expect "tarnel-cli keylist import --e" "--external"
expect "tarnel-cli keylist import -o " "images table.xml"
expect "tarnel-cli keylist export-public --role " "external root"
expect "tarnel-cli keylist check " "images table.xml"

[ "$failures" -eq 0 ] || exit 1
echo "the completion script loads and completes commands, options, boards, files and folders"

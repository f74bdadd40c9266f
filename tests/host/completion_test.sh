#!/usr/bin/env bash
# Loads the bash completion as bash-completion does and checks what it
# offers on a few command lines, in a folder with an ACBC file, a text file
# and a subfolder. Then, for every command the program lists, the long
# options of its --help must all be offered by the bash completion and be
# named in the zsh and fish ones (which are syntax-checked where those
# shells are installed).
#
#   completion_test.sh PROGRAM COMPLETIONS_DIR
set -uo pipefail
program=$(realpath "$1") dir=$(realpath "$2")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion || { echo "FAIL: bash-completion missing" >&2; exit 1; }
# shellcheck disable=SC1091
source "$dir/pellfold.bash"

# The replies, sorted on one line, for a command line whose last word is
# being completed. Words are split as bash splits them (a colon is a word
# of its own, as COMP_WORDBREAKS has it).
complete_line() {
  COMP_LINE=$1 COMP_POINT=${#1}
  read -ra COMP_WORDS <<<"${COMP_LINE//:/ : }"
  [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _pellfold pellfold "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

cd "$tmp" && touch notes.acbc notes.txt && mkdir box
export PELLFOLD_TEST_SECRET=x
while IFS='|' read -r line expected; do
  got=$(complete_line "$line")
  [ "$got" = "$expected" ] || fail "'$line' offers '$got', expected '$expected'"
done <<'TABLE'
pellfold |decrypt encrypt hash help inspect rekey upgrade verify
pellfold --v|--version
pellfold in|inspect
pellfold decrypt |box notes.acbc
pellfold decrypt notes.acbc |box notes.acbc notes.txt
pellfold decrypt -m notes.acbc |box notes.acbc
pellfold decrypt --pass pass:pw |box notes.acbc
pellfold verify --sal|
pellfold decrypt --sal|--salvage
pellfold encrypt notes|notes.acbc notes.txt
pellfold encrypt --pass |env: fd: file: pass: stdin
pellfold encrypt -p f|fd: file:
pellfold rekey --new-pass env:PELLFOLD_TEST_S|PELLFOLD_TEST_SECRET
pellfold encrypt --pass=file:notes.t|notes.txt
pellfold hash -k s|stdin
pellfold hash |hmac-md5 md5 sha256
pellfold hash sha256 no|notes.acbc notes.txt
pellfold help re|rekey
pellfold decrypt -r |box
pellfold encrypt -m -o |box
pellfold rekey --re|--remove-input
pellfold encrypt --format |acbc age
pellfold upgrade |box notes.acbc
pellfold decrypt -i notes.t|notes.txt
TABLE

# Every command and every long option the program documents is completed.
commands=$("$program" --help | awk '/^Commands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } /^$/ { on = 0 }')
[ -n "$commands" ] || fail "no commands in pellfold --help"
for command in $commands; do
  offered=" $(complete_line "pellfold ${command:0:3}") "
  [[ $offered == *" $command "* ]] || fail "command $command not completed"
  [ "$command" = help ] && continue
  offered=" $(complete_line "pellfold $command --") "
  for option in $("$program" "$command" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
    [[ $offered == *" $option "* ]] || fail "bash: $command $option not completed"
    grep -q -- "$option\\b" "$dir/_pellfold" || fail "zsh: $option not named"
    grep -q -- "-l ${option#--}\\b" "$dir/pellfold.fish" || fail "fish: $option not named"
  done
done

if command -v zsh >/dev/null; then zsh -n "$dir/_pellfold" || fail "zsh syntax"; fi
if command -v fish >/dev/null; then
  fish -n "$dir/pellfold.fish" || fail "fish syntax"
  # What fish offers, candidates only, sorted on one line.
  fish_offers() {
    fish -c "source $dir/pellfold.fish; complete -C '$1'" | cut -f1 | sort | tr '\n' ' ' | sed 's/ $//'
  }
  [ "$(fish_offers 'pellfold decrypt ')" = "box/ notes.acbc" ] || fail "fish: decrypt operands"
  [ "$(fish_offers 'pellfold verify --pass e')" = "env:" ] || fail "fish: password sources"
  [ "$(fish_offers 'pellfold rekey --n')" = "--new-pass" ] || fail "fish: rekey options"
fi
[ "$failures" = 0 ] || exit 1
echo "completions ok"

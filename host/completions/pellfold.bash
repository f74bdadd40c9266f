# bash completion for pellfold                             -*- shell-script -*-
#
# Loaded by bash-completion on demand (installed as
# share/bash-completion/completions/pellfold). Completes the commands, each
# command's options, the password and key sources after --pass, --new-pass
# and --key, the formats after --format, and file names: *.acbc and *.age
# (and folders) where a command reads encrypted files, any file elsewhere.

# The options of each command, in one word list per command. A new option
# goes into its command's list; one that takes a value also goes into the
# matching case in _pellfold.
_pellfold_options() {
  case $1 in
    encrypt) echo "--pass -p --format --recipient --recipients-file -R --armor -a --work-factor --force -f --multifile -m --recursive -r --output-dir -o --preserve --remove-input --jobs -j --quiet -q --json --help -h" ;;
    decrypt) echo "--pass -p --identity -i --max-work-factor --force -f --multifile -m --recursive -r --output-dir -o --preserve --remove-input --accept-weak-check --salvage --range --jobs -j --quiet -q --json --help -h" ;;
    rekey) echo "--pass -p --new-pass --work-factor --max-work-factor --accept-weak-check --force -f --preserve --remove-input --quiet -q --help -h" ;;
    upgrade) echo "--pass -p --new-pass --recipient --recipients-file -R --armor -a --work-factor --force -f --multifile -m --recursive -r --output-dir -o --preserve --remove-input --accept-weak-check --jobs -j --quiet -q --json --help -h" ;;
    verify) echo "--pass -p --identity -i --max-work-factor --recursive -r --jobs -j --json --help -h" ;;
    inspect) echo "--json --help -h" ;;
    hash) echo "--key -k --check -c --tag --quiet -q --status --jobs -j --help -h" ;;
  esac
}

# Completes a password or key source: pass:TEXT, env:VAR (from the exported
# variables), file:PATH (from the file names), fd:N or stdin.
_pellfold_secret_source() {
  local cur=$1
  case $cur in
    env:*) COMPREPLY=($(compgen -P env: -e -- "${cur#env:}")) ;;
    file:*)
      local IFS=$'\n'
      COMPREPLY=($(compgen -P file: -f -- "${cur#file:}"))
      compopt -o filenames 2>/dev/null
      ;;
    *)
      COMPREPLY=($(compgen -W "pass: env: file: fd: stdin" -- "$cur"))
      [[ ${COMPREPLY[*]} == *: ]] && compopt -o nospace 2>/dev/null
      ;;
  esac
  # "pass:" and the like contain a colon, which bash treats as a word break.
  __ltrim_colon_completions "$cur"
}

_pellfold() {
  local cur prev words cword split
  _init_completion -s -n : || return

  # The command is the first word after "pellfold" that is not an option;
  # the operands before the cursor are counted, and -m noted.
  local command="" operands=0 multifile="" recursive="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --pass | -p | --new-pass | --key | -k | --output-dir | -o | --jobs | -j | --format | --recipient | \
        --recipients-file | -R | --identity | -i | --work-factor | --max-work-factor | --range) ((i++)) ;;  # a value, not an operand
      -m | --multifile) multifile=1 ;;
      -r | --recursive) recursive=1 ;;
      -*) ;;
      *) if [[ -z $command ]]; then command=${words[i]}; else ((operands++)); fi ;;
    esac
  done

  case $prev in
    --pass | -p | --new-pass | --key | -k)
      [[ -n $command ]] && { _pellfold_secret_source "$cur"; return; }
      ;;
  esac
  case $prev in
    --output-dir | -o) [[ -n $command ]] && { _filedir -d; return; } ;;
    --jobs | -j | --recipient | --work-factor | --max-work-factor) [[ -n $command ]] && return ;;
    --format) [[ -n $command ]] && { COMPREPLY=($(compgen -W "acbc age" -- "$cur")); return; } ;;
    --recipients-file | -R | --identity | -i) [[ -n $command ]] && { _filedir; return; } ;;
  esac
  $split && return  # --unknown=VALUE: nothing to offer

  # With -r the operands are folders.
  if [[ -n $recursive && $cur != -* ]]; then
    _filedir -d
    return
  fi

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "--help --version" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "encrypt decrypt rekey upgrade verify inspect hash help" -- "$cur"))
    fi
    return
  fi

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$(_pellfold_options "$command")" -- "$cur"))
    return
  fi

  case $command in
    encrypt) _filedir ;;
    decrypt)
      # INPUT is ACBC or age; OUTPUT (the second operand, without -m) is any file.
      if [[ -z $multifile && $operands -ge 1 ]]; then _filedir; else _filedir '@(acbc|age)'; fi
      ;;
    rekey | verify | inspect) _filedir '@(acbc|age)' ;;
    upgrade) _filedir acbc ;;
    hash)
      if [[ $operands -eq 0 ]]; then
        COMPREPLY=($(compgen -W "md5 sha256 hmac-md5" -- "$cur"))
      else
        _filedir
      fi
      ;;
    help)
      [[ $operands -eq 0 ]] &&
        COMPREPLY=($(compgen -W "encrypt decrypt rekey upgrade verify inspect hash" -- "$cur"))
      ;;
  esac
} &&
  complete -F _pellfold pellfold

# ex: filetype=sh

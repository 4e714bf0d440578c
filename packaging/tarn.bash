# bash completion for tarn: switches (recognised anywhere before a lone "-"
# or "--"); the source and the target as paths; after them, a filter that
# starts with "+" or "-" as the names below the source.
_tarn() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local i word switches=1 source="" positionals=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((switches)) && [[ $word == - || $word == -- ]]; then
      switches=0
    elif ((switches)) && [[ $word == [-/][pP] ]]; then
      source=/dev/null/none  # a virtual empty source: no names to offer
      ((positionals++))
    elif ((switches)) && [[ $word == [-/][rR] ]]; then
      ((positionals++))  # a virtual empty target
    elif ((switches)) && [[ $word == -? || $word == --* || $word == /? || $word == -[jJ][0-9]* ]]; then
      :
    else
      ((positionals++ == 0)) && [[ -z $source ]] && source=$word
    fi
  done
  local all_switches=$'-a\n-c\n-d\n-e\n-i\n-j\n-k\n-p\n-q\n-r\n-s\n-t\n-v\n-h\n-\n--\n--help\n--version'
  if ((switches)) && ((positionals < 2)) && [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$all_switches" -- "$cur"))
    return
  fi
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  if ((positionals >= 2)) && [[ $cur == [+-]* ]] && [[ -d $source ]]; then
    # Names relative to the source, the sign kept in front.
    local sign=${cur:0:1} name
    COMPREPLY=()
    for name in $(cd -- "$source" 2>/dev/null && compgen -f -- "${cur:1}"); do
      [[ -d $source/$name ]] && name+=/
      COMPREPLY+=("$sign$name")
    done
    # A "-" word may still be a switch.
    ((switches)) && [[ $sign == - ]] && COMPREPLY+=($(compgen -W "$all_switches" -- "$cur"))
    compopt +o filenames -o nospace 2>/dev/null
    return
  fi
  COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _tarn tarn

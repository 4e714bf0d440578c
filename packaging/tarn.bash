# bash completion for tarn: switches (recognised anywhere before a lone "-"),
# otherwise paths: the source, the target, and names for filters.
_tarn() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local i
  for ((i = 1; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == - ]] && break
  done
  if ((i == COMP_CWORD)) && [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "-a -d -e -i -k -p -q -r -t -v -h -" -- "$cur"))
    return
  fi
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _tarn tarn

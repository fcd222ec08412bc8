# Bash completion for firmsmith-cli and transloom-cli. Commands and options
# come from the tools' own --help, so they follow the program they complete.
# Use: source <program folder>/completion/firmsmith-tools.bash
_firmsmith_tools() {
  local cur=${COMP_WORDS[COMP_CWORD]} tool=${COMP_WORDS[0]} command="" i
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -*) ;;
      *) command=${COMP_WORDS[i]}; break ;;
    esac
  done
  local words
  if [ -z "$command" ]; then
    words="$("$tool" --help 2>/dev/null | sed -n 's/^  \([a-z][a-z0-9-]*\) .*/\1/p') -v -q -h --help --version"
  elif [[ $cur == -* ]]; then
    words="$("$tool" "$command" --help 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u) -v -q -h"
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    return
  fi
  mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -o filenames -F _firmsmith_tools firmsmith-cli transloom-cli

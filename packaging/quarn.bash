# Bash completion for quarn: the option words with their speeds and line
# modes, the memory commands' names and files, and files (scripts, images).
# Bash breaks words at '@', '<' and '>' (COMP_WORDBREAKS); the word readline
# completes, $2, runs from the word's start or its open quote.
_quarn() {
  local cur=${2//\\/} f k
  COMPREPLY=()
  if [[ $cur == @*[\<\>]* ]]; then
    # A memory command's file after its '<' or '>', the command kept as
    # typed. A folder alone is opened: completing it closes no quote.
    local head=${cur%%[<>]*}
    head=${cur:0:${#head}+1}
    mapfile -t f < <(compgen -f -- "${cur:${#head}}")
    [[ ${#f[@]} == 1 && -d $f ]] && mapfile -t f < <(echo "${f%/}/"; compgen -f -- "${f%/}/")
    for k in "${f[@]}"; do
      [[ -d $k && $k != */ ]] && k+=/
      COMPREPLY+=("$head$k")
    done
  elif [[ $cur == @* ]]; then
    # A memory command's name, and with one its form: a name alone would
    # close the user's quote, and the address is still to come.
    compopt +o filenames
    mapfile -t COMPREPLY < <(compgen -W "@binget @hexget @binput @bincmp" -- "$cur")
    case ${#COMPREPLY[@]}$COMPREPLY in
      1@*get) COMPREPLY+=("${COMPREPLY}AAAAAA,CCCCCC>FILE") ;;
      1@*) COMPREPLY+=("${COMPREPLY}AAAAAA<FILE") ;;
    esac
  else
    mapfile -t COMPREPLY < <(compgen -W "p3f8 p2f8 i4 b2400 b4800 b9600 b19200 b38400 b57600 b115200 m0 m1 m2
      m3 m4 old verify -h --help --version --ports --wait --report=" -- "$cur"; compgen -f -- "$cur")
  fi
}
complete -o filenames -F _quarn quarn

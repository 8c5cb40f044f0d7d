# Bash completion for quarn: the option words with their speeds and line
# modes, the memory commands' names, and files (scripts and images).
_quarn() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local words="p3f8 p2f8 i4 b2400 b4800 b9600 b19200 b38400 b57600 b115200 m0 m1 m2 m3 m4
    old verify @binget @hexget @binput @bincmp -h --help --version --ports --wait --report="
  mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur"; compgen -f -- "$cur")
}
complete -o filenames -F _quarn quarn

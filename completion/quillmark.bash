# bash completion for quillmark and quillmark-dict
# Installed as share/bash-completion/completions/quillmark (and
# quillmark-dict); it can also be sourced by hand from ~/.bashrc.

# The word being completed and the one before it, with "--name=value" taken
# apart: bash splits it at "=" into "--name", "=", "value".
_quillmark_words() {
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  if [[ $cur == "=" ]]; then
    cur=  # "--rule=": prev is the option already
  elif [[ $prev == "=" && $COMP_CWORD -ge 2 ]]; then
    prev=${COMP_WORDS[COMP_CWORD-2]}  # "--rule=ent"
  fi
}

_quillmark_files() {
  compopt -o filenames 2>/dev/null
  local IFS=$'\n'
  COMPREPLY=($(compgen -f -- "$cur"))
}

_quillmark_folders() {
  compopt -o filenames 2>/dev/null
  local IFS=$'\n'
  COMPREPLY=($(compgen -d -- "$cur"))
}

_quillmark() {
  local cur prev
  _quillmark_words

  local program=${COMP_WORDS[0]}
  command -v "$program" >/dev/null 2>&1 || program=quillmark

  case $prev in
    -o|--output|--ca-file|--files-from)
      _quillmark_files
      return
      ;;
    --data)
      _quillmark_folders
      return
      ;;
    --rule|--no-rule)
      # Short names as the program lists them, e.g. "entropy".
      local rules
      rules=$("$program" --list-rules 2>/dev/null | awk '{ print $2 }')
      COMPREPLY=($(compgen -W "$rules" -- "$cur"))
      return
      ;;
    -j|--jobs)
      COMPREPLY=($(compgen -W "$(seq 1 "$(nproc 2>/dev/null || echo 4)")" -- "$cur"))
      return
      ;;
    --threshold|--max-filesize|--exclude|--exclude-dir)
      return  # a value of the user's own
      ;;
  esac

  # The command comes first.
  if [[ $COMP_CWORD -eq 1 ]]; then
    COMPREPLY=($(compgen -W "scan help version --help -h --version -V --list-rules" -- "$cur"))
    return
  fi
  [[ ${COMP_WORDS[1]} == scan ]] || return

  # After "--" everything is a path.
  local i
  for ((i = 2; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == -- ]] && { _quillmark_files; return; }
  done

  if [[ $cur == -* ]]; then
    local options="--json -o --output -q --quiet --data --ca-file -j --jobs --threshold
      --rule --no-rule --list-rules --max-filesize --files-from -0 --null --exclude
      --exclude-dir --one-file-system --follow-symlinks --no-summary --no-progress
      -h --help --"
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  _quillmark_files
}

_quillmark_dict() {
  local cur prev
  _quillmark_words

  case $prev in
    -o|--output)
      _quillmark_files
      return
      ;;
    -k|--kind)
      COMPREPLY=($(compgen -W "threats bwlists sysfiles scheme" -- "$cur"))
      return
      ;;
    --scheme-counts)
      COMPREPLY=($(compgen -W "occurrences log" -- "$cur"))
      return
      ;;
  esac

  if [[ $COMP_CWORD -eq 1 ]]; then
    COMPREPLY=($(compgen -W "build dump --help -h --version -V" -- "$cur"))
    return
  fi
  if [[ ${COMP_WORDS[1]} == build && $cur == -* ]]; then
    COMPREPLY=($(compgen -W "-k --kind --scheme-counts -o --output -h --help" -- "$cur"))
    return
  fi
  _quillmark_files
}

complete -F _quillmark quillmark
complete -F _quillmark_dict quillmark-dict

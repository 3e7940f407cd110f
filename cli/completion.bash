# bash completion for qzb: commands, options, archives (and mount's directory), and for cat,
# extract and hash the entry names of the archive on the line.
_qzb() {
    local cur=${COMP_WORDS[COMP_CWORD]} command=${COMP_WORDS[1]}
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "list test extract cat hash verify mount --help --version" -- "$cur")
        return
    fi
    case ${COMP_WORDS[COMP_CWORD - 1]} in
    --on-conflict)
        mapfile -t COMPREPLY < <(compgen -W "skip overwrite rename error" -- "$cur")
        return
        ;;
    --files-from)
        compopt -o filenames
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --strip-components | --threads) return ;;
    esac
    if [[ ${COMP_WORDS[COMP_CWORD - 1]} == --encoding ]]; then
        mapfile -t COMPREPLY < <(compgen -W "auto raw utf-8 CP932 SHIFT_JIS GBK GB18030 CP949 BIG5 \
            CP950 CP1250 CP1251 CP1252 CP1253 CP437 CP850 CP866" -- "$cur")
        return
    fi
    case ${COMP_WORDS[COMP_CWORD - 1]} in
    --progress)
        mapfile -t COMPREPLY < <(compgen -W "auto always never json" -- "$cur")
        return ;;
    --algorithm)
        mapfile -t COMPREPLY < <(compgen -W "sha256 md5" -- "$cur")
        return ;;
    esac
    if [[ $cur == -* ]]; then
        local options="--help --encoding"
        case $command in
        list) options+=" --json --skip-checksums" ;;
        test) options+=" --skip-checksums --json --progress" ;;
        extract) options+=" --exclude --files-from --null --strip-components --on-conflict --overwrite
            --threads --skip-checksums --quiet --progress" ;;
        hash) options+=" --algorithm" ;;
        mount) options+=" --skip-checksums --cache-size --foreground -f -o" ;;
        esac
        mapfile -t COMPREPLY < <(compgen -W "$options --" -- "$cur")
        return
    fi
    # The arguments so far, options and their values left out: the archive first.
    local arguments=() encoding=auto i
    for ((i = 2; i < COMP_CWORD; ++i)); do
        if [[ ${COMP_WORDS[i]} == --encoding ]]; then
            encoding=${COMP_WORDS[++i]}
        elif [[ ${COMP_WORDS[i]} =~ ^(--(exclude|files-from|strip-components|on-conflict|threads|cache-size|progress|algorithm)|-o)$ ]]; then
            ((++i))
        elif [[ ${COMP_WORDS[i]} != -* ]]; then
            arguments+=("${COMP_WORDS[i]}")
        fi
    done
    if ((${#arguments[@]} == 0)) ||
        { [[ $command == extract || $command == verify || $command == mount ]] &&
            ((${#arguments[@]} == 1)); }; then
        compopt -o filenames
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
    fi
    if [[ $command == cat || $command == extract || $command == hash ]]; then
        local IFS=$'\n'
        mapfile -t COMPREPLY < <(compgen -W "$(qzb list --json --skip-checksums --encoding "$encoding" -- "${arguments[0]}" 2>/dev/null |
            sed -n 's/.*"name":"\([^"\\]*\)".*/\1/p')" -- "$cur")
    fi
}
complete -F _qzb qzb

# bash completion for zelvan-cli: flags, output formats, filters, metadata choices and the option
# keys of --set, which the program lists itself (--list-options), so they never go stale.

_zelvan_cli() {
    local cur prev
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    local program=${COMP_WORDS[0]}

    case $prev in
        -f|--format)
            # The formats as --help lists them; the fixed list where the program cannot be run.
            local formats
            formats=$("$program" --help 2>/dev/null | sed -n 's/.*--format FMT *\(.*\) (Output_format).*/\1/p' | tr -d ,)
            COMPREPLY=($(compgen -W "${formats:-jpg png bmp gif jp2 tga webp avif jxl} jpeg auto" -- "$cur"))
            return ;;
        --filter)
            COMPREPLY=($(compgen -W "nearest bilinear hermite bell bspline lanczos3 mitchell" -- "$cur"))
            return ;;
        --metadata)
            COMPREPLY=($(compgen -W "all no-location minimal none" -- "$cur"))
            return ;;
        --set)
            local keys
            keys=$("$program" --list-options 2>/dev/null | cut -f1)
            compopt -o nospace 2>/dev/null
            COMPREPLY=($(compgen -W "$keys" -S "=" -- "$cur"))
            return ;;
        --settings|--recipe|--manifest)
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
        -o|--base)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -d -- "$cur"))
            return ;;
        -q|--quality|-j|--threads|--resize|--rename|--shard|--target-size|--target-quality|--output)
            return ;;
    esac

    if [[ $cur == -* ]]; then
        local flags
        flags=$("$program" --help 2>/dev/null | grep -oE '(^|[ ,])--?[a-zA-Z0-9][-a-zA-Z0-9]*' | tr -d ' ,' | sort -u)
        COMPREPLY=($(compgen -W "$flags" -- "$cur"))
        return
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
}

complete -F _zelvan_cli zelvan-cli

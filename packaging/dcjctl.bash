# bash completion for dcjctl
_dcjctl()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
        --upload-dir | --temp-dir | --images)
            _filedir -d
            return
            ;;
        --related | --driver | --request)
            _filedir
            return
            ;;
        -a | --ip | -p | --port | -t | --timeout | --sn | --inst-no | --emp-no | --time)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-a --ip -p --port -t --timeout --sn
            --upload-dir --temp-dir --inst-no --emp-no --related --time
            --json --csv --images --check --dry-run --driver -h --help --version
            --request' -- "$cur"))
        return
    fi

    # The first word that is not an option or an option's value is the command.
    local i command=
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -a | --ip | -p | --port | -t | --timeout | --sn | --upload-dir | --temp-dir | \
                --inst-no | --emp-no | --related | --time | --driver | --request | --images)
                ((i++))
                ;;
            -*) ;;
            *)
                command=${words[i]}
                break
                ;;
        esac
    done
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W 'status counts clear-counts set-time clear-files
            download raw fsn getDevStatus getRMBCount clearRMBCount setTime
            clearAllFSNFiles getAllFSNFiles' -- "$cur"))
    elif [[ $command == fsn ]]; then
        _filedir
    fi
} &&
    complete -F _dcjctl dcjctl

# bash completion for dcjsim
_dcjsim()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
        --files-dir)
            _filedir -d
            return
            ;;
        --fault)
            COMPREPLY=($(compgen -W 'no-answer close-after-accept partial-stall
                partial-close reset slow-drip' -- "$cur"))
            return
            ;;
        --fsn-layout)
            COMPREPLY=($(compgen -W '2014 2018' -- "$cur"))
            return
            ;;
        --fsn-images)
            COMPREPLY=($(compgen -W 'yes no' -- "$cur"))
            return
            ;;
        --fault-at)
            COMPREPLY=($(compgen -W 'ack count upload-header upload-data' -- "$cur"))
            return
            ;;
        --fault-cmd | --ack-cmd | --count-cmd)
            COMPREPLY=($(compgen -W '0xA1 0xA2 0xA3 0xA4 0xA5 0xA6 0xA7' -- "$cur"))
            return
            ;;
        --ret-code)
            COMPREPLY=($(compgen -W '0xA1= 0xA2= 0xA3= 0xA4= 0xA5= 0xA6= 0xA7=' -- "$cur"))
            compopt -o nospace
            return
            ;;
        --bind | --port | --generate | --fsn-records | --packets | --packet-size | --machine-no | \
            --date-time | --sno | --seed | --denom | --reject | --ack-start-word | \
            --count-start-word | --msg-length | --packet-count | --file-count | \
            --header-machine-no | --header-date-time | --header-sno | --fault-bytes | \
            --fault-times | --drip-ms | --max-exchanges | --idle-exit)
            return
            ;;
    esac

    COMPREPLY=($(compgen -W '--bind --port --files-dir --generate --fsn-layout
        --fsn-images --fsn-records --packets
        --packet-size --machine-no --date-time --sno --seed --keep-files --denom
        --reject --ret-code --ack-start-word --ack-cmd --count-start-word
        --count-cmd --msg-length --packet-count --file-count --header-machine-no
        --header-date-time --header-sno --fault --fault-at --fault-bytes
        --fault-cmd --fault-times --drip-ms --max-exchanges --idle-exit --quiet
        -h --help --version' -- "$cur"))
} &&
    complete -F _dcjsim dcjsim

# bash completion for lumivane(1)

# Output names, from whichever compositor can be asked; nothing otherwise.
_lumivane_outputs()
{
    if [[ -n ${SWAYSOCK-} ]] && type -P swaymsg >/dev/null; then
        swaymsg -t get_outputs -p 2>/dev/null | sed -n 's/^Output \([^ ]*\).*/\1/p'
    elif [[ -n ${HYPRLAND_INSTANCE_SIGNATURE-} ]] && type -P hyprctl >/dev/null; then
        hyprctl monitors 2>/dev/null | sed -n 's/^Monitor \([^ ]*\).*/\1/p'
    elif [[ -n ${WAYLAND_DISPLAY-} ]] && type -P wlr-randr >/dev/null; then
        wlr-randr 2>/dev/null | sed -n 's/^\([^ ][^ ]*\).*/\1/p'
    fi
}

_lumivane()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
    -l | --layer)
        COMPREPLY=($(compgen -W 'background bottom top overlay' -- "$cur"))
        return
        ;;
    -f | --fps | --speed)
        # A number: nothing sensible to offer.
        return
        ;;
    esac
    $split && return

    # Which operand the cursor is on: option arguments and options don't count.
    local i operands=0 options_ended=false
    for ((i = 1; i < cword; i++)); do
        if ! $options_ended; then
            case ${words[i]} in
            --) options_ended=true; continue ;;
            -f | --fps | -l | --layer | --speed) ((i++)); continue ;;
            -*) continue ;;
            esac
        fi
        ((operands++))
    done

    if ! $options_ended && [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-h --help -f --fps -l --layer --speed' -- "$cur"))
        [[ ${COMPREPLY-} == --*= ]] && compopt -o nospace
        return
    fi

    case $operands in
    0)
        COMPREPLY=($(compgen -W "$(_lumivane_outputs)" -- "$cur"))
        # Every output: offered already quoted so the shell does not glob it.
        case $cur in
        '' | "'" | "'*" | "'*'" | '*' | '\' | '\*') COMPREPLY+=("'*'") ;;
        esac
        ;;
    1)
        _filedir 'frag|glsl'
        ;;
    esac
} && complete -F _lumivane lumivane

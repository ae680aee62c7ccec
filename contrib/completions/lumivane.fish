# fish completion for lumivane(1)

# Output names, from whichever compositor can be asked; nothing otherwise.
function __lumivane_outputs
    if set -q SWAYSOCK; and command -q swaymsg
        swaymsg -t get_outputs -p 2>/dev/null | string replace -rf '^Output (\S+).*' '$1'
    else if set -q HYPRLAND_INSTANCE_SIGNATURE; and command -q hyprctl
        hyprctl monitors 2>/dev/null | string replace -rf '^Monitor (\S+).*' '$1'
    else if set -q WAYLAND_DISPLAY; and command -q wlr-randr
        wlr-randr 2>/dev/null | string replace -rf '^(\S+).*' '$1'
    end
end

# How many operands stand before the cursor; options and their values don't count.
function __lumivane_operands
    set -l tokens (commandline -opc)
    set -l count 0
    set -l skip_next 0
    set -l options_ended 0
    for token in $tokens[2..-1]
        if test $skip_next = 1
            set skip_next 0
        else if test $options_ended = 0; and test "$token" = --
            set options_ended 1
        else if test $options_ended = 0; and contains -- $token -f --fps -l --layer --speed
            set skip_next 1
        else if test $options_ended = 0; and string match -q -- '-*' $token
            continue
        else
            set count (math $count + 1)
        end
    end
    echo $count
end

complete -c lumivane -f
complete -c lumivane -s h -l help -d 'Print the usage and the texts placed around every shader'
complete -c lumivane -s f -l fps -x -d 'Draw at most this many frames per second'
complete -c lumivane -l speed -x -d 'Run shader time at this multiple of real time'
complete -c lumivane -s l -l layer -x -a 'background bottom top overlay' -d 'Layer of the surfaces'
# fish escapes the asterisk when it inserts it, so it is never globbed.
complete -c lumivane -n 'test (__lumivane_operands) = 0' -a '\*' -d 'Every output'
complete -c lumivane -n 'test (__lumivane_operands) = 0' -a '(__lumivane_outputs)' -d Output
complete -c lumivane -n 'test (__lumivane_operands) = 1' -F

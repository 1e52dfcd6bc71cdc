#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# The man pages and the bash completion against the programs themselves:
# every option and command that a program's --help lists is in its man page
# source, and the completion offers exactly the commands, options, modules
# and buttons that vexbusctl's help lists.
# Usage: tool-docs-test.sh VEXBUSCTL VEXBUS-EMULATOR VEXBUS-RELEASE MAN-SOURCE-DIR COMPLETION-FILE VEXBUSD
set -eu
vexbusctl=$1
emulator=$2
release=$3
man_dir=$4
completion=$5
vexbusd=$6
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The long options in a program's help, without Qt's own --help-all.
options_of() {
    "$@" --help | sed -n 's/^  \(-[a-z], \)\{0,1\}\(--[a-z0-9-]*\).*/\2/p' | grep -v '^--help-all$' | sort -u
}
vexbusctl_commands=$("$vexbusctl" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\).*/\1/p' | sort -u)
[ -n "$vexbusctl_commands" ] || fail "vexbusctl --help lists no commands"

# The long options with their value names ("--port PATH", "--json ") that
# the help of a program and its commands lists, without Qt's own --help-all.
options_with_values_of() { # PROGRAM COMMAND...
    program=$1
    shift
    for command in "" "$@"; do
        "$program" $command --help | sed -n 's/^  \(-[a-z], \)\{0,1\}\(--[a-z0-9-]*\)\( <\([^>]*\)>\)\{0,1\}.*/\2 \4/p' |
                grep -v '^--help-all '
    done | sort -u
}
# The options of a program whose options come from a table: its man page
# names each with the value it takes, and no option the program lacks.
check_man_page() { # OPTIONS-FILE MAN-PAGE
    while read -r option value; do
        entry=$(grep -- "\*$option\*" "$man_dir/$2.scd" | tr -d '*_' | grep -F -- "$option${value:+ $value}" || true)
        [ -n "$entry" ] || fail "$2 lacks $option${value:+ $value}"
    done < "$1"
    for option in $(grep -o -- '\*--[a-z][a-z0-9-]*\*' "$man_dir/$2.scd" | tr -d '*' | sort -u); do
        grep -q -- "^$option " "$1" || fail "$2 names $option, which the program lacks"
    done
}

emulator_options=$(mktemp)
vexbusctl_options=$(mktemp)
trap 'rm -f "$emulator_options" "$vexbusctl_options"' EXIT
options_with_values_of "$emulator" > "$emulator_options"
check_man_page "$emulator_options" vexbus-emulator.1
# vexbusctl's commands and options come from its tables too.
options_with_values_of "$vexbusctl" $vexbusctl_commands > "$vexbusctl_options"
check_man_page "$vexbusctl_options" vexbusctl.1
for command in $vexbusctl_commands; do
    grep -q "^\*$command\*" "$man_dir/vexbusctl.1.scd" || fail "vexbusctl(1) lacks the command $command"
done
for option in $(options_of "$vexbusd"); do
    grep -q -- "\*$option\*" "$man_dir/vexbusd.8.scd" || fail "vexbusd(8) lacks $option"
done
for option in $(options_of "$release"); do
    grep -q -- "\*$option\*" "$man_dir/vexbus-release.1.scd" || fail "vexbus-release(1) lacks $option"
done

if [ ! -f /usr/share/bash-completion/bash_completion ]; then
    echo "SKIP: the completion (bash-completion is not installed)"
else
    # complete WORD... prints what the completion offers for the last word.
    complete_words() {
        bash -c '
            . /usr/share/bash-completion/bash_completion
            . "$0"
            COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
            COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
            _vexbusctl vexbusctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
            printf "%s\n" "${COMPREPLY[@]}"' "$completion" "$@" | sort -u
    }
    same() { # WHAT EXPECTED ACTUAL
        [ "$2" = "$3" ] || fail "completion of $1: offers [$(echo $3)], the program has [$(echo $2)]"
    }
    same "the command" "$vexbusctl_commands" "$(complete_words vexbusctl "")"
    same "a global option" "$(options_of "$vexbusctl")" "$(complete_words vexbusctl --)"
    for command in $vexbusctl_commands; do
        same "an option of $command" "$(options_of "$vexbusctl" "$command")" \
            "$(complete_words vexbusctl --json "$command" --)"
    done
    press_help=$("$vexbusctl" press --help)
    same "the module of press" "$(echo "$press_help" | sed -n 's/^  \([a-z]*\): .*/\1/p' | sort -u)" \
        "$(complete_words vexbusctl press "")"
    for module in $(echo "$press_help" | sed -n 's/^  \([a-z]*\): .*/\1/p'); do
        same "a button of $module" "$(echo "$press_help" | sed -n "s/^  $module: //p" | tr -d ' ' | tr ',' '\n' | sort -u)" \
            "$(complete_words vexbusctl --port /dev/ttyUSB0 press "$module" "")"
    done
    same "app-params" "$(printf 'off\non')" "$(complete_words vexbusctl app-params "")"
    # The word after an option that takes a value is that value, not the command.
    for option in $(sed -n 's/^\(--[a-z0-9-]*\) [A-Z].*/\1/p' "$vexbusctl_options"); do
        same "the command after $option VALUE" "$vexbusctl_commands" "$(complete_words vexbusctl "$option" VALUE "")"
    done
fi

[ "$failures" = 0 ] || exit 1
echo "PASS: man pages and completion cover every command and option"

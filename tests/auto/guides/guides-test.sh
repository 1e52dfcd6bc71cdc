#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# The README and the guides as a reader follows them: every relative link
# leads to a file that is there (and a #section of a Markdown page to one of
# its headings), and every vexbusctl command and every --option that the
# README names is explained in a guide under doc/ or in a man page, so that
# the short README points to something for everything it shows.
# Usage: guides-test.sh SOURCE-DIR [README]
# README defaults to SOURCE-DIR/README.md; another file (such as an older
# README) is checked for its commands and options only. The pages under doc/
# and bench/ are pages of the API reference too, whose Doxygen (1.9) turns a
# link to a #section into a reference it cannot resolve: they link to pages
# only.
set -eu
source_dir=$1
readme=${2:-$source_dir/README.md}
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The anchors of a Markdown page's headings, as GitHub and Doxygen make them:
# lower case, blanks as -, punctuation other than - and _ left out.
anchors_of() {
    sed -n 's/^#\{1,6\} \(.*\)$/\1/p' "$1" | sed 's/ *{#[^}]*}$//' |
        tr 'A-Z' 'a-z' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}

# Relative links of the pages: [text](target), outside code blocks.
check_links() { # PAGE
    page=$1
    case $page in
        "$readme") doxygen_page=no ;;
        *) doxygen_page=yes ;;
    esac
    dir=$(dirname "$page")
    awk '/^```/ { code = !code; next } !code' "$page" |
        grep -o '\](\([^)]*\))' | sed 's/^](//; s/)$//' |
        grep -v -e '^[a-z][a-z+.-]*:' |
        while IFS= read -r target; do
            file=${target%%#*}
            anchor=
            case $target in *'#'*) anchor=${target#*#} ;; esac
            if [ -z "$file" ]; then
                file=$page
            else
                file=$dir/$file
            fi
            if [ -n "$anchor" ] && [ "$doxygen_page" = yes ]; then
                echo "FAIL: ${page#"$source_dir"/} links to $target: the API reference takes this page in, and its Doxygen resolves no link to a section; name the section in words"
            elif [ ! -e "$file" ]; then
                echo "FAIL: ${page#"$source_dir"/} links to $target, which is not there"
            elif [ -n "$anchor" ] && [ -f "$file" ] && ! anchors_of "$file" | grep -qx -- "$anchor"; then
                echo "FAIL: ${page#"$source_dir"/} links to $target, which has no such section"
            fi
        done
}

if [ $# -lt 2 ]; then
    for page in "$readme" "$source_dir"/doc/*.md "$source_dir"/bench/README.md; do
        [ -f "$page" ] || continue
        result=$(check_links "$page")
        if [ -n "$result" ]; then
            echo "$result"
            failures=$((failures + $(echo "$result" | wc -l)))
        fi
    done
fi

guides=$(ls "$source_dir"/doc/*.md "$source_dir"/doc/man/*.scd "$source_dir"/bench/README.md)

# vexbusctl's commands as the README writes them: the first word after the
# program's name and its global options (those of them that take a value
# skip it too).
commands=$(grep -o 'vexbusctl\( [^ `|#]*\)*' "$readme" | awk '{
    for (i = 2; i <= NF; i++) {
        if ($i ~ /^--(port|serial|baud|timeout|record)$/) { i++; continue }
        if ($i ~ /^-/) continue
        if ($i ~ /^[a-z][a-z-]*$/) print $i
        break
    }
}' | sort -u)
for command in $commands; do
    grep -q "^\*$command\*" "$source_dir/doc/man/vexbusctl.1.scd" ||
        fail "the README names vexbusctl $command, which vexbusctl(1) does not explain"
done

# Every long option, of any program the README shows, in a guide or a man page.
for option in $(grep -o -- '--[a-z][a-z0-9-]*' "$readme" | sort -u); do
    # shellcheck disable=SC2086
    grep -q -E -e "(^|[^a-z0-9-])$option([^a-z0-9-]|\$)" $guides ||
        fail "the README names $option, which no page under doc/ explains"
done

[ "$failures" = 0 ] || exit 1
echo "PASS: the README's links lead somewhere, and its commands and options are explained under doc/"

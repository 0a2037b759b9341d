#!/bin/sh
# Every option that `velmora-cli [COMMAND] --help` prints appears in the man page made for it,
# so that a page never lags behind the help.
#   test_man_pages.sh VELMORA_CLI MAN_DIR
set -eu
cli=$1
man_dir=$2
status=0
for command in "" tune filter profiles master; do
    page="$man_dir/velmora-cli${command:+-$command}.1"
    [ -s "$page" ] || { echo "missing page $page"; status=1; continue; }
    # troff writes a hyphen as \- ; the page's text is what is searched.
    text=$(sed 's/\\-/-/g' "$page")
    for option in $(QT_QPA_PLATFORM=offscreen "$cli" $command --help | grep -o -- '--[a-z][a-z0-9-]*' | sort -u); do
        case "$text" in
            *"$option"*) ;;
            *) echo "$page lacks $option"; status=1 ;;
        esac
    done
done
exit $status

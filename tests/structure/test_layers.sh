#!/bin/sh
# The layers build on one another one way: correction/ <- platform/ <- engine/ <- cli/, window/,
# files/ <- app/. A file that includes from a layer above its own (or from a front end beside
# it) is named, and the test fails.
root="${1:-$(dirname "$0")/../..}"
status=0
check() {
    folder=$1
    shift
    for file in "$root/$folder"/*.cpp "$root/$folder"/*.h; do
        [ -e "$file" ] || continue
        for banned in "$@"; do
            if grep -n "#include \"$banned/" "$file"; then
                echo "$file: includes from $banned/, above $folder/" >&2
                status=1
            fi
        done
    done
}
check correction platform engine cli window files app
check platform engine cli window files app
check engine cli window files app
check cli window files app
check window cli app
check files cli app
exit $status

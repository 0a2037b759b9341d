#!/bin/sh
# `cmake --install` into a temporary prefix puts the two programs, their man pages, the window's
# menu entry and icons, and the README, changelog and copyright where the GNU and freedesktop layouts expect them, and nothing of the
# tests or benchmarks; the menu entry is valid where desktop-file-validate is installed.
#   test_install.sh BUILD_DIR
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
status=0
for file in bin/velmora bin/velmora-cli share/applications/velmora.desktop \
    share/icons/hicolor/scalable/apps/velmora.svg share/icons/hicolor/48x48/apps/velmora.png \
    share/icons/hicolor/128x128/apps/velmora.png share/icons/hicolor/256x256/apps/velmora.png \
    share/doc/velmora/README.md share/doc/velmora/changelog.gz share/doc/velmora/copyright \
    share/man/man1/velmora.1.gz share/man/man1/velmora-cli.1.gz share/man/man1/velmora-cli-tune.1.gz \
    share/man/man1/velmora-cli-filter.1.gz share/man/man1/velmora-cli-profiles.1.gz \
    share/man/man1/velmora-cli-master.1.gz share/bash-completion/completions/velmora-cli; do
    [ -s "$prefix/$file" ] || { echo "missing: $file"; status=1; }
done
[ -x "$prefix/bin/velmora-cli" ] && "$prefix/bin/velmora-cli" --version >/dev/null || status=1
extra=$(cd "$prefix" && find . -type f | grep -E 'test|bench|fuzz|\.a$|include/' || true)
[ -z "$extra" ] || { echo "installed but not for users: $extra"; status=1; }
# Completion from the installed program's own help: "filter --for" becomes "--format".
completed=$(PATH="$prefix/bin:$PATH" bash -c '
    . "$1/share/bash-completion/completions/velmora-cli"
    COMP_WORDS=(velmora-cli filter --for); COMP_CWORD=2; _velmora_cli; echo "${COMPREPLY[*]}"' sh "$prefix")
[ "$completed" = "--format" ] || { echo "completion of filter --for gave: $completed"; status=1; }
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/velmora.desktop" || status=1
else
    echo "desktop-file-validate is not installed: the menu entry's check is skipped"
fi
exit $status

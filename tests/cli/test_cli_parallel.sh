#!/bin/sh
# A batch spread by GNU parallel over several velmora-cli processes, one picture each, gives the
# same bytes as one velmora-cli run over all of them: the README's way to spread a batch over
# machines, run here on the local one.
# Usage: test_cli_parallel.sh VELMORA_CLI
set -eu
cli=$1
for tool in parallel convert; do
    command -v "$tool" >/dev/null || { echo "$tool is missing; scripts/setup installs it" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A card darker towards its corners, and pictures in three formats, one with a space and a quote
# in its name (parallel quotes it for the shell).
convert -size 64x48 radial-gradient:'#f0e0d0'-'#705040' -depth 8 card.png
mkdir pictures one spread
convert -size 64x48 gradient:'#ffffff'-'#202060' -depth 8 pictures/a.jpg
convert -size 64x48 plasma:fractal -seed 1 -depth 8 pictures/b.png
convert -size 64x48 gradient:'#e0e0e0'-'#104010' -depth 8 "pictures/c d'e.bmp"
"$cli" tune card.png --map lens.dat >/dev/null

# The offset mode shifts each picture by its own brightest sum: state that must not leak
# between the pictures of one run.
"$cli" filter --map lens.dat --mode offset --quiet --output-dir one pictures/*
parallel --will-cite -j2 "$cli" filter --map lens.dat --mode offset --quiet --output-dir spread {} \
    ::: pictures/*

count=0
for made in one/*; do
    cmp "$made" "spread/${made#one/}"
    count=$((count + 1))
done
[ "$count" -eq 3 ] && [ "$(ls spread | wc -l)" -eq 3 ] || { echo "expected 3 outputs each" >&2; exit 1; }
echo "3 pictures: the same bytes through parallel as in one run"

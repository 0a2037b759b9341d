#!/usr/bin/env bash
# Quality of velmora-cli's corrections on real photographs with a lens's falloff, and the speed
# of gain mode against plain. Prints the tables and whether each goal is met.
#
#   bench/quality/quality.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to "build" (needs velmora-cli, velmora_quality, velmora_bench_gain_passes);
# ROUNDS, the timed batches per mode, to 5. The photographs are Debian's mate-backgrounds
# (/usr/share/backgrounds/mate/nature/*.jpg), installed here when missing. Pictures and maps go
# to a temporary folder, removed after; set KEEP=1 to keep it, FIGURE=FILE.png to also draw the
# gain-vs-add figure.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
rounds="${2:-5}"
cli="$build/cli/velmora-cli"
quality="$build/bench/cli/velmora_quality"
passes="$build/bench/cli/velmora_bench_gain_passes"
photos=/usr/share/backgrounds/mate/nature

for tool in "$cli" "$quality" "$passes"; do
    [[ -x "$tool" ]] || { echo "missing $tool; build the cli targets first" >&2; exit 2; }
done

if ! compgen -G "$photos/*.jpg" >/dev/null; then
    echo "Installing the photographs (Debian package mate-backgrounds) ..."
    sudo=""
    [[ "$(id -u)" -eq 0 ]] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        mate-backgrounds
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-quality.XXXXXX")"
if [[ "${KEEP:-0}" == 1 ]]; then
    echo "Pictures and maps are kept in $work"
else
    trap 'rm -rf "$work"' EXIT
fi

figure=()
[[ -n "${FIGURE:-}" ]] && figure=(--figure "$FIGURE")

# Qt wants a private runtime folder even offscreen; the work folder is one (mode 0700).
XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work}" QT_QPA_PLATFORM=offscreen "$quality" --cli "$cli" --photos "$photos" --work "$work" \
    --rounds "$rounds" "${figure[@]}"
echo
echo "Core passes alone (Google Benchmark):"
"$passes" --benchmark_min_time=0.5 2>/dev/null | sed 's/^/  /'

# Shared by the benchmark scripts; source it after `set -euo pipefail`.

# Installs Debian packages (sudo when not root).
install_packages() {
    local sudo=""
    [[ "$(id -u)" -eq 0 ]] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@"
}

# The photographs the benchmarks are made of (Debian's mate-backgrounds), installed when missing.
ensure_photos() {
    if ! compgen -G "$1/*.jpg" >/dev/null; then
        echo "Installing the photographs (Debian package mate-backgrounds) ..."
        install_packages mate-backgrounds
    fi
}

# Sets `work` (a temporary folder for the inputs) and `out` (the outputs, in tmpfs when there is
# one), both named after $1 and removed when the script ends.
make_scratch() {
    work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-$1.XXXXXX")"
    out_root="$work"
    if [[ -d /dev/shm && -w /dev/shm ]]; then
        out_root="$(mktemp -d "/dev/shm/velmora-$1.XXXXXX")"
    fi
    trap 'rm -rf "$work" "$out_root"' EXIT
    out="$out_root/out"
}

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# The median of three runs of a command, its output discarded. Before each run the folder named
# first (none when empty) is emptied and everything written so far is flushed, so that no run
# pays for an earlier one's disk writes.
median_of_3() {
    local folder=$1
    shift
    local times=()
    for _ in 1 2 3; do
        [[ -z "$folder" ]] || { rm -rf "$folder"; mkdir -p "$folder"; }
        sync
        local start
        start=$(now)
        "$@" >/dev/null
        times+=("$(seconds "$start" "$(now)")")
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n 2p
}

# Runs a command under GNU time, appending its peak memory (max RSS, kB) to the file named first.
peak_memory() {
    local file=$1
    shift
    /usr/bin/time -f %M -a -o "$file" "$@"
}

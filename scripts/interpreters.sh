#!/usr/bin/env bash
# Builds the CPythons basinkit supports from Debian's source packages into a
# cache, reusing any build already there, and prints one line per interpreter.
#
#   scripts/interpreters.sh [--all | --newest] [--test [--threads]] [VERSION...]
#
#   VERSION    3.13, 3.14 or 3.15; a trailing t (3.14t) asks for the
#              free-threaded build (configure --disable-gil)
#   --all      every supported interpreter: 3.13 3.14 3.15 3.14t 3.15t
#   --test     for each interpreter: the whole suite against a wheel it built
#              (scripts/test_interpreter.sh)
#   --threads  with --test: also the quick thread-scaling check (python -m benchmarks threads)
#   --newest   3.15, and the newest free-threaded build whose source the
#              archive serves (trying 3.15t, 3.14t, 3.13t)
#
# Environment:
#   BASINKIT_PYTHONS  interpreter cache (default ~/.cache/basinkit/pythons)
#   JOBS              make -j (default: number of cores)
#
# Each interpreter is built from the pristine upstream tarball of the source
# package pythonX.Y (trixie or unstable carry the releases bookworm lacks). The
# deb-src entry lives in a source file of this script's own, with the archive
# URI taken from the machine's existing Debian entry; it is used only for the
# download and removed on exit, whatever the outcome.
#
# Where the archive lists a series but does not serve its source files (seen
# for 3.14 and 3.15), the regular interpreter comes from Debian's binary
# packages instead: a minimal Debian unstable root made by debootstrap in the
# cache ($CACHE/debian-unstable), with pythonX.Y, its headers, venv and g++.
# Its interpreters need a newer C library than the machine's, so they run in
# that root (chroot), with the checkout and /tmp mounted at their own paths;
# the mounts are undone on exit. Debian ships no free-threaded binaries, so a
# free-threaded build of such a series cannot be had and fails with a message
# that says so.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${BASINKIT_PYTHONS:-$HOME/.cache/basinkit/pythons}
JOBS=${JOBS:-$(nproc)}
ALL=(3.13 3.14 3.15 3.14t 3.15t)

want=() test=0 newest=0 threads=()
for a in "$@"; do
    case $a in
    --all) want+=("${ALL[@]}") ;;
    --test) test=1 ;;
    --newest) newest=1 ;;
    --threads) threads=(--threads) ;;
    3.1[3-9] | 3.1[3-9]t) want+=("$a") ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "interpreters: unknown argument '$a' (try --help)" >&2; exit 2 ;;
    esac
done
[ ${#want[@]} -gt 0 ] || [ $newest = 1 ] ||
    { echo "interpreters: name at least one version, or --all or --newest" >&2; exit 2; }

# Source package and executable of a tag such as 3.14t.
series() { echo "${1%t}"; }
exe() { echo "$CACHE/$1/bin/python$1"; }

work=$(mktemp -d)
ROOTFS=$CACHE/debian-unstable
mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

apt_ready=0
apt_prepare() {
    [ $apt_ready = 1 ] && return 0
    local uri keyring
    # The first Debian archive entry of the machine's own configuration (deb822
    # or one-line form) that is not the security archive.
    uri=$(awk '
        /^[[:space:]]*$/ { if (u != "" && s !~ /-security/) { print u; exit } u = ""; s = "" }
        /^URIs:/ { u = $2 } /^Suites:/ { s = $0 }
        END { if (u != "" && s !~ /-security/) print u }' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" && $0 !~ /-security/ {
            for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
    fi
    [ -n "$uri" ] || { echo "interpreters: no Debian archive entry in /etc/apt to take the URI from" >&2; exit 1; }
    ARCHIVE_URI=$uri
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    mkdir -p "$work/apt/parts" "$work/apt/lists/partial"
    {
        echo "Types: deb-src"
        echo "URIs: $uri"
        echo "Suites: trixie testing unstable"
        echo "Components: main"
        [ -f "$keyring" ] && echo "Signed-By: $keyring"
    } >"$work/apt/parts/basinkit-python-src.sources"
    # The entry and the package lists it brings stay in this script's own
    # directories, so no other apt user on the machine sees them.
    APT_SRC=(-o APT::Sandbox::User=root -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/apt/parts"
        -o Dir::State::Lists="$work/apt/lists" -o APT::Get::List-Cleanup=false)

    echo "== build dependencies" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
        build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
        libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libexpat1-dev xz-utils >/dev/null
    apt-get "${APT_SRC[@]}" update -qq
    apt_ready=1
}

# Pristine upstream tarball of pythonX.Y, downloaded once per series into
# $tarball. The archive's index can list versions whose files the pool no
# longer (or not yet) serves, so every listed version is tried, newest first.
declare -A unserved
fetch_source() {
    local pkg=python$1 dir=$CACHE/src/python$1 v
    tarball=$(ls "$dir"/*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n 1 || true)
    [ -n "$tarball" ] && return 0
    [ -n "${unserved[$1]:-}" ] && return 1
    apt_prepare
    mkdir -p "$dir"
    for v in $(apt-cache "${APT_SRC[@]}" showsrc "$pkg" 2>/dev/null |
        awk -v p="$pkg" '/^Package: /{ok = ($2 == p)} ok && /^Version: /{print $2}' | sort -urV); do
        if (cd "$dir" && apt-get "${APT_SRC[@]}" source --download-only -qq "$pkg=$v" >"$work/fetch.log" 2>&1); then
            rm -f "$dir"/*.debian.tar.* "$dir"/*.dsc "$dir"/*.asc
            tarball=$(ls "$dir"/*.orig.tar.* | head -n 1)
            return 0
        fi
        echo "interpreters: the archive lists $pkg $v but does not serve its files" >&2
        rm -f "$dir"/*
    done
    echo "interpreters: no source of $pkg can be downloaded from the archive" >&2
    unserved[$1]=1
    return 1
}

# True when the root exists and nothing is mounted inside it: only then may
# it be removed (a bind mount of /tmp inside would go with it).
root_unmounted() { ! grep -q " $ROOTFS/" /proc/mounts; }

# The Debian unstable root with the regular interpreters of every series the
# archive serves only as binaries; made once, then extended package by package.
root_install() {
    local pkgs=("$@") missing=() p
    if [ ! -x "$ROOTFS/usr/bin/g++" ]; then
        apt_prepare
        root_unmounted || { echo "interpreters: $ROOTFS has mounts inside; not touching it" >&2; return 1; }
        command -v debootstrap >/dev/null ||
            apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends debootstrap >/dev/null
        echo "== Debian unstable root for ${pkgs[*]}" >&2
        rm -rf "$ROOTFS"
        local list
        list=$(IFS=,; echo "${pkgs[*]}")
        if ! debootstrap --variant=minbase --include="$list,g++,make,ca-certificates" \
            unstable "$ROOTFS" "$ARCHIVE_URI" >"$work/debootstrap.log" 2>&1; then
            tail -n 20 "$work/debootstrap.log" >&2
            umount -R "$ROOTFS/proc" 2>/dev/null || true
            echo "interpreters: debootstrap of the Debian unstable root failed" >&2
            return 1
        fi
        umount -R "$ROOTFS/proc" 2>/dev/null || true
        return 0
    fi
    for p in "${pkgs[@]}"; do
        chroot "$ROOTFS" dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    root_mount
    chroot "$ROOTFS" apt-get -o DPkg::Lock::Timeout=600 update -qq &&
        chroot "$ROOTFS" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends "${missing[@]}" >/dev/null
}

# Mounts what commands in the root need, once: /proc, /dev, /tmp, the
# checkout at its own path, and /opt (read-only) where the machine's pip
# configuration points; copies the machine's resolver, CA bundle and pip
# configuration so that pip reaches the same index as outside.
root_mount() {
    [ ${#mounted[@]} -gt 0 ] && return 0
    local d
    cp /etc/resolv.conf "$ROOTFS/etc/resolv.conf"
    [ -f /etc/ssl/certs/ca-certificates.crt ] &&
        cp /etc/ssl/certs/ca-certificates.crt "$ROOTFS/etc/ssl/certs/ca-certificates.crt"
    [ -f /etc/pip.conf ] && cp /etc/pip.conf "$ROOTFS/etc/pip.conf"
    [ -d /etc/xdg/pip ] && mkdir -p "$ROOTFS/etc/xdg" && cp -r /etc/xdg/pip "$ROOTFS/etc/xdg/"
    mount -t proc proc "$ROOTFS/proc" && mounted+=("$ROOTFS/proc")
    mount --rbind /dev "$ROOTFS/dev" && mount --make-rslave "$ROOTFS/dev" && mounted+=("$ROOTFS/dev")
    mount --bind /tmp "$ROOTFS/tmp" && mounted+=("$ROOTFS/tmp")
    if [ -d /opt ]; then
        mount --bind /opt "$ROOTFS/opt" && mount -o remount,bind,ro "$ROOTFS/opt" && mounted+=("$ROOTFS/opt")
    fi
    case $ROOT/ in
    /tmp/*) ;;
    *)
        mkdir -p "$ROOTFS$ROOT"
        mount --bind "$ROOT" "$ROOTFS$ROOT" && mounted+=("$ROOTFS$ROOT")
        ;;
    esac
}

# Runs a command in the root, in the current directory, with this
# environment (HOME as in the root).
in_root() {
    root_mount
    chroot "$ROOTFS" /usr/bin/env -C "$PWD" HOME=/root PATH=/usr/local/bin:/usr/bin:/bin "$@"
}

# How an interpreter runs: "local" (built here) or "root" (Debian's binary in
# the unstable root).
declare -A where

build() {
    local tag=$1 ver prefix tarball src start flags=()
    ver=$(series "$tag")
    prefix=$CACHE/$tag
    if [ -x "$(exe "$tag")" ] && "$(exe "$tag")" -c 'import ssl, sqlite3, ctypes' 2>/dev/null; then
        where[$tag]=local
        return 0
    fi
    start=$(date +%s)
    if ! fetch_source "$ver"; then
        if [[ $tag == *t ]]; then
            echo "interpreters: $tag needs the source of python$ver, which the archive does not serve;" \
                "Debian ships no free-threaded binaries to fall back on" >&2
            return 1
        fi
        echo "== python$ver from Debian's binary packages, in $ROOTFS" >&2
        root_install "python$ver" "python$ver-dev" "python$ver-venv" || return 1
        in_root "/usr/bin/python$ver" -c 'import ssl, sqlite3, ctypes, venv' || return 1
        where[$tag]=root
        echo "== $tag ready in $(($(date +%s) - start))s"
        return 0
    fi
    where[$tag]=local
    echo "== building $tag from $(basename "$tarball")"
    src=$work/build-$tag
    rm -rf "$src" "$prefix" && mkdir -p "$src"
    tar -xf "$tarball" -C "$src" --strip-components=1 || return 1
    [[ $tag == *t ]] && flags+=(--disable-gil)
    # The interpreter's own test suite is left out: it only lengthens the install.
    if ! (cd "$src" && ./configure -q --prefix="$prefix" --with-ensurepip=install --disable-test-modules "${flags[@]}" &&
        make -j"$JOBS" && make install) >"$work/$tag.log" 2>&1; then
        tail -n 40 "$work/$tag.log" >&2
        echo "interpreters: building $tag failed" >&2
        rm -rf "$prefix"
        return 1
    fi
    rm -rf "$src"
    echo "== built $tag in $(($(date +%s) - start))s"
}

# --newest: the newest series (from source or from Debian's binaries) and the
# newest free-threaded build whose source the archive serves.
if [ $newest = 1 ]; then
    want+=(3.15)
    for v in 3.15 3.14 3.13; do
        if fetch_source "$v"; then want+=("${v}t"); break; fi
    done
fi

status=0 built=()
for tag in "${want[@]}"; do
    if build "$tag"; then built+=("$tag"); else status=1; fi
done

for tag in "${built[@]}"; do
    py=$(exe "$tag") run=()
    if [ "${where[$tag]}" = root ]; then
        py=/usr/bin/python$(series "$tag") run=(in_root)
    fi
    if [ $test = 1 ]; then
        # The sdist is built and installed once, with the first interpreter.
        "${run[@]}" env SDIST="$([ "$tag" = "${built[0]}" ] && echo 1 || echo 0)" \
            bash "$ROOT/scripts/test_interpreter.sh" "$py" "${threads[@]}" || status=1
    else
        # The GIL state after importing basinkit, where --test installed it.
        # (seen from here at $outside; in the root at its own path).
        venv_py=${BASINKIT_VENVS:-$HOME/.cache/basinkit/venvs}/$tag/bin/python outside=$venv_py
        if [ "${where[$tag]}" = root ]; then
            venv_py=/root/.cache/basinkit/venvs/$tag/bin/python outside=$ROOTFS$venv_py
            printf '%s: ' "$ROOTFS (chroot)"
        fi
        [ -x "$outside" ] || [ -L "$outside" ] || venv_py=$py
        "${run[@]}" "$venv_py" -c '
import sys
line = [sys.executable, sys.version.replace("\n", " ")]
try:
    import basinkit
except ImportError:
    line.append("basinkit not installed for it (see --test)")
else:
    line.append("GIL after import basinkit: %s" % getattr(sys, "_is_gil_enabled", lambda: True)())
print(" | ".join(line))'
    fi
done
exit $status

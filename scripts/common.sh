# Shared by the scripts: installs the Debian packages they need when any is missing,
# and builds. What the program needs to be built, tested and run is written once, in
# debian/control; the scripts name only the tools of their own beside it.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"

# Runs `apt-get ARGS...` as root (after `apt-get update`) to install what WHAT names; as
# another user, names it and the command that would install it, and stops.
apt_get_missing() {
    local what=$1
    shift
    if [ "$(id -u)" -ne 0 ]; then
        echo "缺少${what}。请以 root 身份运行，或先执行：sudo apt-get $*" >&2
        exit 1
    fi
    echo "== 安装${what}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get -y -q "$@"
}

# Installs what is missing of the packages given.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] ||
        apt_get_missing "软件包：${missing[*]}" install --no-install-recommends "${missing[@]}"
}

# The build dependencies in debian/control, those of the tests too unless the build
# profile nocheck is given (ensure_build_deps nocheck).
ensure_build_deps() {
    local profile=()
    [ $# -gt 0 ] && profile=(-P "$1")
    command -v dpkg-checkbuilddeps >/dev/null &&
        dpkg-checkbuilddeps "${profile[@]}" "$ROOT/debian/control" 2>/dev/null && return 0
    apt_get_missing "构建依赖的软件包（debian/control）" build-dep "${profile[@]}" "$ROOT"
}

# What the program's package depends on and recommends (the first of each choice),
# as debian/control names them: what it loads at run time without linking it.
runtime_packages() {
    sed -n '/^Package: horalis$/,/^$/p' "$ROOT/debian/control" |
        awk '/^[A-Z]/ { keep = /^(Depends|Recommends):/; sub(/^[A-Za-z-]+:/, "") } keep' |
        tr ',' '\n' | sed -E 's/\|.*//; s/\(.*\)//; s/^[[:space:]]+|[[:space:]]+$//g' |
        grep -Ev '^(\$\{.*\})?$'
}

# CI (CI set, as CI services do) treats every compiler warning as an error.
ci() { [ -n "${CI:-}" ]; }
WARNINGS=(-DCMAKE_COMPILE_WARNING_AS_ERROR="$(ci && echo ON || echo OFF)")

# Configures build/ and builds the targets given (all by default).
build() {
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${WARNINGS[@]}" >/dev/null
    cmake --build "$BUILD" --parallel "$(nproc)" "$@"
}

# Every file of this tree that belongs to the source, NUL-separated: a clean clone's,
# and new files not ignored. Where this tree is not a Git checkout of its own (an
# unpacked tarball, CI's chroot copy, which holds just those files, or a copy inside
# another checkout), the files of the tree without the build folders.
source_files() {
    if [ "$(git -C "$ROOT" rev-parse --show-toplevel 2>/dev/null)" = "$ROOT" ]; then
        # A file deleted but not yet committed is in Git's list and not in the tree.
        git -C "$ROOT" ls-files -z --cached --others --exclude-standard |
            (cd "$ROOT" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh)
    else
        (cd "$ROOT" && find . -path ./.git -prune -o -path './build*' -prune \
            -o -path './obj-*' -prune -o -path ./horalis-screenshot.png -prune \
            -o -path './debian/.debhelper' -prune -o -path ./debian/horalis -prune \
            -o -path ./debian/tmp -prune -o -name '*.user' -prune \
            -o \( -type f -o -type l \) -printf '%P\0')
    fi
}

# The version this tree is, from project() in CMakeLists.txt.
source_version() {
    sed -n 's/^project(Horalis VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$ROOT/CMakeLists.txt"
}

# Builds the source package as a distribution makes it of this upstream release, then
# the binary packages from that source package alone, as its builders do. OUT gets the
# upstream tarball (scripts/tarball, as horalis_VERSION.orig.tar.xz), the .dsc with the
# packaging (debian/) beside it, the .deb files, the .buildinfo and the .changes, and the
# whole log, build.log, of which this prints the tests' results and the packages made
# (and the end, when the build fails). A command given after OUT (env, setpriv,
# unshare) runs dpkg-buildpackage.
package_build() {
    local out=$1
    shift
    rm -rf "$out"
    mkdir -p "$out"
    local options="parallel=$(nproc)${DEB_BUILD_OPTIONS:+ $DEB_BUILD_OPTIONS}"
    local flags=()
    ci && flags=(DEB_CXXFLAGS_APPEND=-Werror)
    local version
    version=$(source_version)
    # (One && chain: set -e does not apply within the condition of an if.)
    if ! (bash "$ROOT/scripts/tarball" "$out" && cd "$out" &&
        mv "horalis-$version.tar.xz" "horalis_$version.orig.tar.xz" &&
        # The upstream tree with this tree's packaging on it, as dpkg-source builds it.
        tar -xf "horalis_$version.orig.tar.xz" &&
        source_files | grep -z '^debian/' | tar -C "$ROOT" --null --files-from=- -cf - |
        tar -C "horalis-$version" -xf - &&
        dpkg-source --build "horalis-$version" && rm -r "horalis-$version" &&
        dpkg-source --extract horalis_*.dsc source && cd source &&
        "$@" env DEB_BUILD_OPTIONS="$options" "${flags[@]}" dpkg-buildpackage -us -uc) \
        >"$out/build.log" 2>&1; then
        tail -n 150 "$out/build.log" >&2
        echo "FAIL: the package build (its whole log: $out/build.log)" >&2
        return 1
    fi
    grep -E '^ *[0-9]+/[0-9]+ Test +#|tests (passed|failed)|:[0-9]+:[0-9]+: warning:|building package' \
        "$out/build.log" || true
}

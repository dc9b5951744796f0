# Shared by the scripts: installs the Debian packages they need when any is missing,
# and builds. What the program needs to be built, tested and run is written once, in
# debian/control; the scripts name only the tools of their own beside it.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"

# The reader's last line. A script names each step before it runs it (step WHAT [LOG]);
# when the script then fails, its last line says, in Chinese, which step failed and
# where its whole log is (LOG, or the output above), under whatever the tools said.
# A step that ends with its own Chinese line clears the step first (no_step).
STEP=
STEP_LOG=
step() {
    STEP=$1
    STEP_LOG=${2:-}
}
no_step() { STEP=; }
# A path as the reader finds it from the top of the tree.
shown() { echo "${1#"$ROOT"/}"; }
say_failure() {
    local status=$?
    if [ "$status" -ne 0 ] && [ -n "$STEP" ]; then
        if [ -n "$STEP_LOG" ]; then
            echo "失败：${STEP}，完整日志见 $(shown "$STEP_LOG")" >&2
        else
            echo "失败：${STEP}，详见上方的输出" >&2
        fi
    fi
    return "$status"
}
trap say_failure EXIT

# Runs `apt-get ARGS...` as root (after `apt-get update`) to install what WHAT names; as
# another user, names it and the command that would install it (with sudo), and stops.
apt_get_missing() {
    local what=$1
    shift
    if [ "$(id -u)" -ne 0 ]; then
        no_step
        echo "缺少${what}。请以 root 身份运行，或先执行：sudo apt-get $*" >&2
        exit 1
    fi
    echo "== 安装${what}"
    step "安装${what}（apt-get $*）"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get -y -q "$@"
    no_step
}

# The command that installs a package file, for the user running the script.
install_command() {
    if [ "$(id -u)" -eq 0 ]; then
        echo "apt-get install $1"
    else
        echo "sudo apt-get install $1"
    fi
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

# Runs a command and waits for it; as root, in a PID namespace of its own, so that all
# it starts ends with it, even what starts sessions of its own (sbuild's and
# autopkgtest's unshare sessions do). When this shell is told to end (SIGTERM, SIGINT),
# the command's first process (which should be the command itself: exec, setpriv, not
# runuser) is told so too and given half a minute to clean up; then, or when it ends,
# the kernel ends every process left in the namespace. Returns the command's status.
in_own_namespace() {
    if [ "$(id -u)" -ne 0 ]; then
        "$@"
        return
    fi
    # unshare holds SIGTERM and SIGINT back while it waits for its child, so it runs in
    # the background, and the namespace is ended from here.
    unshare --pid --fork --kill-child --mount-proc -- "$@" &
    local ns=$! status=0
    end_namespace() {
        local init= tries=0
        while kill -0 "$ns" 2>/dev/null && [ -z "$init" ] && [ $((tries += 1)) -le 40 ]; do
            init=$(pgrep -P "$ns" || true)
            [ -n "$init" ] || sleep 0.05
        done
        if [ -n "$init" ]; then
            kill -TERM $init 2>/dev/null || true
            for _ in $(seq 300); do
                kill -0 "$ns" 2>/dev/null || break
                sleep 0.1
            done
            kill -KILL $init 2>/dev/null || true
        else
            # unshare has not forked yet: ending it ends the child it may be forking.
            kill -KILL "$ns" 2>/dev/null || true
        fi
        wait "$ns" 2>/dev/null || true
    }
    trap 'end_namespace; exit 143' TERM
    trap 'end_namespace; exit 130' INT
    wait "$ns" || status=$?
    trap - TERM INT
    return "$status"
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
# unpacked tarball, which holds just those files, a source package, or a copy inside
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

# Makes the source package as a distribution makes it of this upstream release, in
# OUT: the upstream tarball (scripts/tarball, as horalis_VERSION.orig.tar.xz), this
# tree's packaging (debian/) laid on it, and dpkg-source's .debian.tar.xz and .dsc.
source_package() {
    local out=$1 version
    version=$(source_version)
    # (One && chain: set -e does not apply within a function called in a condition.)
    bash "$ROOT/scripts/tarball" "$out" >/dev/null && (cd "$out" &&
        mv "horalis-$version.tar.xz" "horalis_$version.orig.tar.xz" &&
        tar -xf "horalis_$version.orig.tar.xz" &&
        source_files | grep -z '^debian/' | tar -C "$ROOT" --null --files-from=- -cf - |
        tar -C "horalis-$version" -xf - &&
        dpkg-source --build "horalis-$version" && rm -r "horalis-$version")
}

# The tests a ctest run in LOG names as failed, comma-separated (empty: none named).
failed_tests() {
    sed -n '/The following tests FAILED:/,/^[^[:space:]]/s/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p' "$1" |
        sort -u | paste -sd, - | sed 's/,/、/g'
}

# Builds the source package (source_package), then the binary packages from that source
# package alone, as its builders do, in OUT: the .deb files, the .buildinfo and the
# .changes beside the source package, and the whole log, build.log, of which this prints
# the tests' results and the packages made (and the end, when the build fails). A
# command given after OUT (env, setpriv, unshare) runs dpkg-buildpackage.
package_build() {
    local out=$1
    shift
    rm -rf "$out"
    mkdir -p "$out"
    local options="parallel=$(nproc)${DEB_BUILD_OPTIONS:+ $DEB_BUILD_OPTIONS}"
    local flags=()
    ci && flags=(DEB_CXXFLAGS_APPEND=-Werror)
    step "Debian 软件包的构建（dpkg-buildpackage）" "$out/build.log"
    if ! (source_package "$out" && cd "$out" &&
        dpkg-source --extract horalis_*.dsc source && cd source &&
        "$@" env DEB_BUILD_OPTIONS="$options" "${flags[@]}" dpkg-buildpackage -us -uc) \
        >"$out/build.log" 2>&1; then
        tail -n 150 "$out/build.log" >&2
        local failed
        failed=$(failed_tests "$out/build.log")
        [ -z "$failed" ] || step "软件包构建中的测试（未通过：$failed）" "$out/build.log"
        return 1
    fi
    no_step
    grep -E '^ *[0-9]+/[0-9]+ Test +#|tests (passed|failed)|:[0-9]+:[0-9]+: warning:|building package' \
        "$out/build.log" || true
}

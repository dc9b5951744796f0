# Shared by scripts/run and scripts/test: installs the Debian packages the project
# needs when any is missing, then configures and builds in build/.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"

# Compiler and build tools, Qt 6 with its platform plugins and Chinese texts, a
# font for Simplified Chinese, the virtual X display used when there is none, a
# private D-Bus with a fake time service for the tests, and what the package test
# needs (dpkg-shlibdeps, and `file`, which CPack uses to find the libraries; the
# checkers lintian, appstreamcli and desktop-file-validate; man and python3).
PACKAGES=(g++ make cmake pkg-config qt6-base-dev qt6-qpa-plugins qt6-translations-l10n
          fonts-wqy-microhei xvfb xauth x11-utils imagemagick dbus python3-dbusmock
          desktop-file-utils dpkg-dev file lintian appstream man-db python3)

ensure_packages() {
    local missing=() pkg
    for pkg in "${PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "缺少软件包：${missing[*]}。请以 root 身份运行，或先执行：sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "== 安装软件包：${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# CI (CI set, as CI services do) treats every compiler warning as an error.
WARNINGS=(-DCMAKE_COMPILE_WARNING_AS_ERROR="$([ -n "${CI:-}" ] && echo ON || echo OFF)")

# Configures $BUILD and builds the targets given (all by default).
build() {
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${WARNINGS[@]}" >/dev/null
    cmake --build "$BUILD" --parallel "$(nproc)" "$@"
}

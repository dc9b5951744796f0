#!/usr/bin/env bash
# Builds the Debian package into a temporary folder and checks what it holds: the
# files, the dependencies and a desktop entry that desktop-file-validate accepts
# without a word.
# Usage: check_package.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack -G DEB" >&2
    exit 1
fi
debs=("$work"/horalis_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no horalis_*.deb in $work" >&2; exit 1; }
deb=${debs[0]}

# Exactly these files, nothing of the tests or benchmarks.
expected=$(printf '%s\n' ./usr/bin/horalis \
    ./usr/share/applications/io.github.horalis.horalis.desktop \
    ./usr/share/icons/hicolor/24x24/apps/horalis.png \
    ./usr/share/icons/hicolor/scalable/apps/horalis.svg)
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort)
[ "$files" = "$expected" ] || fail "files in the package:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"
grep -Eq '^-rwxr-xr-x .* \./usr/bin/horalis$' <<<"$listing" || fail "usr/bin/horalis is not executable"

depends=$(dpkg-deb -f "$deb" Depends)
for wanted in 'libqt6widgets6' 'libqt6network6' 'libqt6dbus6' 'fonts-wqy-microhei | fonts-noto-cjk' 'qt6-qpa-plugins'; do
    [[ "$depends" == *"$wanted"* ]] || fail "Depends lacks '$wanted': $depends"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ "$recommends" == *qt6-translations-l10n* ]] || fail "Recommends lacks qt6-translations-l10n: $recommends"
for field in Maintainer Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field"
done

dpkg-deb -x "$deb" "$work/root"
desktop=$work/root/usr/share/applications/io.github.horalis.horalis.desktop
if [ -f "$desktop" ]; then
    report=$(desktop-file-validate "$desktop" 2>&1) || true
    [ -z "$report" ] || fail "desktop-file-validate:"$'\n'"$report"
    grep -qx 'Exec=horalis' "$desktop" || fail "the desktop entry does not run horalis"
    grep -qx 'Icon=horalis' "$desktop" || fail "the desktop entry does not name the icon horalis"
fi

# The 24x24 folder must hold a 24x24 PNG: width and height are in its IHDR chunk.
png=$work/root/usr/share/icons/hicolor/24x24/apps/horalis.png
if [ -f "$png" ]; then
    size=$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ' | sed 's/^ //')
    [ "$size" = "0 0 0 24 0 0 0 24" ] || fail "horalis.png is not 24x24 (IHDR: $size)"
fi

# The menu entry starts the program: its Exec line, run from the unpacked package, must
# bring the window up and keep running (offscreen; the program never sets the clock
# unless asked to). A missing library or plugin ends it at once.
if [ -f "$desktop" ]; then
    read -r -a command <<<"$(sed -n 's/^Exec=//p' "$desktop")"
    PATH="$work/root/usr/bin:$PATH" QT_QPA_PLATFORM=offscreen "${command[@]}" >"$work/run.log" 2>&1 &
    pid=$!
    for _ in $(seq 20); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid"
        wait "$pid" 2>/dev/null || true
    else
        wait "$pid" 2>/dev/null || true
        fail "the menu entry's command ended at once:"$'\n'"$(cat "$work/run.log")"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package $(basename "$deb") checked"

#!/usr/bin/env bash
# Builds the Debian package into a temporary folder and checks what it holds: the
# files, the control fields, the dependencies, the desktop entry, the manual pages,
# the AppStream metadata, the copyright file and changelog, and that Debian's own
# checkers (lintian, appstreamcli, desktop-file-validate) accept it.
# Usage: check_package.sh CPACK BUILD_DIR SOURCE_DIR
set -euo pipefail
cpack=$1
build=$2
source=$3
here=$(dirname "${BASH_SOURCE[0]}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# A setting of the build, as configured in its CMake cache.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack -G DEB" >&2
    exit 1
fi
debs=("$work"/horalis_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no horalis_*.deb in $work" >&2; exit 1; }
deb=${debs[0]}

app_id=io.github.horalis.horalis
man_en=usr/share/man/man1/horalis.1.gz
man_zh=usr/share/man/zh_CN/man1/horalis.1.gz
# Exactly these files, nothing of the tests or benchmarks.
expected=$(printf './%s\n' usr/bin/horalis \
    "usr/share/applications/$app_id.desktop" \
    usr/share/doc/horalis/changelog.gz \
    usr/share/doc/horalis/copyright \
    usr/share/icons/hicolor/24x24/apps/horalis.png \
    usr/share/icons/hicolor/scalable/apps/horalis.svg \
    "$man_en" "$man_zh" \
    "usr/share/metainfo/$app_id.metainfo.xml" \
    "usr/share/polkit-1/actions/$app_id.policy" | sort)
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

maintainer=$(dpkg-deb -f "$deb" Maintainer)
[ "$maintainer" = "$(cached HORALIS_MAINTAINER)" ] ||
    fail "Maintainer '$maintainer' is not HORALIS_MAINTAINER '$(cached HORALIS_MAINTAINER)'"
# An English synopsis, then an extended description that names the servers.
description=$(dpkg-deb -f "$deb" Description)
synopsis=$(head -n1 <<<"$description")
LC_ALL=C grep -q '^[ -~]*$' <<<"$synopsis" || fail "the synopsis is not plain English: $synopsis"
extended=$(tail -n +2 <<<"$description")
for host in "$(cached HORALIS_PRIMARY_HOST)" "$(cached HORALIS_SECONDARY_HOST)"; do
    [[ "$extended" == *"$host"* ]] || fail "the extended description does not name $host:"$'\n'"$description"
done

# Debian's checker passes the package without a single tag: no error or warning, and
# no info or pedantic one either (a tag left on purpose would get an override).
if ! tags=$(lintian --display-info --pedantic --tag-display-limit 0 --fail-on none "$deb" 2>"$work/lintian.err"); then
    fail "lintian did not run:"$'\n'"$(cat "$work/lintian.err")"
elif [ -n "$tags" ]; then
    fail "lintian:"$'\n'"$tags"
fi

root=$work/root
dpkg-deb -x "$deb" "$root"

# Every file the build fills in has had its placeholders replaced.
for file in "$root/usr/share/metainfo/$app_id.metainfo.xml" "$root/usr/share/doc/horalis/copyright" \
    "$root/$man_en" "$root/$man_zh"; do
    if [ -f "$file" ] && zcat -f "$file" | grep -Eq '@[A-Z_]+@'; then
        fail "${file#"$root"} holds a placeholder: $(zcat -f "$file" | grep -Eo '@[A-Z_]+@' | head -n1)"
    fi
done

# The software centres' checker, on the metadata and on the whole tree (which also
# looks for the desktop entry the metadata launches): nothing at all to report.
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
if [ -f "$metainfo" ]; then
    for check in validate validate-tree; do
        [ "$check" = validate ] && target=$metainfo || target=$root
        if ! report=$(appstreamcli "$check" --no-net --pedantic "$target" 2>&1) ||
            grep -Eq '^ *[EWIP]: ' <<<"$report"; then
            fail "appstreamcli $check:"$'\n'"$report"
        fi
    done
    python3 "$here/check_metadata.py" "$metainfo" "$app_id.desktop" \
        "$(dpkg-deb -f "$deb" Version)" >&2 || fail "the AppStream metadata (above)"
fi

# The polkit action is the one the program asks for, and implies timedated's.
policy=$root/usr/share/polkit-1/actions/$app_id.policy
if [ -f "$policy" ]; then
    python3 "$here/check_metadata.py" --policy "$policy" "$root/usr/bin/horalis" >&2 ||
        fail "the polkit action (above)"
fi

desktop=$root/usr/share/applications/$app_id.desktop
if [ -f "$desktop" ]; then
    report=$(desktop-file-validate "$desktop" 2>&1) || true
    [ -z "$report" ] || fail "desktop-file-validate:"$'\n'"$report"
    grep -qx 'Exec=horalis' "$desktop" || fail "the desktop entry does not run horalis"
    grep -qx 'Icon=horalis' "$desktop" || fail "the desktop entry does not name the icon horalis"
fi

# Both manual pages name the servers and the port this build was configured with.
port=$(cached HORALIS_DAYTIME_PORT)
for page in "$man_en" "$man_zh"; do
    [ -f "$root/$page" ] || continue
    text=$(MANWIDTH=200 man -l "$root/$page" 2>/dev/null) || fail "man cannot show $page"
    # Set at a terminal's usual width, groff has nothing to warn of (a line it cannot
    # adjust or break).
    warnings=$(MANWIDTH=80 man --warnings -l "$root/$page" 2>&1 >/dev/null) || true
    [ -z "$warnings" ] || fail "man --warnings $page:"$'\n'"$warnings"
    for name in "$(cached HORALIS_PRIMARY_HOST)" "$(cached HORALIS_SECONDARY_HOST)"; do
        [[ "$text" == *"$name"* ]] || fail "$page does not name $name"
    done
    grep -Eq "TCP (port|端口) $port\b" <<<"$text" || fail "$page does not name TCP port $port"
done

# The changelog's latest entry is this package's version (lintian checks its format and
# the copyright file's), and LICENSE is the text of the licence the copyright names.
changelog=$root/usr/share/doc/horalis/changelog.gz
if [ -f "$changelog" ]; then
    zcat "$changelog" >"$work/changelog"
    version=$(dpkg-parsechangelog -l "$work/changelog" -S Version 2>&1) || true
    [ "$version" = "$(dpkg-deb -f "$deb" Version)" ] ||
        fail "the changelog's latest entry is '$version', the package $(dpkg-deb -f "$deb" Version)"
fi
copyright=$root/usr/share/doc/horalis/copyright
[ "$(head -n1 "$copyright" 2>/dev/null)" = \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
    fail "the copyright file is not in the machine-readable format"
cmp -s "$source/LICENSE" /usr/share/common-licenses/GPL-3 || fail "LICENSE is not the text of the GPL version 3"

# The 24x24 folder must hold a 24x24 PNG: width and height are in its IHDR chunk.
png=$root/usr/share/icons/hicolor/24x24/apps/horalis.png
if [ -f "$png" ]; then
    size=$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ' | sed 's/^ //')
    [ "$size" = "0 0 0 24 0 0 0 24" ] || fail "horalis.png is not 24x24 (IHDR: $size)"
fi

# The menu entry starts the program: its Exec line, run from the unpacked package, must
# bring the window up and keep running (offscreen; the program never sets the clock
# unless asked to). A missing library or plugin ends it at once.
if [ -f "$desktop" ]; then
    read -r -a command <<<"$(sed -n 's/^Exec=//p' "$desktop")"
    PATH="$root/usr/bin:$PATH" QT_QPA_PLATFORM=offscreen "${command[@]}" >"$work/run.log" 2>&1 &
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

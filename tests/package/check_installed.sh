#!/usr/bin/env bash
# Checks Horalis as a package puts it in place under ROOT: / for the installed package
# (the autopkgtests), or a folder a .deb was unpacked into (scripts/test).
#
#   check_installed.sh ROOT [GROUP...]
#
# GROUPs (all when none is given):
#   window    the desktop entry's command starts headless (Xvfb) and shows a window
#             titled "Horalis"
#   metadata  the desktop entry, the AppStream metadata and the polkit action validate
#             (desktop-file-validate, appstreamcli, polkit's DTD where polkitd is
#             installed); the action is the one the program asks for and implies
#             timedated's; the 24x24 icon is 24x24
#   manpages  both manual pages render without a warning at 80 columns and name the
#             Daytime servers and port the program was built with
# Prints each problem and exits 1 when there is any.
set -euo pipefail
root=${1:?usage: check_installed.sh ROOT [GROUP...]}
root=${root%/}
shift
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(window metadata manpages)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

app_id=io.github.horalis.horalis
desktop=$root/usr/share/applications/$app_id.desktop
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
policy=$root/usr/share/polkit-1/actions/$app_id.policy
program=$root/usr/bin/horalis
# The servers and the port the package is built with: the build's defaults.
default() { sed -n "s/^set($1 \"\{0,1\}\([^\" ]*\)\"\{0,1\} CACHE.*/\1/p" "$source_dir/CMakeLists.txt"; }

check_window() {
    [ -f "$desktop" ] || { fail "no desktop entry $desktop"; return; }
    local command display xvfb app title
    read -r -a command <<<"$(sed -n 's/^Exec=//p' "$desktop")"
    [ "${command[*]}" = horalis ] || fail "the desktop entry runs '${command[*]}', not horalis"
    # A display of its own: Xvfb picks a number no other X server here uses and writes it.
    Xvfb -displayfd 3 -screen 0 800x480x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    xvfb=$!
    pids+=("$xvfb")
    display=
    for _ in $(seq 100); do
        display=$(cat "$work/display")
        [ -n "$display" ] || ! kill -0 "$xvfb" 2>/dev/null && break
        sleep 0.1
    done
    [ -n "$display" ] || { fail "Xvfb did not start: $(cat "$work/xvfb.log")"; return; }
    DISPLAY=:$display QT_QPA_PLATFORM=xcb PATH="$root/usr/bin:$PATH" "${command[@]}" \
        >"$work/run.log" 2>&1 &
    app=$!
    pids+=("$app")
    title=
    for _ in $(seq 100); do
        kill -0 "$app" 2>/dev/null || break
        title=$(DISPLAY=:$display xwininfo -root -tree 2>/dev/null | grep -o '"Horalis"' || true)
        [ -n "$title" ] && break
        sleep 0.1
    done
    if ! kill -0 "$app" 2>/dev/null; then
        fail "horalis ended at once:"$'\n'"$(cat "$work/run.log")"
    elif [ -z "$title" ]; then
        fail "no window titled \"Horalis\" within 10 s:"$'\n'"$(DISPLAY=:$display xwininfo -root -tree)"
    fi
}

check_metadata() {
    local report check target
    if [ -f "$desktop" ]; then
        report=$(desktop-file-validate "$desktop" 2>&1) || true
        [ -z "$report" ] || fail "desktop-file-validate:"$'\n'"$report"
        grep -qx 'Icon=horalis' "$desktop" || fail "the desktop entry does not name the icon horalis"
    else
        fail "no desktop entry $desktop"
    fi

    # The software centres' checker, on the metadata and on the whole tree (which also
    # looks for the desktop entry the metadata launches): nothing at all to report.
    if [ -f "$metainfo" ]; then
        for check in validate validate-tree; do
            [ "$check" = validate ] && target=$metainfo || target=$root/
            if ! report=$(appstreamcli "$check" --no-net --pedantic "$target" 2>&1) ||
                grep -Eq '^ *[EWIP]: ' <<<"$report"; then
                fail "appstreamcli $check:"$'\n'"$report"
            fi
        done
        python3 "$here/check_metadata.py" "$metainfo" "$app_id.desktop" \
            "$(sed -n '1s/^horalis (\([^)]*\)).*/\1/p' "$source_dir/debian/changelog")" >&2 ||
            fail "the AppStream metadata (above)"
    else
        fail "no AppStream metadata $metainfo"
    fi

    local file
    for file in "$desktop" "$metainfo" "$policy"; do
        if grep -Eq '@[A-Z_]+@' "$file" 2>/dev/null; then
            fail "${file#"$root"} holds a placeholder: $(grep -Eo '@[A-Z_]+@' "$file" | head -n1)"
        fi
    done

    # The polkit action: valid by polkit's DTD (polkitd installs it and names it in the
    # XML catalog), the one the program asks for, and it implies timedated's actions.
    if [ -f "$policy" ]; then
        if [ -f /usr/share/polkit-1/policyconfig-1.dtd ]; then
            report=$(xmllint --noout --nonet --valid "$policy" 2>&1) ||
                fail "the polkit action is not valid by polkit's DTD:"$'\n'"$report"
        else
            echo "note: polkitd is not installed; the polkit action is not checked against its DTD" >&2
        fi
        python3 "$here/check_metadata.py" --policy "$policy" "$program" >&2 ||
            fail "the polkit action (above)"
    else
        fail "no polkit action $policy"
    fi

    # The 24x24 folder must hold a 24x24 PNG: width and height are in its IHDR chunk.
    local png=$root/usr/share/icons/hicolor/24x24/apps/horalis.png size
    size=$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | tr -s ' ' | sed 's/^ //') || true
    [ "$size" = "0 0 0 24 0 0 0 24" ] || fail "horalis.png is not a 24x24 PNG (IHDR: $size)"
}

check_manpages() {
    local page text warnings name port
    port=$(default HORALIS_DAYTIME_PORT)
    for page in usr/share/man/man1/horalis.1.gz usr/share/man/zh_CN/man1/horalis.1.gz; do
        [ -f "$root/$page" ] || { fail "no manual page $page"; continue; }
        text=$(MANWIDTH=200 man -l "$root/$page" 2>/dev/null) || fail "man cannot show $page"
        # Set at a terminal's usual width, groff has nothing to warn of (a line it cannot
        # adjust or break).
        warnings=$(MANWIDTH=80 man --warnings -l "$root/$page" 2>&1 >/dev/null) || true
        [ -z "$warnings" ] || fail "man --warnings $page:"$'\n'"$warnings"
        for name in "$(default HORALIS_PRIMARY_HOST)" "$(default HORALIS_SECONDARY_HOST)"; do
            [[ "$text" == *"$name"* ]] || fail "$page does not name $name"
            # The program keeps its texts as UTF-16 (QStringLiteral) or as bytes.
            python3 -c 'import sys; name = sys.argv[1]; data = open(sys.argv[2], "rb").read()
sys.exit(not (name.encode() in data or name.encode("utf-16-le") in data))' "$name" "$program" ||
                fail "the program does not ask $name, which $page names"
        done
        grep -Eq "TCP (port|端口) $port\b" <<<"$text" || fail "$page does not name TCP port $port"
        if zcat "$root/$page" | grep -Eq '@[A-Z_]+@'; then
            fail "$page holds a placeholder"
        fi
    done
}

for group in "${groups[@]}"; do
    case $group in
    window | metadata | manpages) "check_$group" ;;
    *) echo "unknown group: $group" >&2; exit 2 ;;
    esac
done
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "checked under $root/: ${groups[*]}"

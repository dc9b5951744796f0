#!/usr/bin/env bash
# Checks Horalis's own files as a package puts them in place under ROOT: / for the
# installed package (the autopkgtests), or a folder a .deb was unpacked into
# (scripts/test). Nothing else installed on the system is looked at.
#
#   check_installed.sh [--pedantic] ROOT [GROUP...]
#
# GROUPs (all when none is given):
#   window    the desktop entry's command starts headless (Xvfb) and shows a window
#             titled "Horalis"
#   metadata  the desktop entry, the AppStream metadata and the polkit action validate
#             (desktop-file-validate, appstreamcli, polkit's DTD where polkitd is
#             installed); the metadata lists this release; the action is the one the
#             program asks for and implies timedated's; the 24x24 icon is 24x24
#   manpages  both manual pages render at 80 columns and name the Daytime servers and
#             port the program says, by its --help, it was built with
# The validators' verdict is what counts: their errors fail. With --pedantic (the
# upstream build's check, which knows the validators it runs), anything at all they say
# fails, their pedantic hints and man's warnings too; the installed package's tests
# leave those out, so that a newer validator's new hint does not fail them.
#
# The checks set their own locale (C.UTF-8) and ask the program itself what it was
# built with, so they give the same answer under any locale and on any architecture.
# Prints each problem and exits 1 when there is any.
set -euo pipefail
pedantic=false
if [ "${1:-}" = --pedantic ]; then
    pedantic=true
    shift
fi
root=${1:?usage: check_installed.sh [--pedantic] ROOT [GROUP...]}
root=${root%/}
shift
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(window metadata manpages)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
export LC_ALL=C.UTF-8
unset LANGUAGE

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
# The release the source is (not the package's version, which a distribution numbers).
version=$(sed -n 's/^project(Horalis VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$source_dir/CMakeLists.txt")

# Runs a validator: its errors (its exit status) always fail; with --pedantic, so does
# anything it says.
validate() {
    local what=$1 report
    shift
    if ! report=$("$@" 2>&1); then
        fail "$what:"$'\n'"$report"
    elif $pedantic && grep -Eq "${VALIDATOR_SAYS:-.}" <<<"$report"; then
        fail "$what (pedantic):"$'\n'"$report"
    fi
}

check_window() {
    [ -f "$desktop" ] || { fail "no desktop entry $desktop"; return; }
    local command display xvfb app title
    read -r -a command <<<"$(sed -n 's/^Exec=//p' "$desktop")"
    [ "${command[*]}" = horalis ] || fail "the desktop entry runs '${command[*]}', not horalis"
    # A display of its own: Xvfb picks a number no other X server here uses and writes it.
    # The file is made first: the shell that starts Xvfb opens it only once it has forked.
    : >"$work/display"
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
    if [ -f "$desktop" ]; then
        validate desktop-file-validate desktop-file-validate "$desktop"
        grep -qx 'Icon=horalis' "$desktop" || fail "the desktop entry does not name the icon horalis"
    else
        fail "no desktop entry $desktop"
    fi

    # The software centres' checker, on the metadata alone and on a tree that holds only
    # it and the desktop entry it launches (validate-tree looks for that entry).
    if [ -f "$metainfo" ]; then
        local tree=$work/tree
        mkdir -p "$tree/usr/share/metainfo" "$tree/usr/share/applications"
        cp "$metainfo" "$tree/usr/share/metainfo/"
        [ -f "$desktop" ] && cp "$desktop" "$tree/usr/share/applications/"
        local pedantic_flag=()
        $pedantic && pedantic_flag=(--pedantic)
        VALIDATOR_SAYS='^ *[EWIP]: ' validate "appstreamcli validate" \
            appstreamcli validate --no-net "${pedantic_flag[@]}" "$metainfo"
        VALIDATOR_SAYS='^ *[EWIP]: ' validate "appstreamcli validate-tree" \
            appstreamcli validate-tree --no-net "${pedantic_flag[@]}" "$tree"
        python3 "$here/check_metadata.py" "$metainfo" "$app_id.desktop" "$version" >&2 ||
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
    local page text warnings name port help built
    # What the program was built with, in its own words: --help names the servers and
    # the port, and needs no display.
    if ! help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help 2>&1); then
        fail "horalis --help failed:"$'\n'"$help"
    fi
    built=$(grep -Eo 'TCP 端口 [0-9]+' <<<"$help" | grep -Eo '[0-9]+$' | sed -n 1p) || true
    for page in usr/share/man/man1/horalis.1.gz usr/share/man/zh_CN/man1/horalis.1.gz; do
        [ -f "$root/$page" ] || { fail "no manual page $page"; continue; }
        text=$(MANWIDTH=200 man -l "$root/$page" 2>/dev/null) || fail "man cannot show $page"
        if $pedantic; then
            # Set at a terminal's usual width, groff has nothing to warn of (a line it
            # cannot adjust or break).
            warnings=$(MANWIDTH=80 man --warnings -l "$root/$page" 2>&1 >/dev/null) || true
            [ -z "$warnings" ] || fail "man --warnings $page:"$'\n'"$warnings"
        else
            MANWIDTH=80 man -l "$root/$page" >/dev/null 2>&1 || fail "man cannot show $page at 80 columns"
        fi
        # The servers and the port the page names are the program's.
        local names
        names=$(zcat "$root/$page" | python3 "$here/check_metadata.py" --servers) ||
            fail "$page names no primary and secondary server"
        for name in $names; do
            [[ "$text" == *"$name"* ]] || fail "$page does not show $name"
            [[ "$help" == *"$name"* ]] ||
                fail "$page names $name; the program, by its --help, does not ask it"
        done
        port=$(grep -Eo 'TCP (port|端口) [0-9]+' <<<"$text" | grep -Eo '[0-9]+$' | sed -n 1p) ||
            true
        [ -n "$port" ] && [ "$port" = "$built" ] ||
            fail "$page names TCP port ${port:-none}; the program, by its --help, ${built:-none}"
        if zgrep -Eq '@[A-Z_]+@' "$root/$page"; then
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

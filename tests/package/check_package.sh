#!/usr/bin/env bash
# Checks what dpkg-buildpackage made of Horalis, as a distribution would before it
# publishes it: lintian has nothing to say of the upload (.changes: the source package,
# the binary package and its debug symbols), the binary package holds exactly its files,
# with the dependencies and description its users need, and the files themselves pass
# check_installed.sh --pedantic, unpacked.
#
#   check_package.sh CHANGES
set -euo pipefail
changes=${1:?usage: check_package.sh CHANGES}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$(cd "$(dirname "$changes")" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Debian's checker passes the upload without a single tag: no error or warning, and no
# info or pedantic one either, and there is no override that any release calls unused.
# The packaging is for unstable, and builds unchanged on Debian 12 and 13 (a backport
# needs nothing more). Where the releases' lintians disagree, the tag one release gives
# is let pass here, in that release's check, and nowhere else:
#  - Debian 12's and 13's lintians know policy only up to 4.6.2 and 4.7.2, older than
#    the packaging's.
#  - Unstable's lintian prefers what Debian 12 cannot build with or read: debhelper
#    compat 14 (Debian 12's debhelper has 13 at most), no Priority and no
#    Rules-Requires-Root (Debian 12's dpkg defaults neither: its binary packages would
#    have no priority and its build would need root), and version 5 of debian/watch
#    (Debian 12's uscan reads 4 at most).
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
case $release in
bookworm) known=('W: horalis source: newer-standards-version 4.7.4 (current is 4.6.2)') ;;
trixie) known=('W: horalis source: newer-standards-version 4.7.4 (current is 4.7.2)') ;;
*)
    known=('P: horalis source: package-uses-old-debhelper-compat-version 13'
        'P: horalis source: redundant-priority-optional-field [debian/control:3]'
        'P: horalis source: redundant-rules-requires-root-no-field [debian/control:16]'
        'I: horalis source: older-debian-watch-file-standard 4 [debian/watch]')
    ;;
esac
if ! said=$(lintian --display-info --pedantic --tag-display-limit 0 --fail-on none "$changes" \
    2>"$work/lintian.err"); then
    fail "lintian did not run:"$'\n'"$(cat "$work/lintian.err")"
elif tags=$(grep -vxF -e '' "${known[@]/#/-e}" <<<"$said"); then # (-eTEXT: one -e each)
    fail "lintian ($release):"$'\n'"$tags"
fi

# The upload: the source package, the program's package and its debug symbols.
# The upload: the source package (the upstream tarball, the packaging), the program's
# package and its debug symbols. An epoch is in no file name.
version=$(sed -n 's/^Version: //p' "$changes")
version=${version#*:}
upstream=${version%-*}
arch=$(dpkg --print-architecture)
listed=$(sed -n '/^Files:/,/^[^ ]/s/^ .* //p' "$changes" | sort)
wanted=$(printf '%s\n' "horalis_$version.dsc" "horalis_$upstream.orig.tar.xz" \
    "horalis_$version.debian.tar.xz" "horalis_${version}_$arch.buildinfo" \
    "horalis_${version}_$arch.deb" "horalis-dbgsym_${version}_$arch.deb" | sort)
[ "$listed" = "$wanted" ] || fail "the upload holds:"$'\n'"$listed"$'\n'"expected:"$'\n'"$wanted"
debs=("$out"/horalis_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no horalis_*.deb beside $changes" >&2; exit 1; }
deb=${debs[0]}

app_id=io.github.horalis.horalis
# Exactly these files, nothing of the tests or benchmarks.
expected=$(printf './%s\n' usr/bin/horalis \
    "usr/share/applications/$app_id.desktop" \
    usr/share/doc/horalis/changelog.Debian.gz \
    usr/share/doc/horalis/copyright \
    usr/share/icons/hicolor/24x24/apps/horalis.png \
    usr/share/icons/hicolor/scalable/apps/horalis.svg \
    usr/share/lintian/overrides/horalis \
    usr/share/man/man1/horalis.1.gz usr/share/man/zh_CN/man1/horalis.1.gz \
    "usr/share/metainfo/$app_id.metainfo.xml" \
    "usr/share/polkit-1/actions/$app_id.policy" | sort)
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort)
[ "$files" = "$expected" ] || fail "files in the package:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"
grep -Eq '^-rwxr-xr-x .* \./usr/bin/horalis$' <<<"$listing" || fail "usr/bin/horalis is not executable"

# The Qt libraries it links, found by dpkg-shlibdeps (with them come Qt's platform
# plugins: xcb, wayland's own package aside, and offscreen are libqt6gui6's); what it
# loads without linking named by hand: a font with the Chinese texts' glyphs, polkitd for
# a normal user's password prompt, Qt's own Chinese texts.
depends=$(dpkg-deb -f "$deb" Depends)
for wanted in libqt6widgets6 libqt6network6 libqt6dbus6 'fonts-wqy-microhei | fonts-noto-cjk'; do
    [[ "$depends" == *"$wanted"* ]] || fail "Depends lacks '$wanted': $depends"
done
[[ "$depends" != *qt6-qpa-plugins* ]] || fail "Depends on qt6-qpa-plugins (VNC only): $depends"
recommends=$(dpkg-deb -f "$deb" Recommends)
for wanted in polkitd qt6-translations-l10n; do
    [[ "$recommends" == *"$wanted"* ]] || fail "Recommends lacks $wanted: $recommends"
done
# An English synopsis.
# (sed reads to the end: head would leave dpkg-deb a closed pipe, which pipefail counts.)
synopsis=$(dpkg-deb -f "$deb" Description | sed -n 1p)
LC_ALL=C grep -q '^[ -~]*$' <<<"$synopsis" || fail "the synopsis is not plain English: $synopsis"

# The files themselves, pedantically.
dpkg-deb -x "$deb" "$work/root"
bash "$here/check_installed.sh" --pedantic "$work/root" ||
    fail "the package's files (above)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package $(basename "$deb") and its upload checked"

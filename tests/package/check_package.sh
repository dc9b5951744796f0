#!/usr/bin/env bash
# Checks what dpkg-buildpackage made of Horalis, as a distribution would before it
# publishes it: lintian has nothing to say of the upload (.changes: the source package,
# the binary package and its debug symbols), the binary package holds exactly its files,
# with the dependencies and description its users need, and the files themselves pass
# check_installed.sh, unpacked.
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
# info or pedantic one either (a tag left on purpose gets an override that says why).
# The one override is for Debian 12's lintian, which knows policy only up to 4.6.2; a
# lintian that knows Debian 13's policy calls it unused, and only that is let pass.
if ! said=$(lintian --display-info --pedantic --tag-display-limit 0 --fail-on none "$changes" \
    2>"$work/lintian.err"); then
    fail "lintian did not run:"$'\n'"$(cat "$work/lintian.err")"
elif tags=$(grep -Ev '^I: horalis source: unused-override newer-standards-version |^N: 0 hints overridden; 1 unused override$|^$' <<<"$said"); then
    fail "lintian:"$'\n'"$tags"
fi

# The upload: the source package, the program's package and its debug symbols.
version=$(sed -n 's/^Version: //p' "$changes")
arch=$(dpkg --print-architecture)
listed=$(sed -n '/^Files:/,/^[^ ]/s/^ .* //p' "$changes" | sort)
wanted=$(printf '%s\n' "horalis_$version.dsc" "horalis_$version.tar.xz" \
    "horalis_${version}_$arch.buildinfo" "horalis_${version}_$arch.deb" \
    "horalis-dbgsym_${version}_$arch.deb" | sort)
[ "$listed" = "$wanted" ] || fail "the upload holds:"$'\n'"$listed"$'\n'"expected:"$'\n'"$wanted"
debs=("$out"/horalis_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no horalis_*.deb beside $changes" >&2; exit 1; }
deb=${debs[0]}

app_id=io.github.horalis.horalis
# Exactly these files, nothing of the tests or benchmarks.
expected=$(printf './%s\n' usr/bin/horalis \
    "usr/share/applications/$app_id.desktop" \
    usr/share/doc/horalis/changelog.gz \
    usr/share/doc/horalis/copyright \
    usr/share/icons/hicolor/24x24/apps/horalis.png \
    usr/share/icons/hicolor/scalable/apps/horalis.svg \
    usr/share/man/man1/horalis.1.gz usr/share/man/zh_CN/man1/horalis.1.gz \
    "usr/share/metainfo/$app_id.metainfo.xml" \
    "usr/share/polkit-1/actions/$app_id.policy" | sort)
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort)
[ "$files" = "$expected" ] || fail "files in the package:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"
grep -Eq '^-rwxr-xr-x .* \./usr/bin/horalis$' <<<"$listing" || fail "usr/bin/horalis is not executable"

# The Qt libraries it links, found by dpkg-shlibdeps; what it loads without linking
# (the window's platform plugins, a font with the Chinese texts' glyphs) named by hand.
depends=$(dpkg-deb -f "$deb" Depends)
for wanted in libqt6widgets6 libqt6network6 libqt6dbus6 'fonts-wqy-microhei | fonts-noto-cjk' qt6-qpa-plugins; do
    [[ "$depends" == *"$wanted"* ]] || fail "Depends lacks '$wanted': $depends"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ "$recommends" == *qt6-translations-l10n* ]] || fail "Recommends lacks qt6-translations-l10n: $recommends"
# An English synopsis.
synopsis=$(dpkg-deb -f "$deb" Description | head -n1)
LC_ALL=C grep -q '^[ -~]*$' <<<"$synopsis" || fail "the synopsis is not plain English: $synopsis"

dpkg-deb -x "$deb" "$work/root"
bash "$here/check_installed.sh" "$work/root" || fail "the package's files (above)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package $(basename "$deb") and its upload checked"

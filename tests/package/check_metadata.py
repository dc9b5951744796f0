#!/usr/bin/env python3
"""Checks what appstreamcli cannot know of the package's AppStream metadata: that it
names the desktop entry the package installs, speaks Simplified Chinese with English
fallbacks, points the software centres at a screenshot they may fetch (https), and
lists the release the package is. appstreamcli checks the rest (licences, content
rating, launchable) and lintian the copyright file's format.

  check_metadata.py FILE DESKTOP_ID VERSION

Prints each problem and exits 1 when there is any.
"""
import sys
import xml.etree.ElementTree as ET

LANG = "{http://www.w3.org/XML/1998/namespace}lang"


def check(path, desktop_id, version):
    component = ET.parse(path).getroot()
    problems = []
    if component.findtext("id") + ".desktop" != desktop_id:
        problems.append(f"id {component.findtext('id')!r} is not the desktop entry's {desktop_id!r}")
    launchables = [(e.get("type"), e.text) for e in component.findall("launchable")]
    if ("desktop-id", desktop_id) not in launchables:
        problems.append(f"no launchable for {desktop_id}: {launchables}")
    for path_ in ("name", "summary", "description/p", "description/ul/li"):
        langs = {e.get(LANG) for e in component.findall(path_)}
        if None not in langs or "zh_CN" not in langs:
            problems.append(f"{path_} is not given in English and zh_CN: {langs}")
    images = [e.text.strip() for e in component.iter("image")]
    if not images or not all(url.startswith("https://") for url in images):
        problems.append(f"screenshots not all https: {images}")
    releases = [e.get("version") for e in component.iter("release")]
    if version not in releases:
        problems.append(f"no release {version}: {releases}")
    return problems


if __name__ == "__main__":
    found = check(*sys.argv[1:])
    for problem in found:
        print(f"metainfo: {problem}")
    sys.exit(1 if found else 0)

#!/usr/bin/env python3
"""Checks what appstreamcli cannot know of the package's AppStream metadata: that it
names the desktop entry the package installs, speaks Simplified Chinese with English
fallbacks, points the software centres at a screenshot they may fetch (https), and
lists the release the package is. appstreamcli checks the rest (licences, content
rating, launchable) and lintian the copyright file's format.

  check_metadata.py FILE DESKTOP_ID VERSION

With --policy, checks the polkit action instead: that it is the action the program
asks for (its id is in the program), that it implies the two timedated actions a
clock setting needs, so one password serves both, and that its prompt speaks
Simplified Chinese with an English fallback.

  check_metadata.py --policy FILE PROGRAM

With --servers, prints the primary and the secondary Daytime server that a manual page
(roff, on standard input) names, in English or in Chinese.

  check_metadata.py --servers < PAGE

Prints each problem and exits 1 when there is any.
"""
import re
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


def check_policy(path, program):
    actions = ET.parse(path).getroot().findall("action")
    if len(actions) != 1:
        return [f"{len(actions)} actions, not one"]
    action = actions[0]
    problems = []
    with open(program, "rb") as f:
        if action.get("id").encode() not in f.read():
            problems.append(f"the program does not ask for {action.get('id')}")
    implied = [set((e.text or "").split()) for e in action.findall("annotate")
               if e.get("key") == "org.freedesktop.policykit.imply"]
    wanted = {"org.freedesktop.timedate1.set-time", "org.freedesktop.timedate1.set-ntp"}
    if not any(wanted <= names for names in implied):
        problems.append(f"does not imply {sorted(wanted)}: {implied}")
    langs = {e.get(LANG) for e in action.findall("message")}
    if None not in langs or "zh_CN" not in langs:
        problems.append(f"message is not given in English and zh_CN: {langs}")
    return problems


# How each page introduces the two servers: "The primary server,\n.BR name ," and
# "主服务器 \fBname\fR".
SERVERS = [
    re.compile(r"primary server,\n\.BR (\S+) ,\n.*secondary server,\n\.BR (\S+) ,", re.S),
    re.compile(r"主服务器 \\fB(\S+?)\\fR.*备用服务器 \\fB(\S+?)\\fR", re.S),
]


def servers(roff):
    for pattern in SERVERS:
        found = pattern.search(roff)
        if found:
            return [name.replace("\\-", "-") for name in found.groups()]
    return []


if __name__ == "__main__":
    if sys.argv[1] == "--servers":
        names = servers(sys.stdin.read())
        print(" ".join(names))
        sys.exit(0 if len(names) == 2 else 1)
    if sys.argv[1] == "--policy":
        found = [f"policy: {p}" for p in check_policy(*sys.argv[2:])]
    else:
        found = [f"metainfo: {p}" for p in check(*sys.argv[1:])]
    for problem in found:
        print(problem)
    sys.exit(1 if found else 0)

#!/usr/bin/env python3
"""Checks the package's AppStream metadata and its copyright file beyond what the
validators look at.

  check_metadata.py metainfo FILE DESKTOP_ID VERSION
      a desktop application with the desktop entry's id and a launchable for it,
      name, summary and description in Simplified Chinese and in English, the
      project's licence, a content rating, https screenshots and this release.
  check_metadata.py copyright FILE
      the machine-readable format: a header, Files paragraphs with a copyright and
      a licence each, every licence's text given once, and the GPL pointing to the
      copy in /usr/share/common-licenses.

Prints each problem and exits 1 when there is any.
"""
import sys
import xml.etree.ElementTree as ET

LANG = "{http://www.w3.org/XML/1998/namespace}lang"
DEP5 = "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"


def check_metainfo(path, desktop_id, version):
    component = ET.parse(path).getroot()
    problems = []
    if component.tag != "component" or component.get("type") != "desktop-application":
        problems.append("not a desktop-application component")
    if component.findtext("id") + ".desktop" != desktop_id:
        problems.append(f"id {component.findtext('id')!r} is not the desktop entry's {desktop_id!r}")
    launchables = [(e.get("type"), e.text) for e in component.findall("launchable")]
    if ("desktop-id", desktop_id) not in launchables:
        problems.append(f"no launchable for {desktop_id}: {launchables}")
    for path_ in ("name", "summary", "description/p", "description/ul/li"):
        langs = {e.get(LANG) for e in component.findall(path_)}
        if None not in langs or "zh_CN" not in langs:
            problems.append(f"{path_} is not given in English and zh_CN: {langs}")
    if component.findtext("project_license") != "GPL-3.0-or-later":
        problems.append(f"project licence {component.findtext('project_license')!r}")
    if component.findtext("metadata_license") not in ("FSFAP", "CC0-1.0"):
        problems.append(f"metadata licence {component.findtext('metadata_license')!r}")
    rating = component.find("content_rating")
    if rating is None or not (rating.get("type") or "").startswith("oars-"):
        problems.append("no OARS content rating")
    images = [e.text.strip() for e in component.iter("image")]
    if not images or not all(url.startswith("https://") for url in images):
        problems.append(f"screenshots not all https: {images}")
    releases = [e.get("version") for e in component.iter("release")]
    if version not in releases:
        problems.append(f"no release {version}: {releases}")
    return problems


def paragraphs(text):
    """The copyright file's paragraphs, each a dict of field to value (continuation
    lines kept, one per line, without their leading space)."""
    result = []
    for block in text.split("\n\n"):
        fields, name = {}, None
        for line in block.splitlines():
            if line.startswith((" ", "\t")) and name:
                fields[name] += "\n" + line[1:]
            elif ":" in line:
                name, value = line.split(":", 1)
                fields[name] = value.strip()
            elif line.strip():
                raise ValueError(f"not a field: {line!r}")
        if fields:
            result.append(fields)
    return result


def check_copyright(path):
    with open(path, encoding="utf-8") as f:
        try:
            header, *rest = paragraphs(f.read())
        except ValueError as error:
            return [str(error)]
    problems = []
    if header.get("Format") != DEP5:
        problems.append(f"Format is {header.get('Format')!r}, not {DEP5}")
    files = [p for p in rest if "Files" in p]
    texts = {p["License"].split("\n")[0]: p["License"] for p in rest if "Files" not in p}
    if not any(p["Files"].split() == ["*"] for p in files):
        problems.append("no 'Files: *' paragraph")
    for p in files:
        for field in ("Copyright", "License"):
            if not p.get(field):
                problems.append(f"Files: {p['Files']} has no {field}")
        name = p.get("License", "").split("\n")[0]
        if name and "\n" not in p["License"] and "\n" not in texts.get(name, ""):
            problems.append(f"the text of licence {name!r} is not given")
    for name, text in texts.items():
        if name.startswith("GPL-3") and "/usr/share/common-licenses/GPL-3" not in text:
            problems.append(f"licence {name} does not point to /usr/share/common-licenses/GPL-3")
    return problems


if __name__ == "__main__":
    kind, *args = sys.argv[1:]
    found = check_metainfo(*args) if kind == "metainfo" else check_copyright(*args)
    for problem in found:
        print(f"{kind}: {problem}")
    sys.exit(1 if found else 0)

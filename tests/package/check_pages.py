#!/usr/bin/env python3
"""Checks that the pages for the people who use Horalis (README.md, README.zh_CN.md and
the two manual pages) name only what the window has: its buttons, labels, options and
boxes as the layout writes them, and the program's own messages.

  check_pages.py [TREE]

TREE is the source tree (default: the one this file is in). What the window has is read
from the code: the layout's texts (the file of app/ that sets the window's title), the
message boxes' buttons, the desktop entry's Chinese texts, and every Chinese string
literal of app/, net/, platform/ and ui/ (the messages, with %1 and the like standing
for any text). In the pages:

- every Chinese term a Chinese page quotes (“…”, 「…」, **…**, `…`, bold in roff) is one of
  the window's texts, a desktop entry text, a heading of that page, an allowed term
  below, or made of the messages' words (… in a page stands for any text there): in a
  Chinese page, quotes and bold mark the window's words, not emphasis;
- every Chinese text in an English page is such a term;
- the first column of a table of messages (headed 提示 or Message) is made of the
  messages' words, each alternative (separated by " / ") on its own;
- no page names a kind of control the window does not have (a status bar, a menu bar,
  a check box, ...), and a Chinese page calls a button only what the window calls it.

Prints each problem and exits 1 when there is any.
"""
import pathlib
import re
import shlex
import sys

# Terms the pages may quote that are no text of the program, and why.
ALLOWED = {
    "简体中文": "the English page's link to the Chinese one",
    "系统": "the applications menu's category of the desktop entry (Categories=System)",
    "系统工具": "the name some desktops give that category",
}

# Kinds of control this window does not have; naming one sends the reader looking for it.
NO_SUCH_CONTROL = {
    "zh": ["状态栏", "状态条", "菜单栏", "工具栏", "复选框", "勾选框", "下拉框", "下拉菜单",
           "下拉列表", "组合框", "列表框", "进度条", "滑块", "选项卡", "标签页", "托盘"],
    "en": ["status bar", "status line", "statusbar", "menu bar", "menubar", "toolbar",
           "tool bar", "check box", "checkbox", "drop-down", "dropdown", "combo box",
           "list box", "progress bar", "slider", "tab page", "system tray"],
}

# What may stand before 按钮 besides a button's own text: "四个按钮".
BUTTON_COUNT = re.compile(r"[一二三四两几个]$")

CJK = "\u3000-\u303f\u4e00-\u9fff\uff00-\uffef“”‘’…"
HAS_CJK = re.compile("[\u4e00-\u9fff\uff01-\uff5e]")
# The program's Chinese texts, and the quotes it puts around a text it echoes.
CHINESE_LITERAL = re.compile("[\u4e00-\u9fff\uff01-\uff5e“”]")
# Chinese text, with the digits, blanks and signs a message holds between its words.
CJK_RUN = re.compile(f"[{CJK}]+(?:[ 0-9:.\\-/%?]*[{CJK}]+)*")
LITERAL = re.compile(r'(?:u8|u|U|L)?"((?:[^"\\\n]|\\.)*)"')
PLACEHOLDER = re.compile(r"%\d+|\n")
FILLER = re.compile(r"[ -~]+")


def literals(source):
    """The string literals of C++ source, adjacent ones joined as the compiler joins them."""
    source = re.sub(r"//[^\n]*", "", source)
    source = re.sub(r"/\*.*?\*/", "", source, flags=re.S)
    found, current, end = [], None, 0
    for match in LITERAL.finditer(source):
        text = re.sub(r"\\(.)", lambda e: "\n" if e.group(1) == "n" else e.group(1), match.group(1))
        if current is not None and source[end:match.start()].strip() == "":
            current += text
        else:
            if current is not None:
                found.append(current)
            current = text
        end = match.end()
    if current is not None:
        found.append(current)
    return found


class Program:
    """What the window and the program say."""

    def __init__(self, tree):
        # The window's layout: where it gets its title, and its controls their texts.
        layouts = sorted(p for p in tree.glob("app/*.cpp") if "setWindowTitle(" in p.read_text())
        boxes = sorted(p for d in ("platform", "ui") for p in (tree / d).rglob("messageboxes.cpp"))
        sources = [p for d in ("app", "net", "platform", "ui") for p in (tree / d).rglob("*")
                   if p.suffix in (".cpp", ".h")]
        chinese = lambda paths: {t for p in paths for t in literals(p.read_text())
                                 if CHINESE_LITERAL.search(t)}
        self.window = chinese(layouts) | chinese(boxes)
        self.window |= {t.rstrip("：") for t in self.window}
        self.messages = chinese(sources)
        self.desktop = set()
        for entry in tree.glob("app/*.desktop"):
            for line in entry.read_text().splitlines():
                if re.match(r"(Name|GenericName|Comment|Keywords)\[zh_CN\]=", line):
                    self.desktop |= set(filter(None, re.split(r"[;=]", line.split("=", 1)[1])))
        self.buttons = {t for p in layouts for t in re.findall(
            r'(?:button\([^;]*?|(?:Option|Command)\d+->setText\()QStringLiteral\("([^"]+)"\)',
            p.read_text())}
        self.buttons |= chinese(boxes)
        self.problems = []
        if not self.buttons or not self.messages:
            self.problems.append(f"no window's layout (setWindowTitle, buttons) in {tree}/app")
        self.fragments = {f for m in self.messages for f in PLACEHOLDER.split(m) if f}
        self.suffixes = {f[i:] for f in self.fragments for i in range(len(f))}
        self.prefixes = {f[:i] for f in self.fragments for i in range(1, len(f) + 1)}

    def said(self, chunk):
        """Whether chunk is text of the messages: a piece of one, or pieces of several put
        together where one holds a placeholder (a message inside a message, a number)."""
        if any(chunk in f for f in self.fragments):
            return True
        n = len(chunk)
        reach = [False] * (n + 1)
        for j in range(1, n):
            head = chunk[:j]
            reach[j] = head in self.suffixes or bool(FILLER.fullmatch(head))
        for i in range(1, n):
            if not reach[i]:
                continue
            tail = chunk[i:]
            if tail in self.prefixes or FILLER.fullmatch(tail):
                return True
            for j in range(i + 1, n):
                part = chunk[i:j]
                if part in self.fragments or FILLER.fullmatch(part):
                    reach[j] = True
        return False

    def message(self, text):
        """Whether text, with … for any text, is made of the messages' words."""
        return all(not HAS_CJK.search(c) or self.said(c) for c in text.split("…"))

    def names(self, term, page_terms):
        term = term.strip()
        if term in self.window or term in self.desktop or term in ALLOWED or term in page_terms:
            return True
        return all(self.message(alternative) for alternative in term.split(" / "))


def markdown(text):
    """The page's lines without its code blocks, numbered as in the file."""
    lines, fenced = [], False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            fenced = not fenced
            continue
        lines.append((number, "" if fenced else line))
    return lines


def roff(text):
    """The page's text lines, numbered as in the file: requests' arguments joined as the
    font macros join them, escapes turned into the characters they stand for."""
    lines = []
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith('.\\"'):
            continue
        line = line.replace("\\(lq", "“").replace("\\(rq", "”").replace("\\(dq", '"')
        line = line.replace("\\-", "-").replace("\\{\\", "").replace("\\}", "")
        request = re.match(r"\.(B|I|BR|RB|IR|RI|BI|IB)\s+(.*)", line)
        if request:
            args = shlex.split(request.group(2).replace("\\fB", "").replace("\\fR", ""))
            line = ("\\fB" + "".join(args) + "\\fR") if request.group(1) == "B" else "".join(args)
        elif line.startswith("."):
            line = re.sub(r"^\.\S+\s*", "", line)
        lines.append((number, line))
    return lines


QUOTED = [re.compile(p) for p in (r"“([^“”]*)”", r"「([^「」]*)」", r"\*\*([^*]+)\*\*",
                                     r"`([^`]+)`", r"\\fB(.*?)\\f[RP]")]


def quoted_terms(line):
    for pattern in QUOTED:
        for match in pattern.finditer(line):
            term = re.sub(r"\*\*|\\f[BIRP]|[“”]", "", match.group(1))
            if HAS_CJK.search(term):
                yield term


def tables(lines):
    """First cells of the rows of every table of messages."""
    in_table = False
    for number, line in lines:
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else []
        if not cells:
            in_table = False
        elif not in_table and (cells[0].startswith("提示") or cells[0].startswith("Message")):
            in_table = True
        elif in_table and not set(cells[0]) <= set("-: "):
            yield number, cells[0]


def check(path, language, program):
    text = path.read_text()
    lines = roff(text) if path.suffix == ".in" else markdown(text)
    headings = {re.sub(r"^#+\s*", "", l) for _, l in lines if l.startswith("#")}
    problems = {}  # in the order found, each once
    bad = lambda number, what: problems.setdefault(f"{path.name}:{number}: {what}")
    for number, line in lines:
        plain = re.sub(r"\\f[BIRP]", "", line)
        for word in NO_SUCH_CONTROL[language]:
            if word in plain.lower():
                bad(number, f"names a {word!r}, which the window does not have")
        if language == "zh":
            for term in quoted_terms(line):
                if not program.names(term, headings):
                    bad(number, f"“{term}” is neither a text of the window nor of its messages")
            for match in re.finditer("按钮", plain):
                before = re.sub(r"[“”「」*\s]+$", "", plain[:match.start()])
                if not (any(before.endswith(b) for b in program.buttons)
                        or BUTTON_COUNT.search(before)):
                    bad(number, f"a button “{before[-8:]}”: the window's buttons are "
                        + "、".join(sorted(program.buttons)))
        else:
            for run in CJK_RUN.findall(plain):
                if HAS_CJK.search(run) and not program.names(run, headings):
                    bad(number, f"“{run}” is neither a text of the window nor of its messages")
    for number, cell in tables(lines):
        cell = re.sub(r"\*\*|`", "", cell)
        if not all(program.message(a) for a in cell.split(" / ")):
            bad(number, f"the message “{cell}” is not one the program shows")
    return list(problems)


def main(argv):
    tree = pathlib.Path(argv[1] if len(argv) > 1 else pathlib.Path(__file__).parents[2])
    program = Program(tree)
    problems = list(program.problems)
    pages = [("README.md", "en"), ("README.zh_CN.md", "zh"),
             ("data/horalis.1.in", "en"), ("data/horalis.zh_CN.1.in", "zh")]
    for name, language in pages:
        problems += check(tree / name, language, program)
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"{', '.join(n for n, _ in pages)} name only the window's texts and messages")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

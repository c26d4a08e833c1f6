#!/usr/bin/env python3
"""Writes a manual page (roff, section 1) from a program's own help text.

    man_page.py NAME SUMMARY OUT [--details] -- PROGRAM [ARGS...]

The program is run with --help (and, with --details, `help COMMAND` for each
command) so that the page and the help never disagree. The help is read as
this project writes it: a "usage:" line, paragraphs, and "commands:" and
"options:" blocks whose entries start two spaces in, with their description
after a run of blanks or on lines indented deeper.
"""

import subprocess
import sys
from typing import List, Tuple


def run(program: List[str], *args: str) -> str:
    done = subprocess.run(program + list(args), capture_output=True, text=True, timeout=60,
                          check=False)
    if done.returncode != 0:
        raise SystemExit(f"man_page: {' '.join(program + list(args))} exited {done.returncode}")
    return done.stdout.replace("\r", "")


def roff(text: str) -> str:
    """Text safe in roff: backslashes, hyphens and leading dots escaped."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def paragraphs(lines: List[str]) -> List[List[str]]:
    out: List[List[str]] = [[]]
    for line in lines:
        if line.strip():
            out[-1].append(line)
        elif out[-1]:
            out.append([])
    return [p for p in out if p]


def entries(block: List[str]) -> List[Tuple[str, List[str]]]:
    """The entries of a commands: or options: block: (term, description lines)."""
    out: List[Tuple[str, List[str]]] = []
    for line in block:
        indent = len(line) - len(line.lstrip(" "))
        if indent <= 2 or not out:
            term, _, rest = line.strip().partition("  ")
            out.append((term, [rest.strip()] if rest.strip() else []))
        else:
            out[-1][1].append(line.strip())
    return out


def main() -> int:
    argv = sys.argv[1:]
    if "--" not in argv or argv.index("--") < 3:
        raise SystemExit(__doc__)
    split = argv.index("--")
    name, summary, out_path = argv[0], argv[1], argv[2]
    details = "--details" in argv[3:split]
    program = argv[split + 1:]
    help_text = run(program, "--help").splitlines()
    version = run(program, "--version").strip().split("\n")[0]

    usage = help_text[0]
    if not usage.startswith("usage: "):
        raise SystemExit(f"man_page: {name} --help does not begin with 'usage:'")
    sections: dict[str, List[str]] = {"": []}
    current = ""
    for line in help_text[1:]:
        if line in ("commands:", "options:"):
            current = line[:-1]
            sections[current] = []
        elif current and line and not line.startswith("  "):
            current = ""
            sections[""].append(line)
        elif current and not line:
            current = ""
            sections[""].append(line)
        else:
            sections[current].append(line)
    if "commands" not in sections:
        raise SystemExit(f"man_page: {name} --help lists no commands")

    page = [f'.TH {name.upper()} 1 "" "{roff(version)}" "User Commands"', ".SH NAME",
            f"{name} \\- {roff(summary)}", ".SH SYNOPSIS",
            f".B {name}", roff(usage[len("usage: ") + len(name):].strip())]
    texts = paragraphs(sections[""])
    exit_codes = [p for p in texts if p[0].startswith("exit codes:")]
    prose = [p for p in texts if p not in exit_codes]
    page.append(".SH DESCRIPTION")
    for i, p in enumerate(prose[:1]):
        page += ([".PP"] if i else []) + [roff(line.strip()) for line in p]
    for title, block in (("COMMANDS", sections["commands"]), ("OPTIONS", sections.get("options", []))):
        if not block:
            continue
        page.append(f".SH {title}")
        for term, desc in entries(block):
            page += [".TP", f".B {roff(term)}"] + [roff(d) for d in desc]
    if details:
        page.append('.SH "COMMAND DETAILS"')
        for term, _ in entries(sections["commands"]):
            command = term.split()[0]
            lines = [line for line in run(program, "help", command).splitlines() if line.strip()]
            page.append(f".SS {roff(command)}")
            if lines and lines[0].startswith("usage: "):
                page += [".B", roff(lines[0][len("usage: "):]), ".br"]
                lines = lines[1:]
            page += [roff(line) for line in lines]
    if prose[1:]:
        page.append(".SH NOTES")
        for i, p in enumerate(prose[1:]):
            page += ([".PP"] if i else []) + [roff(line.strip()) for line in p]
    for p in exit_codes:
        page.append('.SH "EXIT STATUS"')
        text = " ".join(line.strip() for line in p)[len("exit codes:"):].strip()
        page.append(roff(text))
    with open(out_path, "w", encoding="utf-8") as f:
        f.write("\n".join(page) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

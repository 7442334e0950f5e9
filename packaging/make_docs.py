#!/usr/bin/env python3
"""Makes the documents that the packages carry, the same bytes on every run.

    make_docs.py readme-text README.md README.txt     the operator's part of the README (before
                                                      "## For developers") as plain text, CR LF
    make_docs.py crlf IN OUT                          a text file with CR LF line ends
    make_docs.py gzip IN OUT                          gzip -9n: no name, no time stamp
    make_docs.py man-text PAGE.1 OUT                  a manual page as plain text, CR LF (the
                                                      macros our pages use)
    make_docs.py debian-changelog CHANGELOG.md OUT --package NAME --version V --maintainer M
                                                      the Debian changelog, gzip -9n; fails when
                                                      the newest entry is not version V
"""

import argparse
import datetime
import email.utils
import gzip
import re
import sys
import textwrap


def write_crlf(path, text):
    lines = text.replace("\r\n", "\n").split("\n")
    while lines and not lines[-1].strip():
        lines.pop()
    with open(path, "wb") as handle:
        handle.write("".join(line.rstrip() + "\r\n" for line in lines).encode("utf-8"))


def write_gzip(path, data):
    with open(path, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=raw, mtime=0) as out:
            out.write(data)


def plain_inline(text):
    """Inline markdown as plain text: code, links, emphasis and escapes."""
    text = re.sub(r"!\[([^\]]*)\]\(([^)\s]+)[^)]*\)", r"\1 (\2)", text)  # pictures
    text = re.sub(r"\[([^\]]+)\]\(([^)\s]+)[^)]*\)",
                  lambda m: m.group(2) if m.group(1).strip("`") == m.group(2)
                  else f"{m.group(1)} ({m.group(2)})", text)
    text = re.sub(r"<(https?://[^>]+)>", r"\1", text)
    text = re.sub(r"`+([^`]+?)`+", r"\1", text)
    text = re.sub(r"\*\*([^*]+)\*\*|__([^_]+)__", lambda m: m.group(1) or m.group(2), text)
    text = re.sub(r"(?<![\w*])\*(?=\S)([^*]+?)(?<=\S)\*(?![\w*])", r"\1", text)
    return re.sub(r"\\([\\`*_{}\[\]()#+\-.!|<>])", r"\1", text)


def table_text(rows):
    """A markdown table as aligned columns, the header underlined."""
    cells = [[plain_inline(c.strip()) for c in row.strip().strip("|").split("|")] for row in rows
             if not re.fullmatch(r"\s*\|?[\s:|-]+\|?\s*", row)]
    widths = [max(len(row[i]) if i < len(row) else 0 for row in cells)
              for i in range(max(len(row) for row in cells))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return lines


def readme_text(markdown):
    markdown = re.sub(r"<!--.*?-->", "", markdown, flags=re.S)
    lines = markdown.replace("\r\n", "\n").split("\n")
    out, table, fence = [], [], None
    for line in lines:
        if fence is None and line.startswith("## For developers"):
            break
        if table and not line.lstrip().startswith("|"):
            out += table_text(table)
            table = []
        stripped = line.strip()
        if stripped.startswith("```") or stripped.startswith("~~~"):
            if fence is None:
                fence = stripped[3:].strip() or "text"
            else:
                fence = None
            continue
        if fence is not None:
            if fence != "mermaid":  # a diagram says nothing as text
                out.append("    " + line)
            continue
        if line.lstrip().startswith("|"):
            table.append(line)
            continue
        heading = re.match(r"(#{1,6})\s+(.*?)\s*#*\s*$", line)
        if heading:
            title = plain_inline(heading.group(2))
            level = len(heading.group(1))
            out.append(title)
            out.append("=-~~~~"[level - 1] * len(title))
            continue
        if line.startswith("    ") or line.startswith("\t"):
            out.append(line)  # an indented code block, as it is
        else:
            out.append(plain_inline(line))
    if table:
        out += table_text(table)
    return "\n".join(out)


ROFF_ESCAPES = [("\\-", "-"), ("\\(bu", "*"), ("\\(dq", '"'), ("\\(aq", "'"), ("\\(em", "--"),
                ("\\&", ""), ("\\e", "\\"), ("\\ ", "\u00a0")]


def roff_words(arguments):
    """The arguments of a macro line, a quoted one as one argument."""
    return [a[1:-1] if a.startswith('"') else a for a in re.findall(r'"[^"]*"|\S+', arguments)]


def roff_inline(text):
    text = re.sub(r"\\f[BIRP]", "", text)
    for escape, plain in ROFF_ESCAPES:
        text = text.replace(escape, plain)
    return text


def man_text(page, width=78):
    """A manual page in plain text: headings at the margin, text indented, tags of .TP and .IP
    items on a line of their own (or before their text, when it fits), examples as they are."""
    out, words, state = [], [], {"indent": 7, "tag": None, "verbatim": False, "extra": 0}

    def flush():
        indent = " " * (state["indent"] + state["extra"])
        text = " ".join(words)
        words.clear()
        tag = state["tag"]
        state["tag"] = None
        if tag is not None:
            if len(tag) < state["indent"] - 7:  # fits before the text, as man shows it
                lines = textwrap.wrap(text, width, initial_indent=" " * 7 + tag.ljust(
                    state["indent"] - 7), subsequent_indent=indent) or [" " * 7 + tag]
                out.extend(lines)
                return
            out.append(" " * (7 + state["extra"]) + tag)
        if text:
            out.extend(textwrap.wrap(text, width, initial_indent=indent,
                                     subsequent_indent=indent, break_on_hyphens=False))

    awaiting_tag = False
    for line in page.replace("\r\n", "\n").split("\n"):
        if line.startswith('.\\"'):
            continue
        if state["verbatim"] and not line.startswith(".EE"):
            out.append(" " * (state["indent"] + state["extra"] + 4) + roff_inline(line))
            continue
        macro = re.match(r"\.(\w+)\s*(.*)", line)
        if macro is None:
            text = roff_inline(line)
            if awaiting_tag:
                state["tag"] = text
                awaiting_tag = False
            elif text.strip():
                words.append(text.strip())
            else:
                flush()
                out.append("")
            continue
        name, rest = macro.groups()
        args = roff_words(rest)
        if name in ("B", "I"):
            text = roff_inline(" ".join(args))
        elif name in ("BR", "IR", "RB", "RI", "BI", "IB"):
            text = roff_inline("".join(args))
        else:
            text = None
        if text is not None:
            if awaiting_tag:
                state["tag"] = text
                awaiting_tag = False
            else:
                words.append(text)
            continue
        flush()
        if name == "TH":
            title = f"{args[0]}({args[1]})"
            out.append(title + args[3].center(width - 2 * len(title)) + title if len(args) > 3
                       else title)
        elif name in ("SH", "SS"):
            out += ["", ("   " if name == "SS" else "") + roff_inline(" ".join(args))]
            state.update(indent=7, extra=0)
        elif name in ("PP", "P", "LP"):
            out.append("")
            state["indent"] = 7
        elif name in ("TP", "TQ"):
            if name == "TP":
                out.append("")
            state["indent"] = 14
            awaiting_tag = True
        elif name == "IP":
            out.append("")
            state["indent"] = 7 + int(args[1]) if len(args) > 1 else 14
            state["tag"] = roff_inline(args[0]) if args else ""
        elif name == "RS":
            state["extra"] += 7
        elif name == "RE":
            state["extra"] = max(0, state["extra"] - 7)
        elif name == "EX":
            state["verbatim"] = True
        elif name == "EE":
            state["verbatim"] = False
    flush()
    text = "\n".join(out).replace("\u00a0", " ")
    return re.sub(r"\n{3,}", "\n\n", text).strip("\n") + "\n"


def changelog_entries(markdown):
    """[(version, date, [item, ...])] from "## VERSION (YYYY-MM-DD)" sections, newest first.

    An item is a "- " bullet with its continuation lines, or a paragraph."""
    entries = []
    for line in markdown.replace("\r\n", "\n").split("\n"):
        heading = re.match(r"##\s+(\S+)\s+\((\d{4}-\d{2}-\d{2})\)\s*$", line)
        if heading:
            entries.append((heading.group(1), heading.group(2), []))
        elif entries:
            items = entries[-1][2]
            if not line.strip():
                items.append(None)
            elif line.startswith("- ") or not items or items[-1] is None:
                items.append(line.strip())
            else:
                items[-1] += " " + line.strip()
    return [(version, date, [i for i in items if i]) for version, date, items in entries]


def debian_changelog(markdown, package, maintainer):
    text = []
    for version, date, items in changelog_entries(markdown):
        when = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
        text.append(f"{package} ({version}) unstable; urgency=medium\n")
        for item in items:
            body = plain_inline(item[2:] if item.startswith("- ") else item)
            text += textwrap.wrap(body, 78, initial_indent="  * ", subsequent_indent="    ")
        text.append(f"\n -- {maintainer}  {email.utils.format_datetime(when)}\n")
    return "\n".join(text) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("action", choices=["readme-text", "crlf", "gzip", "man-text",
                                           "debian-changelog"])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--package")
    parser.add_argument("--version")
    parser.add_argument("--maintainer")
    args = parser.parse_args()

    with open(args.input, "rb") as handle:
        data = handle.read()
    if args.action == "gzip":
        write_gzip(args.output, data)
    elif args.action == "crlf":
        write_crlf(args.output, data.decode("utf-8"))
    elif args.action == "man-text":
        write_crlf(args.output, man_text(data.decode("utf-8")))
    elif args.action == "readme-text":
        write_crlf(args.output, readme_text(data.decode("utf-8")))
    else:
        entries = changelog_entries(data.decode("utf-8"))
        if not entries or entries[0][0] != args.version:
            newest = entries[0][0] if entries else "none"
            sys.exit(f"{args.input}: the newest entry is {newest}, the project is {args.version}")
        changelog = debian_changelog(data.decode("utf-8"), args.package, args.maintainer)
        write_gzip(args.output, changelog.encode("utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main())

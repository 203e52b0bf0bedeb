#!/usr/bin/env python3
"""Makes a program's man page from its --help (and --version, when it has one).

    make_manpage.py PROGRAM OUTPUT SUMMARY

OUTPUT is section 1 roff, gzip-compressed when its name ends in .gz (with no
time stamp, so that the same help gives the same bytes). The help's
"Usage: NAME ARGS" line becomes the synopsis, each line of its own ending in
':' a subsection, and the rest the description, laid out as the help is.
"""
import gzip
import os
import re
import subprocess
import sys


def run(program, option):
    done = subprocess.run([program, option], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return done.stdout.decode("utf-8", "replace") if done.returncode == 0 else ""


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def man_page(program, summary):
    name = os.path.basename(program)
    help_lines = run(program, "--help").splitlines()
    version = run(program, "--version").strip()
    synopsis = ""
    body = []
    for line in help_lines:
        usage = re.match(r"(?i)usage: +(\S+) *(.*)", line)
        if usage and not synopsis:
            synopsis = usage.group(2)
        elif re.match(r"\S.*:$", line):
            body += [".SS " + roff(line[:-1]), ".nf"]
        else:
            body.append(roff(line))
    if not help_lines:
        sys.exit("%s --help printed nothing" % program)
    while body and not body[0]:
        body.pop(0)
    page = [
        '.TH %s 1 "" "%s" "User Commands"' % (roff(name.upper()), roff(version or name)),
        ".SH NAME",
        "%s \\- %s" % (roff(name), roff(summary)),
        ".SH SYNOPSIS",
        ".B %s" % roff(name),
        roff(synopsis),
        ".SH DESCRIPTION",
        ".nf",
    ]
    return "\n".join(page + body + [".fi", ""])


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    program, output, summary = sys.argv[1:]
    data = man_page(program, summary).encode("utf-8")
    if output.endswith(".gz"):
        with open(output, "wb") as out:
            with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0) as packed:
                packed.write(data)
    else:
        with open(output, "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()

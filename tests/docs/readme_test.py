#!/usr/bin/env python3
"""Runs the examples of README.md as written, so that they cannot rot.

A code block of the README that runs `kestrune` or `sqlemu` must follow a marker line:
    <!-- example: NAME -->     the block is run by this test
    <!-- not run: REASON -->   the block cannot run here (another host, a service that stays up)
An unmarked command block fails the test, and so does a missing example of REQUIRED, so an edit of
the README cannot drop an example from the test without saying so.

The examples run in README order, each in a bash of its own, in a box of its own
(tests/kestrune_harness.py): a copy of kestrune on PATH whose config.ini names the instance
`localhost`, sqlemu on PATH, the emulated instances MSSQLSERVER (with a database Sales) and SECOND,
an existing folder `backups` below the current folder, and `build` there standing for the build tree
BUILD_DIR (for the examples that name build/...). TMPDIR is private too.
readme_test.py --list | examples."""

import os
import re
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, ".."))
from kestrune_harness import check, main, sqlemu_bin  # noqa: E402
import kestrune_harness  # noqa: E402

README = os.path.join(here, "..", "..", "README.md")

REQUIRED = ["version", "try", "runs", "another-name", "media-format"]
# What an example must print besides ending with status 0.
PRINTS = {"version": "Kestrune Version - [1.0.0.0]", "try": "same content"}

MARKER = re.compile(r"^<!-- (example|not run): (.+?) -->\s*$")
COMMAND = re.compile(r"(^|[\s/$(])(kestrune|sqlemu)\b", re.M)


def blocks(lines):
    """(line number, marker kind, marker text, block text) of every indented or fenced code block;
    kind and text are None for a block without a marker."""
    out = []
    marker = None
    i = 0
    while i < len(lines):
        line = lines[i]
        m = MARKER.match(line)
        if m:
            marker = (m.group(1), m.group(2), i + 1)
            i += 1
            continue
        prev_blank = i == 0 or not lines[i - 1].strip() or MARKER.match(lines[i - 1])
        if line.startswith("```"):
            j = i + 1
            while j < len(lines) and not lines[j].startswith("```"):
                j += 1
            body = "\n".join(lines[i + 1:j])
            end = j + 1
        elif line.startswith("    ") and line.strip() and prev_blank:
            j = i
            while j < len(lines) and (lines[j].startswith("    ") or not lines[j].strip()):
                j += 1
            while j > i and not lines[j - 1].strip():
                j -= 1
            body = "\n".join(l[4:] for l in lines[i:j])
            end = j
        else:
            if line.strip():
                marker = None  # a marker belongs to the block right after it
            i += 1
            continue
        kind, text, _ = marker or (None, None, None)
        out.append((i + 1, kind, text, body))
        marker = None
        i = end
    return out


class Box(kestrune_harness.Box):
    """The examples' folder tree/ (with backups/ and build), kestrune in bin/, TMPDIR in tmp/."""

    def __init__(self):
        super().__init__("kes-readme-")
        self.tree = self.path("tree")
        os.makedirs(os.path.join(self.tree, "backups"))
        os.mkdir(self.path("tmp"))
        os.symlink(os.environ["BUILD_DIR"], os.path.join(self.tree, "build"))
        self.kes = self.install("bin", head="[Default]\nInstance=localhost\n")
        self.sqlemu("db", "create", "MSSQLSERVER", "Sales", "--data-mb", "16", "--data-files", "2", "--seed", "5")

    def env(self):
        e = super().env()
        e.update(PATH=self.path("bin") + ":" + os.path.dirname(sqlemu_bin()) + ":" + e.get("PATH", ""),
                 TMPDIR=self.path("tmp"))
        return e


def case_examples(box):
    lines = open(README, encoding="utf-8").read().split("\n")
    examples = []
    for at, kind, text, body in blocks(lines):
        if kind == "example":
            examples.append((text, at, body))
        elif kind is None:
            check(not COMMAND.search(body), "README.md:%d: a command block without a marker (<!-- example: NAME --> "
                  "to run it here, <!-- not run: REASON --> when it cannot run):\n%s" % (at, body))
    names = [n for n, _, _ in examples]
    for name in REQUIRED:
        check(name in names, "README.md: the example '%s' is gone (its marker <!-- example: %s -->)" % (name, name))
    check(len(set(names)) == len(names), "README.md: example names appear twice: %s" % names)

    source = box.checksum("MSSQLSERVER", "Sales")
    for name, at, body in examples:
        r = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", body], cwd=box.tree, env=box.env(),
                           capture_output=True, timeout=300)
        out = (r.stdout + r.stderr).decode("latin-1")
        want = PRINTS.get(name)
        check(r.returncode == 0 and not (want and want not in out),
              "README.md:%d: example '%s' ended with status %d%s:\n%s\n--- output ---\n%s" % (
                  at, name, r.returncode, ", without \"%s\"" % want if want and want not in out else "", body,
                  out[-4000:]))
    # Every restore over Sales brought back what it held, and the copy on SECOND is the same.
    check(box.checksum("MSSQLSERVER", "Sales") == source, "the examples changed the content of MSSQLSERVER.Sales")
    if "another-name" in names:
        check(box.sqlemu("db", "checksum", "SECOND", "SalesCopy", ok=False).strip() == source,
              "SECOND.SalesCopy does not hold the content of MSSQLSERVER.Sales")
    print("%d examples run: %s" % (len(examples), ", ".join(names)))


if __name__ == "__main__":
    sys.exit(main(globals(), lambda case: Box()))

#!/usr/bin/env python3
"""Runs the examples of README.md as written, so that they cannot rot.

A code block of the README that runs `kestrune` or `sqlemu` must follow a marker line:
    <!-- example: NAME -->     the block is run by this test
    <!-- not run: REASON -->   the block cannot run here (another host, a service that stays up)
An unmarked command block fails the test, and so does a missing example of REQUIRED, so an edit of
the README cannot drop an example from the test without saying so.

The examples run in README order, each in a bash of its own, in one private folder: a copy of
kestrune on PATH whose config.ini names the instance `localhost`, sqlemu on PATH, the emulated
instances MSSQLSERVER (with a database Sales) and SECOND, an existing folder `backups` below the
current folder, and `build` there standing for the build tree (for the examples that name
build/...). TMPDIR, HOME, ODBCSYSINI, SQLEMU_ROOT and the lock folder are private too."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

README = sys.argv[1]
BUILD = os.environ["BUILD_DIR"]
KESTRUNE = os.environ["KESTRUNE_BIN"]
SQLEMU = os.environ["SQLEMU_BIN"]

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


def main():
    lines = open(README, encoding="utf-8").read().split("\n")
    failures = []
    examples = []
    for at, kind, text, body in blocks(lines):
        if kind == "example":
            examples.append((text, at, body))
        elif kind is None and COMMAND.search(body):
            failures.append("README.md:%d: a command block without a marker (<!-- example: NAME --> to run it "
                            "here, <!-- not run: REASON --> when it cannot run):\n%s" % (at, body))
    names = [n for n, _, _ in examples]
    for name in REQUIRED:
        if name not in names:
            failures.append("README.md: the example '%s' is gone (its marker <!-- example: %s -->)" % (name, name))
    if len(set(names)) != len(names):
        failures.append("README.md: example names appear twice: %s" % names)

    world = tempfile.mkdtemp(prefix="kes-readme-")
    tree = os.path.join(world, "tree")
    bindir = os.path.join(world, "bin")
    for d in ("tree/backups", "bin", "odbc", "root", "home", "tmp", "lock"):
        os.makedirs(os.path.join(world, d))
    os.symlink(BUILD, os.path.join(tree, "build"))
    shutil.copy2(KESTRUNE, os.path.join(bindir, "kestrune"))
    with open(os.path.join(bindir, "config.ini"), "w") as f:
        f.write("[Default]\nInstance=localhost\n")
    env = dict(os.environ)
    env.update(PATH=bindir + ":" + os.path.dirname(SQLEMU) + ":" + env.get("PATH", ""),
               ODBCSYSINI=os.path.join(world, "odbc"), SQLEMU_ROOT=os.path.join(world, "root"),
               HOME=os.path.join(world, "home"), TMPDIR=os.path.join(world, "tmp"),
               KESTRUNE_LOCK_DIR=os.path.join(world, "lock"))

    def sqlemu(*args):
        r = subprocess.run([SQLEMU, *args], env=env, capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError("sqlemu %s: %s%s" % (" ".join(args), r.stdout, r.stderr))
        return r.stdout.strip()

    sqlemu("odbc-register", env["ODBCSYSINI"])
    sqlemu("instance", "create", "MSSQLSERVER")
    sqlemu("instance", "create", "SECOND")
    sqlemu("db", "create", "MSSQLSERVER", "Sales", "--data-mb", "16", "--data-files", "2", "--seed", "5")
    source = sqlemu("db", "checksum", "MSSQLSERVER", "Sales")

    for name, at, body in examples:
        r = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", body], cwd=tree, env=env, capture_output=True,
                           timeout=300)
        out = (r.stdout + r.stderr).decode("latin-1")
        want = PRINTS.get(name)
        if r.returncode != 0 or (want and want not in out):
            failures.append("README.md:%d: example '%s' ended with status %d%s:\n%s\n--- output ---\n%s" % (
                at, name, r.returncode, ", without \"%s\"" % want if want and want not in out else "", body,
                out[-4000:]))
    # Every restore over Sales brought back what it held, and the copy on SECOND is the same.
    if sqlemu("db", "checksum", "MSSQLSERVER", "Sales") != source:
        failures.append("the examples changed the content of MSSQLSERVER.Sales")
    if "another-name" in names and subprocess.run([SQLEMU, "db", "checksum", "SECOND", "SalesCopy"], env=env,
                                                  capture_output=True, text=True).stdout.strip() != source:
        failures.append("SECOND.SalesCopy does not hold the content of MSSQLSERVER.Sales")

    if failures:
        print("private folder kept at", world)
    else:
        shutil.rmtree(world, ignore_errors=True)
    for f in failures:
        print("FAIL:", f)
    print("%d examples run: %s" % (len(examples), ", ".join(names)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

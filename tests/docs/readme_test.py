#!/usr/bin/env python3
"""Runs the examples of README.md as written, so that they cannot rot.

A code block of the README that runs `kestrune` or `sqlemu` must follow a marker line:
    <!-- example: NAME -->     the block is run by this test
    <!-- not run: REASON -->   the block cannot run here (another host, a service that stays up)
An unmarked command block fails the test, and so does a missing example of REQUIRED, so an edit of
the README cannot drop an example from the test without saying so.

The examples run as a reader pastes them: in README order, one after the other in one bash, from
the top of a source tree (`build` there stands for the build tree BUILD_DIR) with nothing set up
before them: no emulated instance, no config.ini, no kestrune on PATH. Only HOME, TMPDIR and the
lock folder are private, and the service's port (7000 in the README) is one free here. Afterwards
the shell must be back as it was (current folder, PATH, no ODBCSYSINI or SQLEMU_ROOT) and TMPDIR
empty. readme_test.py --list | examples."""

import os
import re
import shlex
import signal
import socket
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, ".."))
from kestrune_harness import check, main  # noqa: E402
import kestrune_harness  # noqa: E402

README = os.path.join(here, "..", "..", "README.md")

REQUIRED = ["version", "try", "runs", "another-name", "service-chain", "media-format", "clean-up"]
# What an example must print besides ending with status 0.
PRINTS = {"version": "Kestrune Version - [1.0.0.0]", "try": "same content", "service-chain": "state: ONLINE"}
README_PORT = "7000"
BEGIN = "@@readme-example "

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
    """The reader's source tree tree/ (only `build` in it), TMPDIR in tmp/; no instance yet."""

    def __init__(self):
        super().__init__("kes-readme-", register=False, instances=())
        self.tree = self.path("tree")
        os.mkdir(self.tree)
        os.mkdir(self.path("tmp"))
        os.symlink(os.environ["BUILD_DIR"], os.path.join(self.tree, "build"))

    def env(self):
        e = super().env()
        for name in ("ODBCSYSINI", "SQLEMU_ROOT"):  # the reader's shell has none of the box's
            e.pop(name, None)
        e["TMPDIR"] = self.path("tmp")
        return e


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


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

    # One shell: each example starts with a line naming it, a failing command ends the whole script
    # (as it would leave a reader's shell broken for the rest), and the end shows the shell's state.
    port = str(free_port())
    script = ["set -e -o pipefail"]
    for name, at, body in examples:
        if name == "clean-up":
            # Every restore over Sales brought back what it held, and so did each copy of it.
            script += ["echo %s" % shlex.quote(BEGIN + "content"),
                       'for db in "MSSQLSERVER Sales" "SECOND SalesCopy" "THIRD Sales"; do',
                       '  [ "$(sqlemu db checksum $db)" = "$kes_readme_sales" ] || echo "differs: $db"; done']
        script += ["echo %s" % shlex.quote(BEGIN + name), body.replace(":" + README_PORT, ":" + port)
                   .replace("=" + README_PORT, "=" + port)]
        if name == "try":
            script.append("kes_readme_sales=$(sqlemu db checksum MSSQLSERVER Sales)")
    script.append('echo "%sshell PWD=$PWD PATH=$PATH ODBCSYSINI=${ODBCSYSINI-unset} SQLEMU_ROOT=${SQLEMU_ROOT-unset}"'
                  % BEGIN)
    env = box.env()
    # A session of its own, so that a service an example leaves running goes when the shell ends.
    with open(box.path("shell.out"), "wb") as sink:
        shell = subprocess.Popen(["bash", "-c", "\n".join(script)], cwd=box.tree, env=env, stdin=subprocess.DEVNULL,
                                 stdout=sink, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            status = shell.wait(timeout=600)
        except subprocess.TimeoutExpired:
            status = "timed out"
        try:
            os.killpg(shell.pid, signal.SIGKILL)
        except OSError:
            pass
        shell.wait()
    out = open(box.path("shell.out"), "rb").read().decode("latin-1")
    parts = {}
    for piece in out.split(BEGIN)[1:]:
        name, _, text = piece.partition("\n")
        parts[name.split(" ")[0]] = (name, text)
    ran = [n for n in names if n in parts]
    last = ran[-1] if ran else None
    if status != 0 or "shell" not in parts:
        at, body = next((a, b) for n, a, b in examples if n == last) if last else (0, "")
        check(False, "README.md:%d: example '%s' ended the shell (status %s):\n%s\n--- its output ---\n%s" % (
            at, last, status, body, parts.get(last, ("", out))[1][-4000:]))
    for name, want in PRINTS.items():
        if name in parts:
            check(want in parts[name][1], "README.md: example '%s' did not print \"%s\":\n%s" % (
                name, want, parts[name][1][-4000:]))
    if "content" in parts:
        check("differs" not in parts["content"][1], "the examples changed a database's content:\n" +
              parts["content"][1])
    if "shell" in parts:
        state = parts["shell"][0]
        expected = "shell PWD=%s PATH=%s ODBCSYSINI=unset SQLEMU_ROOT=unset" % (box.tree, env["PATH"])
        check(state == expected, "the examples left the shell changed:\n  %s\nnot\n  %s" % (state, expected))
        check(os.listdir(box.path("tmp")) == [], "the examples left files in TMPDIR: %s" % os.listdir(box.path("tmp")))
    print("%d examples run: %s" % (len(ran), ", ".join(ran)))


if __name__ == "__main__":
    sys.exit(main(globals(), lambda case: Box()))

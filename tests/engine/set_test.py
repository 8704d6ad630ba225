#!/usr/bin/env python3
"""How a backup puts its set in place: whole or not at all, whatever fails or kills the run, and never
at the cost of a backup the server has counted. Real runs against the emulated instances, with the
file-system fault shim (IOFAULT_LIB) failing or killing the process at each step of the commit.

Boxes as in run_test.py: the installation in bin/, media in bk/, Sales on MSSQLSERVER, restores into
SECOND. set_test.py --list | CASE."""

import fcntl
import os
import random
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kestrune_harness import ST_FAIL, check, iofault_env, main  # noqa: E402
import run_test  # noqa: E402
from run_test import finished_output, rc4, snapshot  # noqa: E402

TEMP = ".kestrune-tmp"
RECORD = ".kestrune-commit"
KEPT = ".kestrune-kept-"
SECOND = "-i=localhost\\SECOND"


class Box(run_test.Box):
    def __init__(self):
        super().__init__(data_mb=2)

    def folder(self, name):
        path = os.path.join(self.bk, name)
        os.mkdir(path)
        return path

    def touch(self, pages=12):
        self.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", str(pages))
        return self.checksum("MSSQLSERVER", "Sales")

    def run_env(self, env, *args):
        st, out, _ = self.kes.run("-D", *args, env=env)
        return st, out

    def restore(self, what, files, kind="F", recovery=True):
        """Restores `files` (a -f= value) into SECOND; a full restore first drops what is there."""
        if kind == "F":
            self.sqlemu("db", "drop", "SECOND", "Sales", ok=False)
        return self.ok(what, "-a=R", "-b=" + kind, "-d=Sales", "-f=" + files, SECOND,
                       "-O=R" if recovery else "-O=N")

    def restored(self):
        return self.checksum("SECOND", "Sales")


def media(folder, n, ext="bak", db="Sales"):
    return [os.path.join(folder, "%s_%d.%s" % (db, k, ext)) for k in range(1, n + 1)]


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith((TEMP, RECORD)) or KEPT in n)


def named(out, pattern):
    """The [paths] that the lines matching `pattern` (one group around the path) name."""
    return re.findall(pattern, out)


# ---------------------------------------------------------------- the steps of one commit

def commit_steps(box, args, folder, env_extra=None):
    """Runs the backup `args` once with the shim listing its calls on `folder`, and returns the
    steps of its commit, in order: (op, match, nth, label) where the rule "op:match:nth:ACTION"
    acts on exactly that call. The commit begins with the temporary files' last syncs (the movers
    sync them before the server finishes too)."""
    log = box.path("steps-%d.log" % time.monotonic_ns())
    rules = "fsync:%s:0:EIO;rename:%s:0:EIO;unlink:%s:0:EIO;write:%s:0:EIO" % (folder, folder, folder, RECORD)
    st, out = box.run_env(iofault_env(rules, log), *args)
    check(st == 0, "listing the steps: status %d" % st, out)
    calls = []
    for line in open(log, encoding="latin-1").read().splitlines():
        op, rest = line.split(" ", 1)
        calls.append((op, rest))
    last_sync = {}
    for i, (op, rest) in enumerate(calls):
        if op == "fsync" and rest.endswith(TEMP):
            last_sync[rest] = i
    start = min(last_sync.values())
    steps = []
    for i in range(start, len(calls)):
        op, rest = calls[i]
        match = rest.split(" ")[0] if op == "rename" else rest
        # The shim counts the calls of one op whose paths hold the match, as here.
        nth = sum(1 for o, r in calls[:i + 1] if o == op and match in r)
        steps.append((op, match, nth, "%s %s #%d" % (op, os.path.relpath(rest, box.dir), nth)))
    return steps


def first_rename(steps):
    return next(i for i, s in enumerate(steps) if s[0] == "rename")


# ---------------------------------------------------------------- the table of commit faults

# Each kind: the backup, its streams, and how a restore reaches the content it holds.
COMMIT_KINDS = {
    "full": dict(bk="F", streams=3, ext="bak"),
    "log": dict(bk="L", streams=2, ext="trn"),
}
FAULT_OPS = {
    "sync": ("fsync",),        # the files', the records' and the folders' syncs
    "record": ("write",),      # the writes of the commit records
    "rename": ("rename",),
    "unlink": ("unlink",),     # the stale options file and the records
}


def commit_fault_case(kind, group):
    """Every step of the chosen ops in the commit of a `kind` backup, failed with EIO: the run ends
    255 and its Error lines name files that hold the new backup; before the records are complete
    the new files are kept aside and the previous set stays, after it the next run completes the
    replacement; either way the new backup restores with its checksum and the next differential
    or log backup restores in chain after it."""
    k = COMMIT_KINDS[kind]

    def case(box):
        ext, n = k["ext"], k["streams"]
        probe = box.folder("probe")
        if kind == "log":
            box.ok("full before the log backups", "-a=B", "-b=F", "-d=Sales", "-f=1@" + box.folder("full0"))
        steps = commit_steps(box, ["-a=B", "-b=" + k["bk"], "-d=Sales", "-f=%d@%s" % (n, probe)], probe)
        boundary = first_rename(steps)
        points = [(i, s) for i, s in enumerate(steps) if s[0] in FAULT_OPS[group]
                  and not (s[0] == "unlink" and s[1].endswith(TEMP))]  # an unused, empty claim
        check(points, "no %s step in the commit: %s" % (group, [s[3] for s in steps]))
        for p, (i, (op, match, nth, label)) in enumerate(points):
            folder = box.folder("p%d" % p)
            files = "%d@%s" % (n, folder)
            backup = ["-a=B", "-b=" + k["bk"], "-d=Sales", "-f=" + files]
            full = None
            if kind == "full":
                box.ok(label + ": previous set", *backup)
            else:
                full = os.path.join(box.folder("f%d" % p), "Sales_1.bak")
                box.ok(label + ": full", "-a=B", "-b=F", "-d=Sales", "-f=" + full)
            before = snapshot(folder)
            new = box.touch()
            st, out = box.run_env(iofault_env("%s:%s:%d:EIO" % (op, match.replace(probe, folder), nth)), *backup)
            check(st == ST_FAIL, "%s: status %d" % (label, st), out)
            if i < boundary:
                kept = named(out, r"is kept as \[([^\]]+)\]")
                check("The server has recorded this backup" in out and len(kept) >= n and
                      all(os.path.exists(f) for f in kept),
                      "%s: the kept files are not named" % label, out)
                check({f: b for f, b in snapshot(folder).items() if KEPT not in f} == before,
                      "%s: the previous set changed" % label, str(list(snapshot(folder))))
                check(not [f for f in leftovers(folder) if KEPT not in f], "%s: leftovers %s" % (
                    label, leftovers(folder)))
                restorable = ",".join(f for f in kept if not f.endswith("_opts"))
            else:
                holders = named(out, r"The new backup is in \[([^\]]+)\]")
                check(len(holders) == n + (kind == "full") and all(os.path.exists(f) for f in holders) and
                      "The next run on these files completes the replacement." in out,
                      "%s: the files holding the new backup are not named" % label, out)
                box.ok(label + ": verify, which completes the replacement", "-a=V", "-b=" + k["bk"], "-d=Sales",
                       "-f=" + files)
                check(not leftovers(folder), "%s: leftovers after the verify: %s" % (label, leftovers(folder)))
                restorable = ",".join(media(folder, n, ext))
            # The next backup chains after the one the server counted.
            nxt = box.touch()
            nxt_kind = "D" if kind == "full" else "L"
            nxt_files = "%d@%s" % (n, box.folder("n%d" % p))
            box.ok(label + ": next backup", "-a=B", "-b=" + nxt_kind, "-d=Sales", "-f=" + nxt_files)
            if kind == "full":
                box.restore(label + ": restore", restorable, recovery=False)
            else:
                box.restore(label + ": restore the full", full, recovery=False)
                box.restore(label + ": restore", restorable, "L", recovery=False)
            box.restore(label + ": restore the next", nxt_files, nxt_kind)
            check(box.restored() == nxt, "%s: the chain does not restore to the content (new %s)" % (label, new))

    case.__doc__ = commit_fault_case.__doc__
    return case


for _kind in COMMIT_KINDS:
    for _group in FAULT_OPS:
        globals()["case_commit_faults_%s_%s" % (_kind, _group)] = commit_fault_case(_kind, _group)


def case_stream_fails_after_the_server_finished(box):
    """A stream whose media file fails to sync at its close, when the server may already have
    finished: the run ends 255 and keeps what the server counted. Kept files are named and the
    previous set stays; either way the next differential restores in chain after the backup the
    server counted, so no counted backup is lost."""
    for k in (1, 2):
        folder = box.folder("s%d" % k)
        files = "2@" + folder
        box.ok("stream %d: previous set" % k, "-a=B", "-b=F", "-d=Sales", "-f=" + files)
        before = snapshot(folder)
        box.touch()
        temp = media(folder, 2)[k - 1] + TEMP
        st, out = box.run_env(iofault_env("fsync:%s:1:EIO" % temp), "-a=B", "-b=F", "-d=Sales", "-f=" + files)
        check(st == ST_FAIL, "stream %d: status %d" % (k, st), out)
        kept = named(out, r"is kept as \[([^\]]+)\]")
        check({f: b for f, b in snapshot(folder).items() if KEPT not in f} == before,
              "stream %d: the previous set changed" % k, str(list(snapshot(folder))))
        check(all(os.path.exists(f) for f in kept) and sorted(kept) == sorted(
            os.path.join(folder, f) for f in os.listdir(folder) if KEPT in f), "stream %d: kept files" % k, out)
        if kept:
            check("The server has recorded this backup" in out and len(kept) == 3,
                  "stream %d: the kept set is not whole" % k, out)
        restorable = ",".join(f for f in kept if not f.endswith("_opts")) if kept else files
        box.touch()
        other = "2@" + box.folder("d%d" % k)
        box.ok("stream %d: differential" % k, "-a=B", "-b=D", "-d=Sales", "-f=" + other)
        box.restore("stream %d: restore the full" % k, restorable, recovery=False)
        box.restore("stream %d: restore the differential" % k, other, "D")
        check(box.restored() == box.checksum("MSSQLSERVER", "Sales"), "stream %d: the chain differs" % k)


def case_keeping_aside_fails(box):
    """When even the rename to a kept name fails, the Error lines say where the new backup is, and
    it is there, whole."""
    folder = box.folder("set")
    backup = ["-a=B", "-b=F", "-d=Sales", "-f=2@" + folder]
    box.ok("previous set", *backup)
    op, match, nth, _ = commit_steps(box, backup, folder)[0]
    new = box.touch()
    st, out = box.run_env(iofault_env("%s:%s:%d:EIO;rename:%s:1+:EXDEV" % (op, match, nth, KEPT)), *backup)
    check(st == ST_FAIL, "status %d" % st, out)
    left = named(out, r"could not be kept aside \([^)]*\): it is \[([^\]]+)\]; move it elsewhere")
    check(len(left) == 3 and all(os.path.exists(f) for f in left), "the files are not named", out)
    # Moved elsewhere by hand, as the lines say, they restore.
    moved = box.folder("moved")
    for f in left:
        os.rename(f, os.path.join(moved, os.path.basename(f)[:-len(TEMP)]))
    box.restore("restore of the moved files", "2@" + moved)
    check(box.restored() == new, "the moved files do not hold the new backup")


# ---------------------------------------------------------------- kills around the commit

def settle_and_check(box, label, folder, files, old, new, want, roller):
    """After a kill: the `roller` run (verify or restore) completes or ignores what was left, and
    the files then hold the whole old set or the whole new one (`want`: "old", "new" or None for
    either). Returns the content now in the files and the roller's output."""
    if roller == "verify":
        st, out = box.run("-a=V", "-b=F", "-d=Sales", "-f=" + files)
        check(st == 0, "%s: verify status %d" % (label, st), out)
        box.sqlemu("db", "drop", "SECOND", "Sales", ok=False)
        st, out2 = box.run("-a=R", "-b=F", "-d=Sales", "-f=" + files, SECOND, "-O=R")
    else:
        box.sqlemu("db", "drop", "SECOND", "Sales", ok=False)
        st, out = box.run("-a=R", "-b=F", "-d=Sales", "-f=" + files, SECOND, "-O=R")
    check(st == 0, "%s: restore status %d" % (label, st), out)
    got = box.restored()
    check(got in (old, new), "%s: the files hold neither set whole" % label, out)
    if want:
        check(got == (old if want == "old" else new), "%s: the files hold the %s set" % (
            label, "new" if got == new else "old"), out)
    check(not [f for f in leftovers(folder) if not f.endswith(TEMP)], "%s: records left: %s" % (
        label, leftovers(folder)))
    if "it is in place now" in out:
        check(got == new, "%s: the %s says it completed a set that is not the new one" % (label, roller), out)
    return got, out


def kill_case(group):
    """kill -9 at every chosen call of a full backup's commit over a good set: the verify or the
    restore that comes next leaves the old set or the new one whole (and the new one from the first
    rename on), restored with its checksum."""

    def case(box):
        folder = box.folder("set")
        files = "3@" + folder
        backup = ["-a=B", "-b=F", "-d=Sales", "-f=" + files]
        box.ok("previous set", *backup)
        steps = commit_steps(box, backup, folder)
        # The set is committed once the last record is written whole: a kill up to that write
        # leaves the old set, any later one the new.
        last_record = max(i for i, s in enumerate(steps) if s[0] == "write")
        old = box.checksum("MSSQLSERVER", "Sales")
        for i, (op, match, nth, label) in enumerate(steps):
            if op not in group:
                continue
            new = box.touch()
            st, out = box.run_env(iofault_env("%s:%s:%d:KILL" % (op, match, nth)), *backup)
            check(st == -signal.SIGKILL, "%s: not killed (%d)" % (label, st), out)
            old, out = settle_and_check(box, "killed at " + label, folder, files, old, new,
                                        "old" if i <= last_record else "new", "verify" if i % 2 else "restore")
            if op == "rename":
                check("it is in place now" in out, "killed at %s: not completed with a Warn line" % label, out)

    case.__doc__ = kill_case.__doc__
    return case


case_kills_syncs = kill_case(("fsync",))
case_kills_renames_writes_unlinks = kill_case(("rename", "write", "unlink"))


def case_kills_timed(box):
    """kill -9 at moments after the server has finished: the old set or the new one, whole."""
    folder = box.folder("set")
    files = "4@" + folder
    backup = ["-a=B", "-b=F", "-d=Sales", "-f=" + files]
    box.ok("previous set", *backup)
    old = box.checksum("MSSQLSERVER", "Sales")
    # The commit follows the statement by up to a second (the wait for the device threads).
    for delay in (0.0, 0.1, 0.4, 0.7, 0.85, 0.95, 1.05, 1.2, 1.5):
        new = box.touch()
        n = len(box.log())
        p = box.start(*backup)
        deadline = time.monotonic() + 60
        while p.poll() is None and "successfully processed" not in box.log()[n:] and time.monotonic() < deadline:
            time.sleep(0.002)
        time.sleep(delay)
        p.kill()
        finished_output(p)
        old, _ = settle_and_check(box, "killed %.2f s after the statement" % delay, folder, files, old, new, None,
                               "verify" if delay < 0.9 else "restore")


def case_first_backup_killed_mid_commit(box):
    """A first backup killed at each rename exists only as temporary files and records: a verify
    or a restore completes it before it looks for the files."""
    for kind, ext in (("F", "bak"), ("L", "trn")):
        probe = box.folder("probe" + kind)
        steps = [s for s in commit_steps(box, ["-a=B", "-b=" + kind, "-d=Sales", "-f=2@" + probe], probe)
                 if s[0] == "rename"]
        for p, (op, match, nth, label) in enumerate(steps):
            folder = box.folder("%s%d" % (kind, p))
            full = None
            if kind == "L":
                full = os.path.join(folder, "full.bak")
                box.ok(label + ": full", "-a=B", "-b=F", "-d=Sales", "-f=" + full)
            content = box.touch()
            files = ",".join(media(folder, 2, ext))
            st, out = box.run_env(iofault_env("%s:%s:%d:KILL" % (op, os.path.join(folder, os.path.basename(match)),
                                                                 nth)), "-a=B", "-b=" + kind, "-d=Sales",
                                  "-f=2@" + folder)
            check(st == -signal.SIGKILL, "%s %s: not killed (%d)" % (kind, label, st), out)
            check(any(f.endswith(TEMP) for f in os.listdir(folder)), "%s %s: no file left to rename" % (kind, label))
            if kind == "F":
                st, out = box.run("-a=V", "-b=F", "-d=Sales", "-f=" + files)
                check(st == 0 and "it is in place now" in out, "%s %s: the verify did not complete it (%d)" % (
                    kind, label, st), out)
                box.restore(kind + " " + label + ": restore", files)
            else:
                box.restore(kind + " " + label + ": restore the full", full, recovery=False)
                out = box.restore(kind + " " + label + ": restore", files, "L")
                check("it is in place now" in out, "%s %s: the restore did not complete it" % (kind, label), out)
            check(box.restored() == content, "%s %s: restored content" % (kind, label))
            check(not leftovers(folder), "%s %s: leftovers %s" % (kind, label, leftovers(folder)))


def case_commit_held_by_a_live_run(box):
    """Records whose temporary files a live run holds are that run's: a verify waits for it (here
    the hold goes after 2 s and the verify completes the set); a backup still held after its wait
    is refused without touching anything."""
    folder = box.folder("set")
    files = "2@" + folder
    backup = ["-a=B", "-b=F", "-d=Sales", "-f=" + files]
    box.ok("previous set", *backup)
    rename = [s for s in commit_steps(box, backup, folder) if s[0] == "rename"][0]
    new = box.touch()
    st, out = box.run_env(iofault_env("rename:%s:%d:KILL" % (rename[1], rename[2])), *backup)
    check(st == -signal.SIGKILL, "not killed (%d)" % st, out)

    def hold():
        fds = [os.open(os.path.join(folder, f), os.O_WRONLY) for f in os.listdir(folder) if f.endswith(TEMP)]
        for fd in fds:
            fcntl.flock(fd, fcntl.LOCK_EX)
        return fds

    fds = hold()
    left = snapshot(folder)
    n = len(box.batches())
    st, out = box.run(*backup)
    check(st == ST_FAIL and "is being written by another run." in out, "held backup: status %d" % st, out)
    check(snapshot(folder) == left, "held backup: the files changed")
    check(not any(b.startswith("BACKUP") for b in box.batches()[n:]), "held backup: submitted")

    p = box.start("-a=V", "-b=F", "-d=Sales", "-f=" + files)
    time.sleep(2)
    check(p.poll() is None, "the verify did not wait for the holder")
    for fd in fds:
        os.close(fd)
    st, out = finished_output(p)
    check(st == 0 and "it is in place now" in out, "verify after the hold: status %d" % st, out)
    box.restore("restore", files)
    check(box.restored() == new, "the completed set differs")


# ---------------------------------------------------------------- what cannot become a media file

def case_unwritable_media(box):
    """A stream file that cannot become a media file is refused when the set is claimed: one Error
    line naming it, status 255, nothing submitted, the previous set untouched."""
    folder = box.folder("set")
    first = os.path.join(folder, "a.bak")
    box.ok("previous set", "-a=B", "-b=F", "-d=Sales", "-f=%s,%s" % (first, os.path.join(folder, "b.bak")))
    sub = box.folder("sub")
    ro = box.folder("ro")
    os.chmod(ro, 0o555)
    no_dac = ("setpriv", "--bounding-set=-dac_override,-dac_read_search", "--inh-caps=-dac_override,-dac_read_search")
    long_name = os.path.join(folder, "n" * 256)
    for what, second, reason, wrap in (
            ("a folder", sub, "it is a folder", ()),
            ("a missing folder", os.path.join(box.bk, "none", "b.bak"),
             "its folder %s does not exist" % os.path.join(box.bk, "none"), ()),
            ("a read-only folder", os.path.join(ro, "b.bak"), "its folder %s takes no new file (" % ro, no_dac),
            ("a name too long", long_name, "its name holds 256 characters, more than the 255 its file system takes",
             ()),
    ):
        before = snapshot(folder)
        n = len(box.batches())
        st, out, _ = box.kes.run("-D", "-a=B", "-b=F", "-d=Sales", "-f=%s,%s" % (first, second), wrap=wrap)
        check(st == ST_FAIL, "%s: status %d" % (what, st), out)
        line = "The media file [%s] cannot be written: %s" % (second, reason)
        check(out.count(line) == 1, "%s: no line %r" % (what, line), out)
        check(not any(b.startswith("BACKUP") for b in box.batches()[n:]), "%s: submitted" % what)
        check(snapshot(folder) == before and not os.listdir(ro), "%s: files changed" % what,
              str(list(snapshot(folder))))


def case_long_names(box):
    """A media name at the file system's limit is valid whatever suffix its temporary file or its
    record needs; an options file name past the limit refuses the full backup that needs it."""
    folder = box.folder("long")
    first = os.path.join(folder, "f" * 246 + ".bak")        # 250 characters: its "_opts" has 255
    second = os.path.join(folder, "s" * 251 + ".bak")       # 255
    files = "%s,%s" % (first, second)
    box.ok("backup", "-a=B", "-b=F", "-d=Sales", "-f=" + files)
    box.ok("verify", "-a=V", "-b=F", "-d=Sales", "-f=" + files)
    box.restore("restore", files)
    check(box.restored() == box.checksum("MSSQLSERVER", "Sales"), "restored content")
    check(sorted(os.listdir(folder)) == sorted(os.path.basename(f) for f in (first, first + "_opts", second)),
          "names left", str(os.listdir(folder)))
    # Killed between its renames, the set is found again by its records' shortened names.
    rename = [s for s in commit_steps(box, ["-a=B", "-b=F", "-d=Sales", "-f=" + files], folder)
              if s[0] == "rename"][1]
    new = box.touch()
    st, out = box.run_env(iofault_env("rename:%s:%d:KILL" % (rename[1], rename[2])), "-a=B", "-b=F", "-d=Sales",
                          "-f=" + files)
    check(st == -signal.SIGKILL, "not killed (%d)" % st, out)
    check(any(len(n) == 255 and n.endswith(RECORD) for n in os.listdir(folder)), "no shortened record",
          str(os.listdir(folder)))
    out = box.restore("restore after the kill", files)
    check("it is in place now" in out and box.restored() == new, "the killed set was not completed", out)

    too_long = os.path.join(folder, "t" * 247 + ".bak")     # 251: its options file would have 256
    n = len(box.batches())
    st, out = box.run("-a=B", "-b=F", "-d=Sales", "-f=" + too_long)
    check(st == ST_FAIL and "The operation options file [%s_opts] cannot be written: its name holds 256 characters"
          % too_long in out, "full backup with a too long options name: status %d" % st, out)
    check(not any(b.startswith("BACKUP") for b in box.batches()[n:]), "too long options name: submitted")
    box.ok("log backup to the same name", "-a=B", "-b=L", "-d=Sales", "-f=" + too_long)


def case_named_twice(box):
    """One file named in two spellings, or through a link, is named more than once."""
    folder = box.folder("twice")
    x = os.path.join(folder, "x.bak")
    os.symlink("x.bak", os.path.join(folder, "link.bak"))
    for what, second in (("./", os.path.join(folder, ".", "x.bak")), ("a link", os.path.join(folder, "link.bak")),
                         ("..", os.path.join(folder, "..", "twice", "x.bak"))):
        st, out = box.run("-a=B", "-b=F", "-d=Sales", "-f=%s,%s" % (x, second))
        check(st == ST_FAIL and "The media file [%s] is named more than once." % second in out,
              "%s: status %d" % (what, st), out)
        check(sorted(os.listdir(folder)) == ["link.bak"], "%s: files left" % what, str(os.listdir(folder)))


def case_device_media(box):
    """A backup to /dev/null writes no options file beside it, nor tries to remove one."""
    log = box.path("unlinks.log")
    st, out = box.run_env(iofault_env("unlink:/dev/null:0:EIO;rename:/dev/null:0:EIO", log), "-a=B", "-b=F",
                          "-d=Sales", "-f=/dev/null")
    check(st == 0, "status %d" % st, out)
    check(not os.path.exists("/dev/null_opts"), "/dev/null_opts was written")
    check(not os.path.exists(log) or "/dev/null" not in open(log).read(), "a file beside /dev/null was touched",
          open(log).read() if os.path.exists(log) else "")
    # A device keeps nothing: two names of /dev/null are two streams into it, not one file named twice.
    folder = box.folder("nulls")
    for k in (1, 2):
        os.symlink("/dev/null", os.path.join(folder, "Sales_%d.bak" % k))
    st, out = box.run("-a=B", "-b=F", "-d=Sales", "-f=2@" + folder)
    check(st == 0, "two links to /dev/null: status %d" % st, out)


# ---------------------------------------------------------------- backups of other kinds over a set

def case_differential_or_log_onto_a_full_set(box):
    """The n@folder names are the same for a full and a differential backup: a differential (or a
    log backup) over a full set's files is refused before anything is submitted; written to other
    files it runs."""
    folder = box.folder("set")
    box.ok("full", "-a=B", "-b=F", "-d=Sales", "-f=2@" + folder)
    box.touch()
    full = snapshot(folder)
    names = ", ".join("[%s]" % f for f in media(folder, 2))
    for kind, word, files in (("D", "differential", "2@" + folder), ("L", "log", ",".join(media(folder, 2)))):
        n = len(box.batches())
        st, out = box.run("-a=B", "-b=" + kind, "-d=Sales", "-f=" + files)
        check(st == ST_FAIL, "%s: status %d" % (word, st), out)
        check("The media files %s hold a full backup set (its options file [%s_opts] is beside them), which this %s "
              "backup would replace: write the %s backup to other files." % (names, media(folder, 1)[0], word, word)
              in out, "%s: message" % word, out)
        check(not any(b.startswith(("BACKUP", "ALTER")) for b in box.batches()[n:]), "%s: submitted" % word)
        check(snapshot(folder) == full, "%s: the full set changed" % word)
    other = box.folder("diff")
    box.ok("differential to other files", "-a=B", "-b=D", "-d=Sales", "-f=2@" + other)
    box.restore("restore the full", "2@" + folder, recovery=False)
    box.restore("restore the differential", "2@" + other, "D")
    check(box.restored() == box.checksum("MSSQLSERVER", "Sales"), "the chain differs")


def case_log_over_a_log_file(box):
    """A log backup that replaces an earlier log backup's file says so."""
    folder = box.folder("logs")
    box.ok("full", "-a=B", "-b=F", "-d=Sales", "-f=1@" + box.folder("full"))
    box.ok("first log", "-a=B", "-b=L", "-d=Sales", "-f=1@" + folder)
    box.touch()
    out = box.ok("second log", "-a=B", "-b=L", "-d=Sales", "-f=1@" + folder)
    line = ("The log backup replaces the earlier backup in [%s]: give each log backup files of its own, or the log "
            "chain lacks the one replaced." % media(folder, 1, "trn")[0])
    check(line in out, "no warning", out)
    out = box.ok("log to new files", "-a=B", "-b=L", "-d=Sales", "-f=1@" + box.folder("logs2"))
    check("The log backup replaces" not in out, "a warning for new files", out)


# ---------------------------------------------------------------- options files that are no list

def case_foreign_options_files(box):
    """A crafted or a corrupt options file is refused before anything reaches the target: no batch
    but the start-up's, the other databases untouched."""
    folder = box.folder("set")
    files = "2@" + folder
    box.ok("full", "-a=B", "-b=F", "-d=Sales", "-f=" + files)
    opts = media(folder, 1)[0] + "_opts"
    box.sqlemu("db", "create", "SECOND", "Other", "--data-mb", "1", "--seed", "2")
    other = (box.checksum("SECOND", "Other"), box.db_show("SECOND", "Other"))
    # What every run sends first (the server's version), here for a run refused for a missing file.
    n = len(box.batches("SECOND"))
    box.run("-a=R", "-b=F", "-d=Sales", "-f=" + os.path.join(folder, "none.bak"), SECOND, "-O=R")
    startup = box.batches("SECOND")[n:]
    # Closes the resolve query's literal and runs a batch of its own there.
    crafted = (", MOVE ''Sales'' TO ''%DATA%Sales.mdf''' AS NVARCHAR(MAX)), 'a', 'a'), 'a', 'a') ALTER DATABASE "
               "[Other] SET SINGLE_USER WITH ROLLBACK IMMEDIATE; SELECT REPLACE(REPLACE(CAST('")
    for what, content in (("crafted", rc4(crafted.encode())), ("corrupt", random.Random(5).randbytes(300))):
        with open(opts, "wb") as f:
            f.write(content)
        n = len(box.batches("SECOND"))
        st, out = box.run("-a=R", "-b=F", "-d=Sales", "-f=" + files, SECOND, "-O=R")
        check(st == ST_FAIL, "%s: status %d" % (what, st), out)
        check("The operation options file [%s] does not hold a file list of the shape a backup writes. Nothing was "
              "submitted." % opts in out, "%s: message" % what, out)
        check(box.batches("SECOND")[n:] == startup, "%s: batches reached the target" % what,
              "\n".join(box.batches("SECOND")[n:]))
        check((box.checksum("SECOND", "Other"), box.db_show("SECOND", "Other")) == other,
              "%s: another database changed" % what, box.db_show("SECOND", "Other"))
        check(not box.db_show("SECOND", "Sales"), "%s: a database was restored" % what)


def make_box(case):
    return Box()


if __name__ == "__main__":
    sys.exit(main(globals(), make_box))

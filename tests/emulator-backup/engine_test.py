#!/usr/bin/env python3
"""The emulated server's BACKUP and RESTORE driven by the real executable.

- Backups of uneven records with few, small buffers on the restore side, into files and over TCP
  connections that hold little in flight straight into a restore service: every restore completes
  with the source's content (a restore that reads its families in turn waits for a family the
  backup cannot send until another one has drained).
- A restore into another instance that would take the source's live files is refused.

Uses the restore-service test's box (two installations in a private emulated world).
engine_test.py --list | CASE."""

import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, ".."), os.path.join(here, "..", "service")]
from kestrune_harness import ST_FAIL, check, main  # noqa: E402
import service_test  # noqa: E402

SMALL = ["-N=1", "-T=65536"]  # the restore side's BUFFERCOUNT and MAXTRANSFERSIZE


class Box(service_test.Box):
    """The service-test box; with `preload`, every process it starts gets that library preloaded."""

    preload = ""

    def env(self):
        e = super().env()
        if self.preload:
            e["LD_PRELOAD"] = self.preload
            # The preloaded library stands before a sanitizer runtime.
            e["ASAN_OPTIONS"] = ":".join(filter(None, [e.get("ASAN_OPTIONS", ""), "verify_asan_link_order=0"]))
        return e


def uneven(box):
    """A database whose differential backup carries runs of changed pages of every length."""
    box.sqlemu("db", "create", "MSSQLSERVER", "Uneven", "--data-mb", "48", "--data-files", "3", "--seed", "11")


def touch(box):
    box.sqlemu("db", "touch", "MSSQLSERVER", "Uneven", "--pages", "5500")


def same_content(box, what):
    check(box.checksum("SECOND", "Uneven") == box.checksum("MSSQLSERVER", "Uneven"), what + ": content differs")


def kes(box, what, *args, status=0):
    st, out, _ = box.backup.run("-D", *args, timeout=300)
    check(st == status, "%s: status %d" % (what, st), out[-3000:])
    return out


def case_files(box):
    full, diff = os.path.join(box.dir, "full"), os.path.join(box.dir, "diff")
    os.mkdir(full)
    os.mkdir(diff)
    uneven(box)
    kes(box, "full backup", "-a=B", "-b=F", "-d=Uneven", "-f=3@" + full, "-N=2", "-T=4194304")
    kes(box, "full restore", "-a=R", "-b=F", "-d=Uneven", "-f=3@" + full, "-i=localhost\\SECOND", "-O=N", *SMALL)
    touch(box)
    kes(box, "differential backup", "-a=B", "-b=D", "-d=Uneven", "-f=8@" + diff, "-N=16", "-T=1048576")
    kes(box, "differential restore", "-a=R", "-b=D", "-d=Uneven", "-f=8@" + diff, "-i=localhost\\SECOND", "-O=R",
        *SMALL)
    same_content(box, "files")


def case_tcp(box):
    box.preload = os.environ["SMALL_SOCKETS"]
    uneven(box)
    svc = box.start_service("-O=N", *SMALL)
    status, out = box.run_backup(svc.port, 8, "-N=16", "-T=1048576", db="Uneven", timeout=300)
    check(status == 0, "full: status %d" % status, out[-3000:])
    service_test.restored(box, svc, 8, "full")
    touch(box)
    status, out = box.run_backup(svc.port, 8, "-N=16", "-T=1048576", db="Uneven", kind="D", timeout=300)
    check(status == 0, "differential: status %d" % status, out[-3000:])
    service_test.restored(box, svc, 8, "differential", before=8)
    same_content(box, "tcp")


def case_files_in_use(box):
    """Without its options file a restore goes to the paths the backup recorded; on another
    instance of this data root those are the source's live files."""
    bk = os.path.join(box.dir, "bk")
    os.mkdir(bk)
    source = box.checksum("MSSQLSERVER", "Sales")
    kes(box, "backup", "-a=B", "-b=F", "-d=Sales", "-f=2@" + bk)
    opts = os.path.join(bk, "Sales_1.bak_opts")
    os.rename(opts, opts + ".aside")
    out = kes(box, "restore without options", "-a=R", "-b=F", "-d=Sales", "-f=2@" + bk, "-i=localhost\\SECOND",
              "-O=R", status=ST_FAIL)
    mdf = os.path.join(box.root, "MSSQLSERVER", "data", "Sales.mdf")
    check("being used by another process.)' while attempting 'RestoreContainer::ValidateTargetForCreation' on '%s'"
          % mdf in out, "in use: the server's message", out[-3000:])
    check(not box.db_show("SECOND", "Sales"), "in use: registered on SECOND")
    check(box.checksum("MSSQLSERVER", "Sales") == source, "in use: the source changed")
    check("state: ONLINE" in box.db_show("MSSQLSERVER", "Sales"), "in use: the source left ONLINE")
    # With the options file the files move into SECOND's folders.
    os.rename(opts + ".aside", opts)
    kes(box, "restore with options", "-a=R", "-b=F", "-d=Sales", "-f=2@" + bk, "-i=localhost\\SECOND", "-O=R")
    check(box.checksum("SECOND", "Sales") == source, "relocated: content differs")


if __name__ == "__main__":
    sys.exit(main(globals(), lambda case: Box()))

#!/usr/bin/env python3
"""Backup, restore and verify runs of the real executable against emulated instances.

Each case runs in a box of its own (tests/kestrune_harness.py): a copy of kestrune with its own
config.ini in bin/, media files in bk/, the instances MSSQLSERVER (the source) and SECOND (a target
with other default folders). run_test.py --list | CASE."""

import os
import re
import resource
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kestrune_harness import ST_FAIL, check, main  # noqa: E402
import kestrune_harness  # noqa: E402

OPTIONS_KEY = bytes.fromhex("a07c5e19d3b28f46e0c71a95b2d84f3e6c10")
GUID = re.compile(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")

ST_STANDBY = 135    # -121

TEMP = ".kestrune-tmp"  # the suffix of a media file still being written


def rc4(data, key=OPTIONS_KEY):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) % 256
        s[i], s[j] = s[j], s[i]
    i = j = 0
    out = bytearray()
    for b in data:
        i = (i + 1) % 256
        j = (j + s[i]) % 256
        s[i], s[j] = s[j], s[i]
        out.append(b ^ s[(s[i] + s[j]) % 256])
    return bytes(out)


class Box(kestrune_harness.Box):
    """One installation in bin/, backups in bk/; Sales of `data_mb` MB on MSSQLSERVER unless 0."""

    def __init__(self, data_mb=6):
        super().__init__("kes-engine-")
        self.bk = self.path("bk")
        os.mkdir(self.bk)
        self.kes = self.install("bin", "[Default]\nSingleton=0\nInstance=localhost\n")
        self.bin = self.kes.bin
        self.exe = self.kes.exe
        if data_mb:
            self.sqlemu("db", "create", "MSSQLSERVER", "Sales", "--data-mb", str(data_mb), "--seed", "7")

    def config(self, extra):
        self.kes.config(extra)

    def log(self):
        return self.kes.log()

    def run(self, *args, fsize=None):
        """Runs kestrune; with `fsize`, no file it writes may grow beyond that many bytes."""
        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write beyond the limit then fails with EFBIG
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
        st, out, _ = self.kes.run("-D", *args, preexec_fn=limit if fsize is not None else None)
        return st, out

    def start(self, *args):
        """Starts kestrune without waiting; its output goes to a file of the box."""
        out = open(self.path("started-%d.out" % time.monotonic_ns()), "w+b")
        p = subprocess.Popen([self.exe, "-D", *args], env=self.env(), stdout=out, stderr=subprocess.STDOUT)
        p.output = out
        return p

    def ok(self, what, *args):
        st, out = self.run(*args)
        check(st == 0, "%s: status %d" % (what, st), out)
        return out

    def files(self, n, ext="bak", db="Sales", tag=""):
        return ",".join(os.path.join(self.bk, "%s%s_%d.%s" % (db, tag, k, ext)) for k in range(1, n + 1))


def finished_output(p, timeout=240):
    p.wait(timeout=timeout)
    p.output.seek(0)
    return p.returncode, p.output.read().decode("latin-1")


def snapshot(folder):
    """Every name in the folder with its bytes (a link: where it leads)."""
    out = {}
    for n in sorted(os.listdir(folder)):
        path = os.path.join(folder, n)
        out[n] = ("link", os.readlink(path)) if os.path.islink(path) else open(path, "rb").read()
    return out


def temps(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(TEMP))


def round_trip(box, what, streams, *media):
    """Full backup of Sales, verify, restore into SECOND, same content."""
    files = "%d@%s" % (streams, box.bk)
    out = box.ok(what + " backup", "-a=B", "-b=F", "-d=Sales", "-f=" + files, *media)
    check("Operation Progress: " in out, what + ": no progress lines", out)
    box.ok(what + " verify", "-a=V", "-b=F", "-d=Sales", "-f=" + files, *media)
    box.ok(what + " restore", "-a=R", "-b=F", "-d=Sales", "-f=" + files, "-i=localhost\\SECOND", "-O=R", *media)
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), what + ": content differs")
    return files


# ---------------------------------------------------------------- cases

# The round trip under each media setting: what its lines call it, the streams, the media options,
# config.ini lines, and what the first media file must begin with (and what it is otherwise).
ROUND_TRIPS = {
    "plain": dict(what="plain, 1 stream", streams=1),
    "zlib": dict(what="L, 3 streams", streams=3, options=("-z=L", "-Z=6")),
    "gzip": dict(what="G, 8 streams", streams=8, options=("-z=G",), head=(b"\x1f\x8b\x08", "not gzip")),
    "encrypted": dict(what="encrypted, 3 streams", streams=3, options=("-P=secret phrase",)),
    "gzip_encrypted": dict(what="G + encrypted, 1 stream", streams=1, options=("-z=G", "-P=k3y")),
    # The files hold the server's stream as it came: no gzip, no cipher.
    "dnet": dict(what="DNet, 3 streams", streams=3, options=("-z=G", "-P=ignored"), config="DNet=1\n",
                 head=(b"KSBR", "not the raw stream")),
}


def round_trip_case(box, row):
    if row.get("config"):
        box.config(row["config"])
    round_trip(box, row["what"], row["streams"], *row.get("options", ()))
    if "head" in row:
        want, otherwise = row["head"]
        head = open(os.path.join(box.bk, "Sales_1.bak"), "rb").read(len(want))
        check(head == want, "%s: the media file is %s (%r)" % (row["what"], otherwise, head))


kestrune_harness.table_cases(globals(), round_trip_case, ROUND_TRIPS)


def case_chain(box):
    """Full, differential and log backups restored with NORECOVERY, then RECOVERY."""
    box.ok("full", "-a=B", "-b=F", "-d=Sales", "-f=" + box.files(2, tag="F"))
    box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "40")
    box.ok("diff", "-a=B", "-b=D", "-d=Sales", "-f=" + box.files(2, tag="D"))
    box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "20")
    box.ok("log", "-a=B", "-b=L", "-d=Sales", "-f=" + box.files(1, "trn", tag="L"))
    check(not os.path.exists(box.files(1, tag="D").split(",")[0] + "_opts"), "a differential wrote an options file")
    check(not os.path.exists(box.files(1, "trn", tag="L") + "_opts"), "a log backup wrote an options file")
    target = ["-i=localhost\\SECOND", "-d=Sales"]
    box.ok("restore full", "-a=R", "-b=F", "-O=N", "-f=" + box.files(2, tag="F"), *target)
    check("state: RESTORING" in box.db_show("SECOND", "Sales"), "after NORECOVERY the target is not restoring",
          box.db_show("SECOND", "Sales"))
    box.ok("restore diff", "-a=R", "-b=D", "-O=N", "-f=" + box.files(2, tag="D"), *target)
    box.ok("restore log", "-a=R", "-b=L", "-O=R", "-f=" + box.files(1, "trn", tag="L"), *target)
    check("state: ONLINE" in box.db_show("SECOND", "Sales"), "after RECOVERY the target is not online")
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "chain: content differs")
    restores = [b for b in box.batches("SECOND") if b.startswith("RESTORE")]
    check(len(restores) == 3 and restores[0].endswith(", NORECOVERY" + restores[0].split(", NORECOVERY", 1)[1])
          and ", MOVE '" in restores[0] and "MOVE" not in restores[1] + restores[2],
          "chain: restore statements", "\n".join(restores))


def case_options_file(box):
    files = box.files(2)
    box.ok("backup", "-a=B", "-b=F", "-d=Sales", "-f=" + files)
    opts = files.split(",")[0] + "_opts"
    stored = open(opts, "rb").read()
    listed = rc4(stored).decode("latin-1")
    want = (", MOVE ''Sales'' TO ''%DATA%Sales.mdf'', MOVE ''Sales_log'' TO ''%LOG%Sales_log.ldf''")
    check(listed == want, "options file: deciphered list", listed)
    check(len(stored) == len(want), "options file: length %d, list %d" % (len(stored), len(want)))
    # The restore relocates into SECOND's default folders.
    box.ok("restore", "-a=R", "-b=F", "-d=Sales", "-f=" + files, "-i=localhost\\SECOND", "-O=R")
    shown = box.db_show("SECOND", "Sales")
    for folder, name in (("data", "Sales.mdf"), ("log", "Sales_log.ldf")):
        path = os.path.join(box.root, "SECOND", folder, name)
        check(path in shown, "options file: %s not relocated to %s" % (name, path), shown)
    restore = [b for b in box.batches("SECOND") if b.startswith("RESTORE")][-1]
    check(restore.endswith(", RECOVERY, MOVE 'Sales' TO '%s', MOVE 'Sales_log' TO '%s'" % (
        os.path.join(box.root, "SECOND", "data", "Sales.mdf"), os.path.join(box.root, "SECOND", "log", "Sales_log.ldf"))),
        "options file: restore statement", restore)
    # Without the file a restore adds no MOVE clauses and still runs: here over the source itself,
    # since another instance may not take the source's live files.
    os.remove(opts)
    box.ok("restore without options", "-a=R", "-b=F", "-d=Sales", "-f=" + files, "-O=RP")
    restore = [b for b in box.batches() if b.startswith("RESTORE")][-1]
    check("MOVE" not in restore, "no options file: MOVE clauses", restore)
    # A full backup with Host set writes none, even into files.
    box.ok("backup with Host", "-a=B", "-b=F", "-d=Sales", "-f=" + files, "-H=elsewhere")
    check(not os.path.exists(opts), "a backup with Host set wrote an options file")


def case_statements(box):
    """What reaches the server is exactly the composed batch."""
    box.sqlemu("db", "create", "MSSQLSERVER", "Tiny", "--data-mb", "1")
    box.sqlemu("cert", "add", "MSSQLSERVER", "BkCert")
    f1 = box.files(1, db="Tiny")
    f8 = box.files(8, db="Tiny")
    wth = " WITH STATS=5, BUFFERCOUNT=128, MAXTRANSFERSIZE=524288"
    devs8 = "VIRTUAL_DEVICE='{S}'" + "".join(", VIRTUAL_DEVICE='{S}%d'" % i for i in range(1, 8))
    wrap = ("ALTER DATABASE [Tiny] SET SINGLE_USER WITH ROLLBACK IMMEDIATE; %s IF EXISTS(SELECT 1 FROM sys.databases "
            "WHERE name='Tiny' AND user_access=1) ALTER DATABASE [Tiny] SET MULTI_USER WITH ROLLBACK IMMEDIATE; ")
    cases = [
        ("15.0", ["-a=B", "-b=F", "-f=" + f8, "-B=65536", "-o=SC", "-z=B"],
         "BACKUP DATABASE [Tiny] TO " + devs8 +
         " WITH STATS=5, BlockSize=65536, BUFFERCOUNT=128, MAXTRANSFERSIZE=524288, COMPRESSION, COPY_ONLY, CHECKSUM"),
        ("15.0", ["-a=V", "-b=F", "-f=" + f8, "-O=NRP", "-o=SC"], "RESTORE  VERIFYONLY FROM " + devs8 + wth),
        ("8.99", ["-a=B", "-b=D", "-f=" + f1, "-o=CS", "-z=N", "-B=-1", "-C=BkCert"],
         "BACKUP DATABASE [Tiny] TO VIRTUAL_DEVICE='{S}'" + wth + ", DIFFERENTIAL, CHECKSUM"),
        ("12.0", ["-a=B", "-b=F", "-f=" + f1, "-z=N", "-C=BkCert"],
         "BACKUP DATABASE [Tiny] TO VIRTUAL_DEVICE='{S}'" + wth +
         ", NO_COMPRESSION, ENCRYPTION (ALGORITHM = AES_256, SERVER CERTIFICATE = BkCert)"),
        ("15.0", ["-a=B", "-b=L", "-f=" + box.files(1, "trn", db="Tiny"), "-o=N", "-S=x"],
         wrap % ("BACKUP LOG [Tiny] TO VIRTUAL_DEVICE='{S}'" + wth + ", NORECOVERY")),
        ("15.0", ["-a=R", "-b=F", "-f=" + f1, "-O=NP"],
         "RESTORE DATABASE [Tiny] FROM VIRTUAL_DEVICE='{S}'" + wth + ", NORECOVERY, REPLACE"),
        ("15.0", ["-a=R", "-b=F", "-f=" + f1, "-O=RP"],
         "RESTORE DATABASE [Tiny] FROM VIRTUAL_DEVICE='{S}'" + wth + ", RECOVERY, REPLACE"),
        ("10.0", ["-a=B", "-b=F", "-f=" + f1, "-z=B", "-o=C"],
         "BACKUP DATABASE [Tiny] TO VIRTUAL_DEVICE='{S}'" + wth + ", COMPRESSION, COPY_ONLY"),
        ("0.0", ["-a=B", "-b=D", "-f=" + f1, "-o=NCS", "-z=B", "-C=BkCert"],
         "BACKUP DATABASE [Tiny] TO VIRTUAL_DEVICE='{S}'" + wth + ", DIFFERENTIAL"),
        ("7.0", ["-a=B", "-b=L", "-f=" + box.files(1, "trn", db="Tiny"), "-o=NCS", "-z=B", "-S=/tmp"],
         "BACKUP LOG [Tiny] TO VIRTUAL_DEVICE='{S}'" + wth),
    ]
    for version, args, want in cases:
        box.sqlemu("instance", "set", "MSSQLSERVER", "version", version + ".0.0")
        st, out = box.run("-d=Tiny", *args)
        batch = [b for b in box.batches() if b.startswith(("BACKUP", "RESTORE", "ALTER"))][-1]
        got = GUID.sub("{S}", batch)
        check(got == want, "statement for %s %s (status %d)" % (version, " ".join(args), st),
              "want: %s\ngot:  %s\n%s" % (want, got, out))
        # Every later run starts from an online, multi-user database.
        box.sqlemu("db", "set", "MSSQLSERVER", "Tiny", "state", "ONLINE")
        box.sqlemu("db", "set", "MSSQLSERVER", "Tiny", "user-access", "MULTI_USER")
        if args[0] == "-a=B" and "-b=F" in args:
            for f in (f1, f8):
                for p in f.split(","):
                    if os.path.exists(p + "_opts"):
                        os.remove(p + "_opts")


def case_failures(box):
    files = box.files(2)
    box.ok("backup", "-a=B", "-b=F", "-d=Sales", "-f=" + files, "-z=G", "-P=right")
    opts = files.split(",")[0] + "_opts"
    before = len(box.batches("SECOND"))

    def restore_fails(what, *args, status=ST_FAIL, message=None, submitted=True):
        st, out = box.run("-a=R", "-b=F", "-d=Sales", "-i=localhost\\SECOND", "-O=R", *args)
        check(st == status, "%s: status %d" % (what, st), out)
        if message:
            check(message in box.log(), "%s: the log file lacks %r" % (what, message), box.log()[-3000:])
        restores = [b for b in box.batches("SECOND") if b.startswith("RESTORE")]
        check(("RESTORE" in "\n".join(box.batches("SECOND")[before:])) == submitted,
              "%s: submitted %s" % (what, not submitted))
        check("state: ONLINE" not in box.db_show("SECOND", "Sales"), "%s: target left online" % what)
        return out

    restore_fails("missing file", "-f=" + files + "," + os.path.join(box.bk, "nope.bak"), "-z=G", "-P=right",
                  message="File[%s] does NOT exist." % os.path.join(box.bk, "nope.bak"), submitted=False)
    saved = open(opts, "rb").read()
    os.remove(opts)
    os.mkdir(opts)
    restore_fails("unreadable options file", "-f=" + files, "-z=G", "-P=right",
                  message="Filed to pull operation options.", submitted=False)
    os.rmdir(opts)
    with open(opts, "wb") as f:
        f.write(saved)
    before = len(box.batches("SECOND"))
    restore_fails("wrong key", "-f=" + files, "-z=G", "-P=wrong", message="The SQL operation failed with code -1")
    damaged = os.path.join(box.bk, "damaged.bak")
    data = bytearray(open(files.split(",")[1], "rb").read())
    data[len(data) // 2] ^= 0xFF
    open(damaged, "wb").write(bytes(data))
    restore_fails("damaged G file", "-f=" + files.split(",")[0] + "," + damaged, "-z=G", "-P=right",
                  message="The SQL operation failed with code -1")
    # A damaged gzip trailer (its CRC; the cipher flips the same bit of it) is found only at the end
    # of the stream, when the server has read all it needs: the run fails all the same.
    data = bytearray(open(files.split(",")[1], "rb").read())
    data[-8] ^= 0x01
    open(damaged, "wb").write(bytes(data))
    n = len(box.log())
    st, out = box.run("-a=V", "-f=" + files.split(",")[0] + "," + damaged, "-z=G", "-P=right")
    check(st == ST_FAIL, "damaged trailer, verify: status %d" % st, out)
    check("Media failure: " in box.log()[n:], "damaged trailer, verify: no media failure", out)
    restore_fails("damaged trailer", "-f=" + files.split(",")[0] + "," + damaged, "-z=G", "-P=right",
                  message="Media failure: Gunzip: CRC check error (%s)" % damaged)

    # Backups that cannot write their media: a folder that does not exist is found before anything
    # is submitted; a level the compressor refuses when the stream's media is made.
    for what, args, msgs, submitted in (
            ("unwritable folder", ["-f=" + os.path.join(box.dir, "none", "x.bak")],
             ["The media file [%s] cannot be written: its folder %s does not exist." % (
                 os.path.join(box.dir, "none", "x.bak"), os.path.join(box.dir, "none"))], False),
            ("level 10", ["-f=" + os.path.join(box.bk, "lvl.bak"), "-z=G", "-Z=10"],
             ["Failed to open: %s (" % os.path.join(box.bk, "lvl.bak"), "The SQL operation failed with code -1"],
             True)):
        n = len(box.batches())
        st, out = box.run("-a=B", "-b=F", "-d=Sales", *args)
        check(st == ST_FAIL, "%s: status %d" % (what, st), out)
        for msg in msgs:
            check(msg in out, "%s: no %r" % (what, msg), out)
        check(any(b.startswith("BACKUP") for b in box.batches()[n:]) == submitted, "%s: submitted" % what, out)
        check(not temps(box.bk) and not os.path.exists(os.path.join(box.bk, "lvl.bak")), "%s: files left" % what,
              str(os.listdir(box.bk)))

    # A log backup whose standby folder is missing submits nothing.
    n = len(box.batches())
    st, out = box.run("-a=B", "-b=L", "-d=Sales", "-f=" + box.files(1, "trn"), "-S=" + os.path.join(box.dir, "nosb"))
    check(st == ST_STANDBY, "missing standby folder: status %d" % st, out)
    check("The direcotry for standby file [%s] did NOT exist." % os.path.join(box.dir, "nosb") in out,
          "missing standby folder: message", out)
    check(not any(b.startswith(("BACKUP", "ALTER")) for b in box.batches()[n:]), "missing standby: submitted")

    # The server does not open the set in time: -1 after the whole teardown.
    box.sqlemu("fault", "set", "MSSQLSERVER", "vdi-open-delay", "20000")
    st, out = box.run("-a=B", "-b=F", "-d=Sales", "-f=" + box.files(1, tag="T"))
    check(st == ST_FAIL, "configuration time-out: status %d" % st, out)
    check("VDS::Getconfig fails: 0x80770003" in box.log(), "configuration time-out: message", out)
    box.sqlemu("fault", "clear", "MSSQLSERVER", "vdi-open-delay")


# The media kinds: what a run is given, and the config.ini line it needs.
KINDS = [
    ("plain", [], ""),
    ("L", ["-z=L", "-Z=6"], ""),
    ("G", ["-z=G"], ""),
    ("encrypted", ["-P=k3y"], ""),
    ("G + encrypted", ["-z=G", "-P=k3y"], ""),
    ("DNet", ["-z=G"], "DNet=1\n"),
]


def case_media_faults(box):
    """A disk that fills at a media file's last bytes, in every media kind, or at the options file:
    the run fails and the previous set stays exactly as it was."""
    for k, (what, args, config) in enumerate(KINDS):
        box.config(config)
        folder = os.path.join(box.dir, "kind%d" % k)
        os.mkdir(folder)
        files = "1@" + folder
        box.ok(what + ": first backup", "-a=B", "-b=F", "-d=Sales", "-f=" + files, *args)
        before = snapshot(folder)
        size = os.path.getsize(os.path.join(folder, "Sales_1.bak"))
        n = len(box.log())
        # A compressed stream's length varies by some bytes from run to run (the server stamps its
        # backups), so the limit stands a little further from the end than the trailer's 8 bytes.
        st, out = box.run("-a=B", "-b=F", "-d=Sales", "-f=" + files, *args, fsize=size - 256)
        check(st == ST_FAIL, "%s: a full disk at the last bytes gave status %d" % (what, st), out)
        check("Media failure: " in out and "File too large" in out, "%s: the reason is not given" % what, out)
        check(snapshot(folder) == before, "%s: the previous set changed" % what, str(list(snapshot(folder))))
    box.config("")

    # The options file: the disk is full when it is written (its name leads to /dev/full).
    folder = os.path.join(box.dir, "opts")
    os.mkdir(folder)
    box.ok("options: first backup", "-a=B", "-b=F", "-d=Sales", "-f=2@" + folder)
    opts = os.path.join(folder, "Sales_1.bak_opts")
    os.remove(opts)
    os.symlink("/dev/full", opts)
    before = snapshot(folder)
    st, out = box.run("-a=B", "-b=F", "-d=Sales", "-f=2@" + folder)
    check(st == ST_FAIL, "options file on a full disk: status %d" % st, out)
    check("Failed to write the operation options file %s (No space left on device)" % opts in out,
          "options file on a full disk: message", out)
    check(snapshot(folder) == before, "options file on a full disk: the previous set changed",
          str(list(snapshot(folder))))


# Faults after every byte reached the media file: (what, backup kind, media arguments, config.ini
# line, shim rule, whether the server must have counted nothing). A flush the server asks for must
# put the stream on the disk, so a failed sync there fails the statement: the previous set stays and
# the chain after it restores. The last row fails a rename, whose reason must be the system's.
SYNC_FAULTS = [
    ("log, plain", "L", [], "", "fsync:%s:1:EIO" % TEMP, True),
    ("full, G", "F", ["-z=G"], "", "fsync:%s:1:EIO" % TEMP, True),
    ("log, encrypted", "L", ["-P=k3y"], "", "fsync:%s:1:EIO" % TEMP, True),
    ("full, L", "F", ["-z=L", "-Z=6"], "", "fsync:%s:1:EIO" % TEMP, True),
    ("log, G + encrypted", "L", ["-z=G", "-P=k3y"], "", "fsync:%s:1:EIO" % TEMP, True),
    ("full, DNet", "F", ["-z=G"], "DNet=1\n", "fsync:%s:1:EIO" % TEMP, True),
    ("full, a failed rename", "F", [], "", "rename:%s:1:EIO" % TEMP, False),
]


def case_sync_faults(box):
    """A backup whose media cannot be synced fails with the system's reason; when the flush brought
    it out the server counted nothing: the next log (or differential) backup restores in chain."""
    for k, (what, kind, media, config, rule, uncounted) in enumerate(SYNC_FAULTS):
        box.config(config)
        folder = os.path.join(box.dir, "sync%d" % k)
        os.mkdir(folder)
        full = ["-a=B", "-b=F", "-d=Sales", "-f=2@" + folder]
        box.ok(what + ": full backup", *full, *media)
        box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "30")
        chain = [("F", "2@" + folder)]
        if kind == "L":
            first = os.path.join(folder, "first.trn")
            box.ok(what + ": first log backup", "-a=B", "-b=L", "-d=Sales", "-f=" + first, *media)
            chain.append(("L", first))
            box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "30")
            faulted = ["-a=B", "-b=L", "-d=Sales", "-f=" + first]
        else:
            faulted = full
        before = snapshot(folder)
        n = len(box.log())
        st, _, _ = box.kes.run("-D", *faulted, *media, env=kestrune_harness.iofault_env(rule))
        written = box.log()[n:]
        check(st == ST_FAIL, "%s: status %d" % (what, st), written[-3000:])
        check("Input/output error" in written and "Access is denied" not in written,
              "%s: the log does not give the system's reason" % what, written[-3000:])
        if not uncounted:
            continue
        check(snapshot(folder) == before, "%s: the previous set changed" % what, str(list(snapshot(folder))))
        box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "30")
        nxt = os.path.join(folder, "next." + ("trn" if kind == "L" else "bak"))
        box.ok(what + ": next backup", "-a=B", "-b=" + ("L" if kind == "L" else "D"), "-d=Sales", "-f=" + nxt, *media)
        chain.append((kind if kind == "L" else "D", nxt))
        box.sqlemu("db", "drop", "SECOND", "Sales", ok=False)
        for i, (step, files) in enumerate(chain):
            last = i + 1 == len(chain)
            st, out = box.run("-a=R", "-b=" + step, "-d=Sales", "-f=" + files, "-i=localhost\\SECOND",
                              "-O=" + ("R" if last else "N"), *media)
            # The server's error as the log gives it, "state:record:number:text": a bare number
            # also matches the device set's random name.
            check(st == 0 and ":4305:" not in out and ":3136:" not in out,
                  "%s: restore of %s: status %d" % (what, files, st), out[-3000:])
        check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"),
              "%s: the restored chain differs from the source" % what)
    box.config("")


def case_over_good_set(box):
    """A failed, an aborted and a killed backup over a good set: each leaves that set under its
    names, restorable to its own content; the leftovers of the killed run are recognisable and
    the next run takes them over."""
    media = ["-z=G", "-Z=9", "-P=k3y"]
    files = "2@" + box.bk
    backup = ["-a=B", "-b=F", "-d=Sales", "-f=" + files] + media
    box.ok("good backup", *backup)
    good = snapshot(box.bk)
    then = box.checksum("MSSQLSERVER", "Sales")
    box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "60")
    now = box.checksum("MSSQLSERVER", "Sales")
    check(now != then, "the database did not change")

    def restores(what, want):
        box.sqlemu("db", "drop", "SECOND", "Sales", ok=False)
        box.ok(what + ": restore", "-a=R", "-b=F", "-d=Sales", "-f=" + files, "-i=localhost\\SECOND", "-O=R", *media)
        check(box.checksum("SECOND", "Sales") == want, what + ": the restored content is not the set's")

    size = os.path.getsize(os.path.join(box.bk, "Sales_1.bak"))
    st, out = box.run(*backup, fsize=size - 256)
    check(st == ST_FAIL, "failed: status %d" % st, out)
    check(snapshot(box.bk) == good, "failed: the previous set changed", str(list(snapshot(box.bk))))
    restores("failed", then)

    box.sqlemu("fault", "set", "MSSQLSERVER", "abort-at", "50")
    st, out = box.run(*backup)
    box.sqlemu("fault", "clear", "MSSQLSERVER", "abort-at")
    check(st == ST_FAIL, "aborted: status %d" % st, out)
    check(snapshot(box.bk) == good, "aborted: the previous set changed", str(list(snapshot(box.bk))))
    restores("aborted", then)

    # Killed once its media files hold data: the set is not in place before the run has ended.
    p = box.start(*backup)
    while p.poll() is None and not any(os.path.getsize(os.path.join(box.bk, t)) > 0 for t in temps(box.bk)):
        time.sleep(0.002)
    running = p.poll() is None
    p.kill()
    check(running, "killed: the run ended before it was killed", finished_output(p)[1])
    left = temps(box.bk)
    check(left == ["Sales_1.bak" + TEMP, "Sales_1.bak_opts" + TEMP, "Sales_2.bak" + TEMP],
          "killed: leftovers %s" % left)
    check({n: b for n, b in snapshot(box.bk).items() if not n.endswith(TEMP)} == good,
          "killed: the previous set changed")
    restores("killed", then)
    box.ok("backup after the kill", *backup)
    check(not temps(box.bk), "the leftovers were not taken over", str(os.listdir(box.bk)))
    check(sorted(os.listdir(box.bk)) == sorted(good), "after the kill: names", str(os.listdir(box.bk)))
    restores("after the kill", now)


def case_overlap(box):
    """A second run naming a file that a running backup writes is refused before it submits anything
    and takes nothing from the first, which completes."""
    files = box.files(2)
    box.ok("previous set", "-a=B", "-b=F", "-d=Sales", "-f=" + files)
    box.sqlemu("fault", "set", "MSSQLSERVER", "vdi-open-delay", "4000")
    before = len(box.batches())
    first = box.start("-a=B", "-b=F", "-d=Sales", "-f=" + files)
    try:
        # The first run has claimed its files and submitted its statement, which waits in the
        # server's delay: from here on any new BACKUP batch is the second run's.
        deadline = time.monotonic() + 60
        while (len(temps(box.bk)) < 3 or not any(b.startswith("BACKUP") for b in box.batches()[before:])) \
                and first.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        held = snapshot(box.bk)
        n = len(box.batches())
        mine = os.path.join(box.bk, "mine.bak")
        shared = files.split(",")[1]
        st, out = box.run("-a=B", "-b=F", "-d=Sales", "-f=%s,%s" % (mine, shared))
        check(first.poll() is None, "the first run had ended before the second was refused")
        check(st == ST_FAIL, "second run: status %d" % st, out)
        check("The media file [%s] is being written by another run." % shared in out, "second run: message", out)
        check(not any(b.startswith("BACKUP") for b in box.batches()[n:]), "second run: submitted")
        check(snapshot(box.bk) == held, "second run: changed the first run's files", str(list(snapshot(box.bk))))
    finally:
        st, out = finished_output(first)
        box.sqlemu("fault", "clear", "MSSQLSERVER", "vdi-open-delay")
    check(st == 0, "first run: status %d" % st, out)
    check(not temps(box.bk) and not os.path.exists(mine), "files left", str(os.listdir(box.bk)))
    box.ok("restore of the first run's set", "-a=R", "-b=F", "-d=Sales", "-f=" + files, "-i=localhost\\SECOND", "-O=R")
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "the first run's set differs")


def case_fifo_media(box):
    """A pipe no one reads as stream 2: its device thread never gets past the open. Once the server
    has given up on the statement the run still ends, 255, naming the stream, and leaves no process
    that holds the single-instance lock (the runs here take it: no -M, Singleton on)."""
    single = box.install("single", "[Default]\nInstance=localhost\n")
    fifo = os.path.join(box.bk, "pipe.bak")
    os.mkfifo(fifo)
    started = time.monotonic()
    st, out, _ = single.run("-D", "-a=B", "-b=F", "-d=Sales", "-f=%s,%s" % (box.files(1), fifo), timeout=420)
    took = time.monotonic() - started
    written = single.log()
    check(st == ST_FAIL, "status %d after %.0f s" % (st, took), written[-3000:])
    check(re.search(r"The data transfer of stream 2 did not end within \d+ ms after the statement ended\.", written)
          and "stream 1 did not end" not in written, "the log does not name stream 2", written[-3000:])
    left = subprocess.run(["pgrep", "-f", single.exe], capture_output=True, text=True).stdout.split()
    check(not left, "processes left: %s" % left)
    st, out, _ = single.run("-D", "-a=B", "-b=F", "-d=Sales", "-f=" + box.files(2, tag="next"), timeout=120)
    check(st == 0, "the next run: status %d" % st, out[-3000:])


# A restore or verify read with other media settings than its backup's (G + a pass phrase): the
# server's or the reader's message, then the line naming the settings in force.
PASS = "Zq9 pass phrase"
MEDIA_SETTINGS = [
    ("wrong pass phrase", ["-z=G", "-P=not it"], "Gunzip: header decoding error", "CompressType G, EncPass set"),
    ("no -z, no -P", [], "is incorrectly formed", "CompressType A, EncPass not set"),
    ("no -P", ["-z=G"], "Media failure: ", "CompressType G, EncPass not set"),
]
HINT = "A restore or verify needs the CompressType and EncPass the backup was made with; in force: "


def case_media_settings(box):
    files = box.files(2)
    box.ok("backup", "-a=B", "-b=F", "-d=Sales", "-f=" + files, "-z=G", "-P=" + PASS)
    for what, media, reason, settings in MEDIA_SETTINGS:
        for action in (["-a=V"], ["-a=R", "-i=localhost\\SECOND", "-O=R"]):
            label = "%s, %s" % (what, action[0])
            n = len(box.log())
            st, out = box.run(*action, "-b=F", "-d=Sales", "-f=" + files, *media)
            log = box.log()[n:]
            check(st == ST_FAIL, "%s: status %d" % (label, st), out)
            check(reason in log, "%s: the log lacks %r" % (label, reason), log[-3000:])
            check(log.count(HINT) == 1 and HINT + settings + "." in log, "%s: no line naming %s" % (label, settings),
                  log[-3000:])
            check(PASS not in log and "not it" not in log, "%s: the log shows a pass phrase" % label, log[-3000:])
    # The right settings, and a failure that is not the media's, give no such line.
    n = len(box.log())
    box.ok("right settings", "-a=V", "-b=F", "-d=Sales", "-f=" + files, "-z=G", "-P=" + PASS)
    st, out = box.run("-a=R", "-b=F", "-d=Nothing", "-f=" + files, "-z=G", "-P=" + PASS, "-O=R")
    check(st == ST_FAIL, "restore under a name with no files: status %d" % st, out)
    check(HINT not in box.log()[n:], "a run whose media were read right names the settings", box.log()[n:])


# How a run ends, and the log's last line with the status as the shell sees it: (what, arguments,
# emulator fault, status). The statement thread's own ending (-10) leaves from another thread.
ENDINGS = [
    ("success", ["-a=B", "-b=F", "-d=Sales", "-f=1@{bk}"], None, 0),
    ("refused letter", ["-a=Q", "-b=F", "-d=Sales", "-f=1@{bk}"], None, ST_FAIL),
    ("refused over-long option", ["-a=B", "-d=" + "x" * 200, "-f=1@{bk}"], None, ST_FAIL),
    ("missing restore file", ["-a=R", "-b=F", "-d=Sales", "-f={bk}/none.bak"], None, ST_FAIL),
    ("failed statement", ["-a=B", "-b=F", "-d=Nothing", "-f=1@{bk}"], None, ST_FAIL),
    ("failed stream", ["-a=V", "-b=F", "-d=Sales", "-f=1@{bk}", "-P=wrong"], None, ST_FAIL),
    ("unexpected ODBC return", ["-a=B", "-b=F", "-d=Sales", "-f=1@{bk}"], "still-executing", 246),
]


def case_endings(box):
    for what, args, fault, status in ENDINGS:
        if fault:
            box.sqlemu("fault", "set", "MSSQLSERVER", fault)
        n = len(box.log())
        st, out = box.run(*[a.format(bk=box.bk) for a in args])
        if fault:
            box.sqlemu("fault", "clear", "MSSQLSERVER", fault)
        log = box.log()[n:]
        check(st == status, "%s: status %d" % (what, st), out)
        for where, text in (("log", log), ("console", out)):
            rest, ending = kestrune_harness.split_ending(text)
            check(ending == st and "Exit status" not in rest, "%s: the %s does not end with its status %d" % (
                what, where, st), text[-2000:])


def case_refused_login(box):
    """A statement the server refuses at once ends the run with its own failure, not after the
    wait for the device set, and leaves the previous set."""
    files = box.files(1)
    box.ok("previous set", "-a=B", "-b=F", "-d=Sales", "-f=" + files)
    before = snapshot(box.bk)
    box.sqlemu("fault", "set", "MSSQLSERVER", "refuse-login")
    for what, args in (("backup", ["-a=B", "-b=F", "-d=Sales", "-f=" + files]),
                       ("restore", ["-a=R", "-b=F", "-d=Sales", "-f=" + files, "-O=R"])):
        st, out = box.run(*args)
        check(st == ST_FAIL, "%s: status %d" % (what, st), out)
        check("Login failed for user" in out and "The SQL operation failed with code -1" in out,
              "%s: the statement's failure is not shown" % what, out)
        check("VDS::Getconfig fails" not in out, "%s: waited for the device set" % what, out)
        check("needs the CompressType" not in out, "%s: blamed on the media settings" % what, out)
        check(snapshot(box.bk) == before, "%s: the previous set changed" % what)
    box.sqlemu("fault", "clear", "MSSQLSERVER", "refuse-login")


def case_odd_names(box):
    """Names that need brackets or quotes: backed up, verified, restored with relocation."""
    for db in ("a]b", "O'Brien", "x.y"):
        box.sqlemu("db", "create", "MSSQLSERVER", db, "--data-mb", "1", "--seed", "3")
        files = "2@" + box.bk
        box.ok(db + " backup", "-a=B", "-b=F", "-d=" + db, "-f=" + files)
        box.ok(db + " verify", "-a=V", "-b=F", "-d=" + db, "-f=" + files)
        box.ok(db + " restore", "-a=R", "-b=F", "-d=" + db, "-f=" + files, "-i=localhost\\SECOND", "-O=R")
        check(box.checksum("SECOND", db) == box.checksum("MSSQLSERVER", db), db + ": content differs")
        shown = box.db_show("SECOND", db)
        for folder, name in (("data", db + ".mdf"), ("log", db + "_log.ldf")):
            check(os.path.join(box.root, "SECOND", folder, name) in shown, "%s: %s not relocated" % (db, name), shown)

    # All three at once, through a log chain: the single-user wrapper and a standby file in a
    # folder whose name holds a quote.
    db = "Q]'.x"
    box.sqlemu("db", "create", "MSSQLSERVER", db, "--data-mb", "1", "--seed", "4")
    full, log = os.path.join(box.bk, "q_full.bak"), os.path.join(box.bk, "q_log.trn")
    standby = os.path.join(box.dir, "st'by")
    os.mkdir(standby)
    box.ok("chain full", "-a=B", "-b=F", "-d=" + db, "-f=" + full)
    box.ok("chain restore full", "-a=R", "-b=F", "-d=" + db, "-f=" + full, "-i=localhost\\SECOND", "-O=N")
    box.sqlemu("db", "touch", "MSSQLSERVER", db, "--pages", "10")
    box.ok("chain log", "-a=B", "-b=L", "-d=" + db, "-f=" + log, "-S=" + standby)
    check(len(os.listdir(standby)) == 1 and os.listdir(standby)[0].startswith(db + "_L_"),
          "chain: standby file", str(os.listdir(standby)))
    box.ok("chain restore log", "-a=R", "-b=L", "-d=" + db, "-f=" + log, "-i=localhost\\SECOND", "-O=R")
    check(box.checksum("SECOND", db) == box.checksum("MSSQLSERVER", db), "chain: content differs")
    wrapped = [b for b in box.batches() if b.startswith("ALTER")][-1]
    check(wrapped.startswith("ALTER DATABASE [Q]]'.x] SET SINGLE_USER") and "name='Q]''.x'" in wrapped,
          "chain: the wrapper", wrapped)


def case_many_files(box):
    """A database of 300 data files: the whole MOVE list travels through the options file."""
    box.sqlemu("db", "create", "MSSQLSERVER", "Wide", "--data-mb", "2", "--data-files", "300", "--seed", "5")
    files = "3@" + box.bk
    box.ok("backup", "-a=B", "-b=F", "-d=Wide", "-f=" + files)
    listed = rc4(open(os.path.join(box.bk, "Wide_1.bak_opts"), "rb").read()).decode("latin-1")
    want = ", MOVE ''Wide'' TO ''%DATA%Wide.mdf'', MOVE ''Wide_log'' TO ''%LOG%Wide_log.ldf''" + "".join(
        ", MOVE ''Wide_%d'' TO ''%%DATA%%Wide_%d.ndf''" % (k, k) for k in range(2, 301))
    check(listed == want, "the options file does not hold the whole list (%d of %d characters)" % (
        len(listed), len(want)), listed[-200:])
    box.ok("restore", "-a=R", "-b=F", "-d=Wide", "-f=" + files, "-i=localhost\\SECOND", "-O=R")
    check(box.checksum("SECOND", "Wide") == box.checksum("MSSQLSERVER", "Wide"), "content differs")
    shown = box.db_show("SECOND", "Wide")
    check(shown.count(os.path.join(box.root, "SECOND", "data", "Wide_")) == 299 and
          os.path.join(box.root, "SECOND", "log", "Wide_log.ldf") in shown, "not every file relocated", shown)

    # Streamed to a restore service the list must fit each stream's 8192-byte request: the run
    # fails before the server or the service sees anything.
    import socket
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    listener.settimeout(0.5)
    n = len(box.batches())
    st, out = box.run("-a=B", "-b=F", "-d=Wide", "-f=2@tcp://127.0.0.1:%d" % listener.getsockname()[1])
    check(st == ST_FAIL, "TCP backup of a long list: status %d" % st, out)
    check("The MOVE-clause list of [Wide] holds %d characters: it does not fit the 8192-byte request of a backup "
          "streamed to a restore service. Nothing was submitted." % len(want) in out, "TCP: message", out)
    check(not any(b.startswith("BACKUP") for b in box.batches()[n:]), "TCP: the backup was submitted")
    try:
        listener.accept()
        check(False, "TCP: the service was connected to")
    except socket.timeout:
        pass
    listener.close()


def spawn(box, args, console):
    """Runs kestrune with its console 'broken' (a pipe whose reader has gone, as after head -1),
    'closed' (descriptor 1 closed) or 'none' (0, 1 and 2 closed); returns the status."""
    cmd = [box.exe, "-D", *args]
    if console == "broken":
        r, w = os.pipe()
        os.close(r)
        p = subprocess.Popen(cmd, env=box.env(), stdout=w, stderr=subprocess.DEVNULL)
        os.close(w)
    else:
        fds = (1,) if console == "closed" else (0, 1, 2)
        p = subprocess.Popen(cmd, env=box.env(), preexec_fn=lambda: [os.close(fd) for fd in fds])
    return p.wait(timeout=240)


def case_console(box):
    """A console that goes away, or was never there, neither ends the run nor doubles its log."""
    for console in ("broken", "closed", "none"):
        files = "2@" + os.path.join(box.bk, console)
        os.mkdir(os.path.join(box.bk, console))
        before = box.log()
        st = spawn(box, ["-a=B", "-b=F", "-d=Sales", "-f=" + files], console)
        check(st == 0, "%s console: backup status %d" % (console, st), box.log()[len(before):][-3000:])
        written = box.log()[len(before):]
        check(written.count("Process is starting ...") == 1, "%s console: the log holds the run %d times" % (
            console, written.count("Process is starting ...")), written[-3000:])
        check("BACKUP DATABASE successfully processed" in written, "%s console: the log is cut" % console,
              written[-3000:])
        st = spawn(box, ["-a=V", "-b=F", "-d=Sales", "-f=" + files], console)
        check(st == 0, "%s console: verify status %d" % (console, st), box.log()[-3000:])
    st, out = box.run("-a=R", "-b=F", "-d=Sales", "-f=2@" + os.path.join(box.bk, "broken"), "-i=localhost\\SECOND",
                      "-O=R")
    if check(st == 0, "restore of the broken console's set: status %d" % st, out):
        check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "content differs")


def case_bad_settings(box):
    """Settings that cannot make a run end with a message and a status, never a crash."""
    for what, args in (
            ("no database for a restore", ["-a=R", "-f=" + box.files(1)]),
            ("a database that does not exist", ["-a=B", "-b=F", "-d=Nothing", "-f=" + box.files(1)]),
            ("an unknown action letter", ["-a=Q", "-b=F", "-d=Sales", "-f=" + box.files(1)]),
    ):
        st, out = box.run(*args)
        check(st == ST_FAIL, "%s: status %d" % (what, st), out)
        check(st < 128 or st == ST_FAIL, "%s: crashed" % what, out)


def make_box(case):
    return Box(data_mb=0 if case in ("statements", "odd_names", "many_files") else 6)


if __name__ == "__main__":
    sys.exit(main(globals(), make_box))

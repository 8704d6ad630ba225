#!/usr/bin/env python3
"""Backup, restore and verify runs of the real executable against emulated instances.

Each case gets a private installation: a copy of kestrune with its own config.ini, the emulated
driver registered in a private ODBCSYSINI folder, and a private emulator data root holding the
instances MSSQLSERVER (the source) and SECOND (a target with other default folders).
One case per invocation: run_test.py CASE."""

import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile

KESTRUNE = os.environ["KESTRUNE_BIN"]
SQLEMU = os.environ["SQLEMU_BIN"]

OPTIONS_KEY = bytes.fromhex("a07c5e19d3b28f46e0c71a95b2d84f3e6c10")
GUID = re.compile(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")

ST_FAIL = 255       # -1
ST_STANDBY = 135    # -121

FAILURES = []


def check(cond, what, detail=""):
    if not cond:
        FAILURES.append(what + ("\n--- detail ---\n" + detail if detail else ""))
    return cond


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


class Box:
    def __init__(self, data_mb=6):
        self.dir = tempfile.mkdtemp(prefix="kes-engine-")
        self.bin = os.path.join(self.dir, "bin")
        self.odbc = os.path.join(self.dir, "odbc")
        self.root = os.path.join(self.dir, "root")
        self.bk = os.path.join(self.dir, "bk")
        for d in (self.bin, self.odbc, self.root, self.bk):
            os.mkdir(d)
        self.exe = os.path.join(self.bin, "kestrune")
        shutil.copy2(KESTRUNE, self.exe)
        self.config("")
        self.sqlemu("odbc-register", self.odbc)
        self.sqlemu("instance", "create", "MSSQLSERVER")
        self.sqlemu("instance", "create", "SECOND")
        if data_mb:
            self.sqlemu("db", "create", "MSSQLSERVER", "Sales", "--data-mb", str(data_mb), "--seed", "7")

    def close(self):
        if not os.environ.get("KES_KEEP_TMP"):
            shutil.rmtree(self.dir, ignore_errors=True)

    def env(self):
        e = dict(os.environ)
        e.update(HOME=self.dir, ODBCSYSINI=self.odbc, SQLEMU_ROOT=self.root)
        return e

    def config(self, extra):
        with open(os.path.join(self.bin, "config.ini"), "w") as f:
            f.write("[Default]\nSingleton=0\nInstance=localhost\n" + extra)

    def sqlemu(self, *args, ok=True):
        r = subprocess.run([SQLEMU, *args], env=self.env(), capture_output=True, text=True)
        if ok and r.returncode != 0:
            raise RuntimeError("sqlemu %s: %s%s" % (" ".join(args), r.stdout, r.stderr))
        return r.stdout

    def checksum(self, instance, db):
        return self.sqlemu("db", "checksum", instance, db).strip()

    def db_show(self, instance, db):
        r = subprocess.run([SQLEMU, "db", "show", instance, db], env=self.env(), capture_output=True, text=True)
        return r.stdout if r.returncode == 0 else ""

    def run(self, *args):
        r = subprocess.run([self.exe, "-D", *args], env=self.env(), capture_output=True, timeout=240)
        return r.returncode, r.stdout.decode("latin-1")

    def ok(self, what, *args):
        st, out = self.run(*args)
        check(st == 0, "%s: status %d" % (what, st), out)
        return out

    def statements(self, instance="MSSQLSERVER"):
        p = os.path.join(self.root, instance, "statements.log")
        return open(p, encoding="latin-1").read() if os.path.exists(p) else ""

    def batches(self, instance="MSSQLSERVER"):
        return [b.strip("\n") for b in self.statements(instance).split("\nGO\n") if b.strip()]

    def log(self):
        name = "kestrune-%s.log" % datetime.date.today().strftime("%Y%m%d")
        p = os.path.join(self.bin, "Log", name)
        return open(p, encoding="latin-1").read() if os.path.exists(p) else ""

    def files(self, n, ext="bak", db="Sales", tag=""):
        return ",".join(os.path.join(self.bk, "%s%s_%d.%s" % (db, tag, k, ext)) for k in range(1, n + 1))


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

def case_plain(box):
    round_trip(box, "plain, 1 stream", 1)


def case_zlib(box):
    round_trip(box, "L, 3 streams", 3, "-z=L", "-Z=6")


def case_gzip(box):
    round_trip(box, "G, 8 streams", 8, "-z=G")
    first = os.path.join(box.bk, "Sales_1.bak")
    check(open(first, "rb").read(3) == b"\x1f\x8b\x08", "G: the media file is not gzip")


def case_encrypted(box):
    round_trip(box, "encrypted, 3 streams", 3, "-P=secret phrase")


def case_gzip_encrypted(box):
    round_trip(box, "G + encrypted, 1 stream", 1, "-z=G", "-P=k3y")


def case_dnet(box):
    box.config("DNet=1\n")
    round_trip(box, "DNet, 3 streams", 3, "-z=G", "-P=ignored")
    # The files hold the server's stream as it came: no gzip, no cipher.
    head = open(os.path.join(box.bk, "Sales_1.bak"), "rb").read(4)
    check(head == b"KSBR", "DNet: media file is not the raw stream (%r)" % head)


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

    # Backups that cannot write their media.
    for what, args, msg in (
            ("unwritable folder", ["-f=" + os.path.join(box.dir, "none", "x.bak")], "Failed to open: "),
            ("level 10", ["-f=" + os.path.join(box.bk, "lvl.bak"), "-z=G", "-Z=10"], "Failed to open: ")):
        st, out = box.run("-a=B", "-b=F", "-d=Sales", *args)
        check(st == ST_FAIL, "%s: status %d" % (what, st), out)
        check(msg in box.log() and "The SQL operation failed with code -1" in box.log(),
              "%s: log" % what, box.log()[-2000:])

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


def main():
    case = sys.argv[1]
    box = Box(data_mb=0 if case == "statements" else 6)
    try:
        globals()["case_" + case](box)
    finally:
        if FAILURES:
            print("box kept at", box.dir)
        else:
            box.close()
    for f in FAILURES:
        print("FAIL:", f)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())

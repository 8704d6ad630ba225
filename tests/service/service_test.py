#!/usr/bin/env python3
"""The restore service end to end: a backup process on one emulated instance streams over TCP into a
service process that restores into another.

Each case runs in a box of its own (tests/kestrune_harness.py): two copies of kestrune (the backup
side and the service, each with its own config.ini and log), the instances MSSQLSERVER (the source)
and SECOND (the service's), and TCP ports of its own. service_test.py --list | CASE."""

import os
import random
import resource
import select
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kestrune_harness import ST_FAIL, check, main  # noqa: E402
import kestrune_harness  # noqa: E402


def sanitized():
    """Whether kestrune was built with the sanitizers."""
    with open(kestrune_harness.kestrune_bin(), "rb") as exe:
        return b"__ubsan_handle" in exe.read()


# How a service's start-up ends when its port is taken (EADDRINUSE is 98 on this platform).
PORT_TAKEN = ("bind failed with error: 98", "listen failed with error: 98")


def listening(port):
    """Whether a socket listens on TCP `port`, as the kernel's tables say."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            rows = open(table).read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False


def free_port():
    """A port free at this moment. Only a hint: once the socket closes, any other process (another
    case's service, any outgoing connection) may take it before the service binds it, so a caller
    that needs it listened on goes through Box.start_service, which starts again on another one."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def quiet_port():
    """A free port below the kernel's ephemeral range: no outgoing connection and no bind to port 0
    (every other case's free_port) is ever handed it, so it stays free between a service's stop and
    the restart that binds it again."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    rng = random.Random()
    for _ in range(200):
        port = rng.randrange(max(1024, low - 12000), low)
        s = socket.socket()
        try:
            s.bind(("0.0.0.0", port))
            return port
        except OSError:
            continue
        finally:
            s.close()
    raise RuntimeError("no free port below %d" % low)


class Service:
    """A running service process; its console output is gathered as it comes."""

    def __init__(self, side, port, *args, fds=None):
        """`fds`: the process's descriptor limit."""
        self.side = side
        self.port = port
        self.out = []
        limit = None
        if fds:
            def limit():
                resource.setrlimit(resource.RLIMIT_NOFILE, (fds, fds))
        self.proc = subprocess.Popen([side.exe, "-D", "-l=%d" % port, *args], env=side.box.env(),
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, preexec_fn=limit)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self.out.append(raw.decode("latin-1"))

    def text(self):
        return "".join(self.out)

    def wait_for(self, needle, seconds, count=1):
        end = time.time() + seconds
        while time.time() < end:
            if self.text().count(needle) >= count:
                return True
            if self.proc.poll() is not None:
                self.ended(0)
                return self.text().count(needle) >= count
            time.sleep(0.1)
        return False

    def wait_until(self, cond, seconds):
        """Whether cond(output) holds within `seconds` (looked at once more when the process ends)."""
        end = time.time() + seconds
        while time.time() < end:
            if cond(self.text()):
                return True
            if self.proc.poll() is not None:
                self.reader.join(5)
                return cond(self.text())
            time.sleep(0.1)
        return False

    def alive(self):
        return self.proc.poll() is None

    def ended(self, seconds):
        """The exit status once the process has ended within `seconds`, else None. Once it has
        ended, text() holds all it wrote: the reader may still be behind the process's exit."""
        try:
            st = self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            return None
        self.reader.join(30)
        return st

    def descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.reader.join(5)


class Box(kestrune_harness.Box):
    """Sales on MSSQLSERVER; the backup side's installation in backup/, the service's in service/."""

    def __init__(self):
        super().__init__("kes-service-")
        self.sqlemu("db", "create", "MSSQLSERVER", "Sales", "--data-mb", "6", "--seed", "7")
        self.backup = self.install("backup", extra="Instance=localhost\n")
        self.service_side = self.install("service", extra="Instance=localhost\\SECOND\n")

    def start_service(self, *args, port=None, started=True, **kw):
        """A service of the box, ended when the box closes; with `started`, once it listens. On a
        port of its own choosing that another process took first, it starts again on another."""
        for attempt in range(10):
            s = Service(self.service_side, port or free_port(), *args, **kw)
            self.stoppers.append(s.stop)
            if not started:
                return s
            # The service names its port before it listens on it: both must hold.
            line = "Start Restore Service on TCP-%d" % s.port
            deadline = time.monotonic() + 120
            while s.alive() and time.monotonic() < deadline and not any(t in s.text() for t in PORT_TAKEN):
                if line in s.text() and listening(s.port):
                    return s
                time.sleep(0.05)
            if port is None and any(t in s.text() for t in PORT_TAKEN) and s.ended(30) is not None:
                continue
            break
        raise RuntimeError("the service did not start:\n" + s.text())

    def same_versions(self):
        """Both servers run 15.0, so that a peer of this test may send 1500."""
        for instance in ("MSSQLSERVER", "SECOND"):
            self.sqlemu("instance", "set", instance, "version", "15.0.2000.5")

    def raw_stream(self, db="Sales"):
        """The server's raw backup stream of `db` in one stream, as a backup side sends it."""
        path = self.path("raw_%s.bak" % db)
        st, _, _ = self.backup.run("-a=B", "-b=F", "-d=" + db, "-f=" + path, "-H=elsewhere")
        if st != 0:
            raise RuntimeError("plain backup of %s: %d" % (db, st))
        return open(path, "rb").read()

    def run_backup(self, port, streams, *args, db="Sales", kind="F", timeout=240):
        try:
            st, out, _ = self.backup.run("-D", "-a=B", "-b=" + kind, "-d=" + db,
                                         "-f=%d@tcp://127.0.0.1:%d" % (streams, port), *args, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            return None, "the backup did not end within %d s\n%s" % (timeout, (e.stdout or b"").decode("latin-1"))
        return st, out


def statements_ended(text):
    """Whether every statement that the service submitted has ended, well or not."""
    ends = text.count(" successfully processed ") + text.count("The SQL operation failed with code ")
    return ends >= text.count("Submitting SQL:")


def restored(box, service, streams, what, db="Sales", before=0):
    """Waits until the service's restore of `streams` streams has ended (every device thread and the
    statement thread), then checks the service still runs."""
    ok = service.wait_for("is finished.", 120, count=before + streams)
    check(ok, "%s: the service's device threads did not finish" % what, service.text()[-4000:])
    # The device threads end before the server has written the last pages and set the database's
    # state: a restore has ended once its statement reported its completion or failure, which on
    # a loaded machine can be seconds later.
    check(service.wait_until(statements_ended, 120), "%s: the service's restore did not end" % what,
          service.text()[-4000:])
    # The session's teardown follows; a service that ended with it has done so within this grace
    # (a slow machine can only make this check miss such a fault, never fail a good run).
    check(service.ended(1.5) is None, "%s: the service ended" % what, service.text()[-4000:])


def local_copies(folder, db, ext):
    """The local copies in `folder`, in stream order. Each stream names its copy with the time it
    opens it, so one backup's copies may carry different seconds: the order is the stream number
    at the end of the name, not the name."""
    names = [n for n in os.listdir(folder) if n.startswith(db + "_") and n.endswith(ext)]
    return [os.path.join(folder, n) for n in sorted(names, key=lambda n: int(n[:-len(ext)].rsplit("_", 1)[1]))]


# ---------------------------------------------------------------- cases

def streams_case(box, streams):
    """A full backup of Sales in N streams restored by the service into SECOND; the local copies on
    both sides hold each stream's raw bytes."""
    mine = os.path.join(box.dir, "copies-backup")
    theirs = os.path.join(box.dir, "copies-service")
    os.mkdir(mine)
    os.mkdir(theirs)
    svc = box.start_service("-O=R", "-F=" + theirs)
    st, out = box.run_backup(svc.port, streams, "-F=" + mine)
    what = "%d streams" % streams
    check(st == 0, "%s: backup status %s" % (what, st), out)
    restored(box, svc, streams, what)
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), what + ": content differs",
          svc.text()[-3000:])
    check("state: ONLINE" in box.db_show("SECOND", "Sales"), what + ": not online", box.db_show("SECOND", "Sales"))

    sent = local_copies(mine, "Sales", ".bak")
    got = local_copies(theirs, "Sales", ".bak")
    check(len(sent) == streams and len(got) == streams, what + ": local copies %d / %d" % (len(sent), len(got)))
    for a, b in zip(sent, got):
        check(a[-6:] == b[-6:], what + ": copy names %s / %s" % (a, b))
        check(open(a, "rb").read() == open(b, "rb").read() and os.path.getsize(a) > 0,
              what + ": copies of %s differ" % os.path.basename(a))
    # The copies are the server's raw stream: a backup to plain files gives the same bytes.
    files = ",".join(os.path.join(box.dir, "plain_%d.bak" % k) for k in range(1, streams + 1))
    st, _, _ = box.backup.run("-a=B", "-b=F", "-d=Sales", "-f=" + files, "-H=elsewhere")
    check(st == 0, what + ": plain backup status %s" % st)
    raw = b"".join(open(f, "rb").read() for f in files.split(","))
    check(len(raw) == sum(os.path.getsize(f) for f in got), what + ": copies are not the stream's size")

    # What the service ran: its RESTORE names one device per stream and the relocated files.
    restore = [b for b in box.batches("SECOND") if "RESTORE DATABASE" in b]
    check(len(restore) == 1, what + ": restores %d" % len(restore), "\n".join(box.batches("SECOND")))
    if restore:
        check(restore[0].count("VIRTUAL_DEVICE='") == streams, what + ": devices in the restore", restore[0])
        data = os.path.join(box.root, "SECOND", "data", "Sales.mdf")
        check(", RECOVERY, MOVE 'Sales' TO '%s'" % data in restore[0], what + ": MOVE clauses", restore[0])
    blog = box.backup.log()
    check(blog.count("Agreed to start service.") == streams, what + ": backup side's agreement lines", blog[-3000:])
    check("Write backup stream to file[%s/Sales_D_" % mine in blog, what + ": backup-side copy line", blog[-2000:])


# A full backup restored by the service in one stream, in some, and in the most there can be.
STREAM_COUNTS = {"one_stream": 1, "three_streams": 3, "eight_streams": 8}
kestrune_harness.table_cases(globals(), streams_case, STREAM_COUNTS)


def case_recovery_options(box):
    """NORECOVERY, REPLACE, then a log backup restored into a standby database."""
    svc = box.start_service("-O=NP")
    st, out = box.run_backup(svc.port, 2)
    check(st == 0, "NORECOVERY: backup status %s" % st, out)
    restored(box, svc, 2, "NORECOVERY")
    check("state: RESTORING" in box.db_show("SECOND", "Sales"), "NORECOVERY: target not restoring",
          box.db_show("SECOND", "Sales"))
    last = [b for b in box.batches("SECOND") if "RESTORE DATABASE" in b][-1]
    check("WITH STATS=5, REPLACE, NORECOVERY, MOVE" in last, "NORECOVERY: statement", last)
    svc.stop()

    # A log backup into a standby service: file written, database read-only in standby.
    box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "20")
    sb = os.path.join(box.dir, "standby")
    os.mkdir(sb)
    svc = box.start_service("-S=" + sb, "-b=L")
    st, out = box.run_backup(svc.port, 1, kind="L")
    check(st == 0, "standby: log backup status %s" % st, out)
    restored(box, svc, 1, "standby")
    shown = box.db_show("SECOND", "Sales")
    check("state: STANDBY" in shown or "standby" in shown.lower(), "standby: database not in standby", shown)
    files = [n for n in os.listdir(sb) if n.startswith("Sales_L_") and n.endswith(".dat")]
    check(len(files) == 1, "standby: file %s" % files, shown)
    last = [b for b in box.batches("SECOND") if "RESTORE LOG" in b][-1]
    check("RESTORE LOG [Sales] FROM  VIRTUAL_DEVICE='" in last and "WITH STATS=5, Standby='%s/Sales_L_" % sb in last,
          "standby: statement", last)
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "standby: content differs")
    svc.stop()

    # A further log backup into the standby database, now with RECOVERY: the wrapper switches it.
    box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "5")
    svc = box.start_service("-O=R", "-b=L")
    st, out = box.run_backup(svc.port, 1, kind="L")
    check(st == 0, "recovery: log backup status %s" % st, out)
    restored(box, svc, 1, "recovery")
    check("state: ONLINE" in box.db_show("SECOND", "Sales"), "recovery: not online", box.db_show("SECOND", "Sales"))
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "recovery: content differs")


def case_full_then_log(box):
    """A full backup, then a log backup, streamed in turn into one service running NORECOVERY; a
    last log backup into a RECOVERY service brings the database online with the source's content."""
    svc = box.start_service("-O=N")
    st, out = box.run_backup(svc.port, 3)
    check(st == 0, "full: status %s" % st, out)
    restored(box, svc, 3, "full")
    box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "30")
    st, out = box.run_backup(svc.port, 2, kind="L")
    check(st == 0, "log: status %s" % st, out)
    restored(box, svc, 2, "log", before=3)
    restores = [b for b in box.batches("SECOND") if "RESTORE " in b]
    check(len(restores) == 2 and "RESTORE LOG [Sales]" in restores[1] and "MOVE" not in restores[1],
          "full then log: statements", "\n".join(restores))
    svc.stop()
    svc = box.start_service("-O=R")
    box.sqlemu("db", "touch", "MSSQLSERVER", "Sales", "--pages", "3")
    st, out = box.run_backup(svc.port, 1, kind="L")
    restored(box, svc, 1, "last log")
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "full then log: content differs")


def case_odd_names(box):
    """A database whose name holds "]", "'" and "." streamed in, its files relocated: the name and
    the quotes in its file names survive the request, the service's restore and the resolution."""
    db = "Q]'.x"
    box.sqlemu("db", "create", "MSSQLSERVER", db, "--data-mb", "2", "--data-files", "3", "--seed", "4")
    svc = box.start_service("-O=R")
    st, out = box.run_backup(svc.port, 2, db=db)
    check(st == 0, "odd name: backup status %d" % st, out)
    restored(box, svc, 2, "odd name", db=db)
    check(box.checksum("SECOND", db) == box.checksum("MSSQLSERVER", db), "odd name: content differs",
          svc.text()[-3000:])
    shown = box.db_show("SECOND", db)
    for folder, name in (("data", db + ".mdf"), ("data", db + "_3.ndf"), ("log", db + "_log.ldf")):
        check(os.path.join(box.root, "SECOND", folder, name) in shown, "odd name: %s not relocated" % name, shown)


def refused_backup(box, svc, what, *args):
    """A backup the service refuses still ends (its writes fail with 112), says why, and the service
    goes on."""
    before = box.backup.log().count("The restore service at 127.0.0.1:%d " % svc.port)
    st, out = box.run_backup(svc.port, 1, *args, timeout=180)
    check(st == ST_FAIL, "%s: backup status %s" % (what, st), out)
    check(box.backup.log().count("The restore service at 127.0.0.1:%d " % svc.port) == before + 1,
          "%s: no reason line" % what, box.backup.log()[-3000:])
    check(svc.alive(), "%s: the service ended" % what, svc.text()[-3000:])


def case_refusals(box):
    # Allow-list: only 127.0.0.10 admitted; 127.0.0.1 merely begins with it.
    box.service_side.config("Instance=localhost\\SECOND\nValidIPs=127.0.0.10\n")
    svc = box.start_service("-O=R")
    refused_backup(box, svc, "allow-list")
    check("Connection[127.0.0.1] denied for source auth error." in svc.text(), "allow-list: message", svc.text())
    check(not any("RESTORE" in b for b in box.batches("SECOND")), "allow-list: a restore ran")
    svc.stop()

    # Versions: the service's server runs 15.0 (1500).
    box.service_side.config("Instance=localhost\\SECOND\nValidIPs=127.0.0.1\n")
    box.sqlemu("instance", "set", "SECOND", "version", "15.0.2000.5")
    svc = box.start_service("-O=R")
    for version, accepted in (("16.0.1000.6", False), ("10.50.1600.1", False), ("11.0.2100.60", True)):
        box.sqlemu("instance", "set", "MSSQLSERVER", "version", version)
        box.sqlemu("db", "drop", "SECOND", "Sales", ok=False)
        before = svc.text().count("is finished.")
        if accepted:
            st, out = box.run_backup(svc.port, 1)
            check(st == 0, "version %s: status %s" % (version, st), out)
            restored(box, svc, 1, "version " + version, before=before)
            check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"),
                  "version %s: content differs" % version)
        else:
            n = svc.text().count("Incompetible SQL Versions. Connection is closed.")
            refused_backup(box, svc, "version " + version)
            check(svc.text().count("Incompetible SQL Versions. Connection is closed.") == n + 1,
                  "version %s: message" % version, svc.text()[-2000:])


def case_several_at_once(box):
    """Backups of different databases, several streams each, into one service at the same time, each
    on a set of its own."""
    box.sqlemu("db", "create", "MSSQLSERVER", "Orders", "--data-mb", "4", "--seed", "11")
    box.sqlemu("db", "create", "MSSQLSERVER", "Stock", "--data-mb", "3", "--seed", "5")
    svc = box.start_service("-O=R")
    runs = (("Sales", 3), ("Orders", 2), ("Stock", 4))
    results = {}

    def one(db, streams):
        results[db] = box.run_backup(svc.port, streams, db=db)

    threads = [threading.Thread(target=one, args=a) for a in runs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for db, _ in runs:
        check(results[db][0] == 0, "several at once: %s status %s" % (db, results[db][0]), results[db][1])
    restored(box, svc, sum(n for _, n in runs), "several at once")
    for db, _ in runs:
        check(box.checksum("SECOND", db) == box.checksum("MSSQLSERVER", db), "several at once: %s differs" % db)
    restores = [b for b in box.batches("SECOND") if "RESTORE DATABASE" in b]
    sets = {b.split("VIRTUAL_DEVICE='")[1].split("'")[0] for b in restores}
    check(len(restores) == len(runs) and len(sets) == len(runs), "several at once: a restore on a set of its own each",
          "\n".join(restores))


def send_block(port, payload, answer=None):
    """One hostile connection: sends `payload`, ends its sending side and gathers what comes back,
    until the service closes or `answer` bytes have come. None when the service cannot be reached."""
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
    except OSError:
        return None
    try:
        s.sendall(payload)
        s.shutdown(socket.SHUT_WR)
        back = b""
        while answer is None or len(back) < answer:
            try:
                piece = s.recv(65536)
            except OSError:
                break
            if not piece:
                break
            back += piece
        return back
    except OSError:
        return b""
    finally:
        s.close()


def block(text):
    data = text.encode("latin-1")
    return data + b"\0" * (8192 - len(data))


SALES_MOVE = ", MOVE ''Sales'' TO ''%DATA%Sales.mdf'', MOVE ''Sales_log'' TO ''%LOG%Sales_log.ldf''"


class Peer:
    """A backup side played by the test: one connection, its request sent at once."""

    def __init__(self, port, text, source=None):
        self.block = block(text)
        self.s = socket.create_connection(("127.0.0.1", port), timeout=60,
                                          source_address=(source, 0) if source else None)
        self.s.sendall(self.block)

    def answer(self):
        """The service's answer: the request block back, or less (nothing) when it closed instead."""
        got = b""
        try:
            while len(got) < 8192:
                piece = self.s.recv(8192 - len(got))
                if not piece:
                    break
                got += piece
        except OSError:
            pass
        return got

    def finish(self, data):
        """The stream, the closing block, then the close, as a backup side ends."""
        self.s.sendall(data + self.block)
        time.sleep(0.5)
        self.s.close()

    def close(self):
        self.s.close()


def case_duplicates(box):
    """While a stream 1 restores, a second stream 1 of its database is refused: the same request again
    (a socket has one owner), or the database from another peer, in any letter case (one restore of a
    database at a time). One restore runs, and the database ends equal to its source."""
    box.same_versions()
    raw = box.raw_stream()
    svc = box.start_service("-O=R")
    text = SALES_MOVE + "|Sales#DATABASE#1#1:1500"
    first = Peer(svc.port, text)
    check(first.answer() == block(text), "duplicates: the first request was not answered", svc.text()[-3000:])
    busy = "a restore of the database [%s] runs or waits for its streams already."
    for source, name, warning in (
            ("127.0.0.1", "Sales", "a connection of the same key [127.0.0.1#Sales#DATABASE#1#1] waits or is in use."),
            ("127.0.0.2", "Sales", busy % "Sales"),
            ("127.0.0.1", "SALES", busy % "SALES"),
            ("127.0.0.3", "sAlEs", busy % "sAlEs")):
        other = Peer(svc.port, SALES_MOVE + "|%s#DATABASE#1#1:1500" % name, source=source)
        check(other.answer() == b"", "duplicates: %s from %s was answered" % (name, source), svc.text()[-3000:])
        other.close()
        check(svc.wait_for(warning, 10), "duplicates: no warning for %s from %s" % (name, source),
              svc.text()[-3000:])
    first.finish(raw)
    restored(box, svc, 1, "duplicates")
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "duplicates: content differs",
          svc.text()[-3000:])
    check(len([b for b in box.batches("SECOND") if "RESTORE DATABASE" in b]) == 1, "duplicates: restores",
          "\n".join(box.batches("SECOND")))

    # The key and the database are free again once the restore is done, which the service says:
    # a real backup then goes through.
    check(svc.wait_for("The restore of the database [Sales] has ended; its next backup can come.", 30),
          "duplicates: the service did not say the restore had ended", svc.text()[-3000:])
    box.sqlemu("db", "drop", "SECOND", "Sales")
    st, out = box.run_backup(svc.port, 1)
    check(st == 0, "duplicates: later backup status %s" % st, out + svc.text()[-3000:])
    restored(box, svc, 1, "duplicates, later backup", before=1)
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "duplicates: later content")


def case_idle_peers(box):
    """Peers that fall silent hold no restore for ever: a stream without a byte for the command wait
    (90 s) fails, the restore with it, and the service ends as after any failed restore."""
    box.same_versions()
    raw = box.raw_stream()
    silent_svc = box.start_service("-O=R")
    stalled_svc = box.start_service("-O=R")
    # Stream 1 of 2 that sends nothing after its request, while stream 2 never connects.
    silent = Peer(silent_svc.port, SALES_MOVE + "|Silent#DATABASE#2#1:1500")
    check(len(silent.answer()) == 8192, "silent: no answer", silent_svc.text()[-3000:])
    silent_since = time.time()
    # A stream that stops halfway.
    text = SALES_MOVE + "|Sales#DATABASE#1#1:1500"
    stalled = Peer(stalled_svc.port, text)
    check(stalled.answer() == block(text), "stalled: no answer", stalled_svc.text()[-3000:])
    stalled.s.sendall(raw[:len(raw) // 2])
    stalled_since = time.time()

    for what, svc, since in (("silent", silent_svc, silent_since), ("stalled", stalled_svc, stalled_since)):
        st = svc.ended(max(1, since + 90 + 45 - time.time()))
        check(st == ST_FAIL, "%s: the service did not end with 255 within the wait (%s)" % (what, st),
              svc.text()[-4000:])
        check(time.time() - since >= 85, "%s: the stream failed early" % what, svc.text()[-4000:])
        check("No byte of stream 1 came for 90000 ms; the stream fails." in svc.text(),
              "%s: no time-out line" % what, svc.text()[-4000:])
    check("No connection arrived for [127.0.0.1#Silent#DATABASE#2#2] within 60000 ms" in silent_svc.text(),
          "silent: stream 2 did not give up", silent_svc.text()[-4000:])
    silent.close()
    stalled.close()


def case_orphans(box):
    """Registrations no restore takes give their descriptors back: at once when their peer has gone,
    after the 60 s wait otherwise. Under a small descriptor limit the service survives running out,
    without flooding its log, and a real backup then streams in and restores."""
    limit = 48
    svc = box.start_service("-O=R", fds=limit)
    base = svc.descriptors()

    def orphan(n):
        # Two peers, so that no peer's share of the table stops them before the descriptors run out.
        return Peer(svc.port, "%s|Ghost%d#DATABASE#2#2:%d" % (SALES_MOVE, n, box_version(svc)),
                    source="127.0.0.%d" % (2 + n % 2))

    gone = [orphan(n) for n in range(8)]
    for p in gone:
        p.answer()
        p.close()
    check(svc.wait_for("was closed by its peer before a restore took it.", 20, count=8), "orphans: peers gone",
          svc.text()[-3000:])
    time.sleep(1)
    check(svc.descriptors() <= base, "orphans: descriptors %d, %d at the start" % (svc.descriptors(), base))

    if sanitized():
        # The sanitizers' runtime needs descriptors of its own (it probes memory through a pipe, and
        # takes a failed probe for a fault): a process that has spent them all is beyond what it checks.
        print("orphans: the sanitized build skips running out of descriptors")
        return
    # Silent orphans, more than the limit leaves room for. Those still queued once the descriptors have
    # run out are closed again, so that the backup queues behind peers that have gone.
    silent = [orphan(n) for n in range(100, 100 + limit - base + 8)]
    check(svc.wait_for("accept failed with error: 24", 60), "orphans: the descriptors did not run out",
          svc.text()[-3000:])
    for p in silent[-8:]:
        p.close()
    st, out = box.run_backup(svc.port, 2)
    check(st == 0, "orphans: backup status %s" % st, out + svc.text()[-4000:])
    restored(box, svc, 2, "orphans")
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "orphans: content differs",
          svc.text()[-3000:])
    check("was not taken by a restore within 60000 ms; it is closed." in svc.text(), "orphans: no time-out line")
    check(svc.text().count("accept failed with error: 24") <= 3, "orphans: accept failures logged %d times"
          % svc.text().count("accept failed with error: 24"))
    check(len(box.service_side.log()) < 1 << 20, "orphans: log of %d bytes" % len(box.service_side.log()))
    for p in silent[:-8]:
        p.close()


def box_version(svc):
    """The version the service's server reports, as a peer must send it."""
    for line in svc.text().splitlines():
        if "Local Version - " in line:
            return int(line.split("Local Version - ")[1])
    return 0


def case_restart(box):
    """A service restarted on its port right after it closed connections first (TIME_WAIT) listens
    at once; a port it cannot bind ends it with 255."""
    svc = box.start_service("-O=R", port=quiet_port())
    port = svc.port
    for _ in range(4):
        refused = Peer(port, "|Sales#DATABASE#33#1:1500")  # invalid: the service closes first
        check(refused.answer() == b"", "restart: an invalid request was answered")
        refused.close()
    check(svc.wait_for("Invalid Requested. Connection is closed.", 10, count=4), "restart: refusals", svc.text())
    svc.stop()
    again = box.start_service("-O=R", port=port, started=False)
    check(again.wait_for("Start Restore Service on TCP-%d" % port, 30) and again.alive(),
          "restart: the service did not listen again", again.text())
    again.stop()

    holder = socket.socket()  # a listener of someone else's
    holder.bind(("0.0.0.0", 0))
    holder.listen(1)
    taken = box.start_service("-O=R", port=holder.getsockname()[1], started=False)
    st = taken.ended(30)
    check(st == ST_FAIL, "taken port: status %s" % st, taken.text())
    check("bind failed with error: 98" in taken.text(), "taken port: message", taken.text())
    holder.close()


def case_hostile(box):
    svc = box.start_service("-O=R")
    marker = os.path.join(box.dir, "injected")
    injected = "CREATE DATABASE Injected"
    move = ", MOVE ''Sales'' TO ''%DATA%Sales.mdf''"
    hostile = [
        ("garbage", os.urandom(8192), b""),
        ("short block", b"|Sales#DATABASE#1#1", b""),
        ("short block with a key", b"|Sales#DATABASE#2#2:1500", None),
        ("no colon", block("|Sales#DATABASE#1#1"), b""),
        ("count 0", block("|Sales#DATABASE#0#1:1500"), b""),
        ("count 33", block("|Sales#DATABASE#33#1:1500"), b""),
        ("count 2^31", block("|Sales#DATABASE#2147483648#1:1500"), b""),
        ("kind carrying a statement", block("|Sales#DATABASE [x]; %s--#1#1:1500" % injected), b""),
        ("move text carrying a statement",
         block(move + "', '', '')); %s; --|Sales#DATABASE#1#1:1500" % injected), b""),
        ("move text in the file name",
         block(", MOVE ''Sales'' TO ''%%DATA%%x'' ; %s; --''|Sales#DATABASE#1#1:1500" % injected), b""),
        ("database in a path", block("|../../x#DATABASE#1#1:1500"), b""),
        ("file outside the data folder", block(", MOVE ''Sales'' TO ''%DATA%../../x.mdf''|Sales#DATABASE#1#1:1500"),
         b""),
        ("file at a path of its own", block(", MOVE ''Sales'' TO ''%LOG%/tmp/x.ldf''|Sales#DATABASE#1#1:1500"), b""),
    ]
    for what, payload, want in hostile:
        back = send_block(svc.port, payload, None if want is not None else 8192)
        if want is not None:
            check(back == want, "%s: the service answered %d bytes" % (what, len(back)), svc.text()[-2000:])
        check(svc.alive(), "%s: the service ended" % what, svc.text()[-3000:])
    check(svc.wait_for("Invalid Requested. Connection is closed.", 10, count=11), "hostile: invalid-request lines",
          svc.text()[-4000:])

    # Names with quotes, brackets, "%s", ";" and "--" from a well-formed peer: stream 2 of 2, so the
    # service answers, resolves and composes, but starts no restore without stream 1.
    names = ["O'Neil", "a]b[c", "x%sy", "p;q", "r--s", "t'; DROP DATABASE master; --"]
    for name in names:
        text = "%s|%s#DATABASE#2#2:0" % (move, name)
        back = send_block(svc.port, block(text), 8192) or b""
        check(back[:len(text)] == text.encode("latin-1"), "%s: no answer" % name, svc.text()[-2000:])
        check(svc.alive(), "%s: the service ended" % name)
    time.sleep(1)
    # Every request above was refused before anything reached the server, or, for the names, went
    # no further than the resolution of its (well-formed) move list.
    stmts = box.statements("SECOND")
    check(injected not in stmts and "DROP DATABASE" not in stmts, "hostile: peer text reached the server",
          stmts[-3000:])
    check(not box.db_show("SECOND", "Injected"), "hostile: a database was created")

    # A database whose name holds quotes, brackets, "%s", ";" and "--" reaches the server intact and
    # is restored, its files relocated.
    odd = "Q'x %s;--"
    box.sqlemu("db", "create", "MSSQLSERVER", odd, "--data-mb", "2", "--seed", "3")
    before = svc.text().count("is finished.")
    st, out = box.run_backup(svc.port, 2, db=odd)
    check(st == 0, "odd name: backup status %s" % st, out)
    restored(box, svc, 2, "odd name", before=before)
    check(box.checksum("SECOND", odd) == box.checksum("MSSQLSERVER", odd) and box.checksum("SECOND", odd),
          "odd name: content differs", svc.text()[-3000:])
    restore = [b for b in box.batches("SECOND") if "RESTORE DATABASE" in b]
    check(restore and "RESTORE DATABASE [Q'x %s;--] FROM  VIRTUAL_DEVICE='" in restore[-1]
          and "name='Q''x %s;--'" in restore[-1], "odd name: statement", "\n".join(restore))
    check(svc.alive(), "odd name: the service ended")


def flood(port, n, source="127.0.0.2"):
    """`n` connections from `source` that send nothing; the caller closes them."""
    held = []
    for _ in range(n):
        try:
            held.append(socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0)))
        except OSError:
            break
    return held


def case_refused_flood(box):
    """Connections from a refused address cost the admitted ones nothing: 300 of them between the two
    streams of one backup, then 300 more before a real backup, and both restore."""
    box.same_versions()
    files = [box.path("flood_%d.bak" % k) for k in (1, 2)]
    st, _, _ = box.backup.run("-a=B", "-b=F", "-d=Sales", "-f=" + ",".join(files), "-H=elsewhere")
    check(st == 0, "flood: plain backup status %s" % st)
    svc = box.start_service("-O=R", "-w=127.0.0.1")
    texts = [SALES_MOVE + "|Sales#DATABASE#2#%d:1500" % k for k in (1, 2)]
    first = Peer(svc.port, texts[0])
    check(first.answer() == block(texts[0]), "flood: stream 1 was not answered", svc.text()[-3000:])
    held = flood(svc.port, 300)
    check(len(held) == 300, "flood: %d connections" % len(held))
    # Stream 1's restore waits 60 s for stream 2, which queues behind the flood.
    second = Peer(svc.port, texts[1])
    check(second.answer() == block(texts[1]), "flood: stream 2 was not answered", svc.text()[-3000:])
    senders = [threading.Thread(target=p.finish, args=(open(f, "rb").read(),)) for p, f in zip((first, second), files)]
    for t in senders:
        t.start()
    for t in senders:
        t.join()
    restored(box, svc, 2, "flood")
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "flood: content differs")

    held += flood(svc.port, 300)
    box.sqlemu("db", "drop", "SECOND", "Sales")
    st, out = box.run_backup(svc.port, 2)
    check(st == 0, "flood: backup status %s" % st, out + svc.text()[-3000:])
    restored(box, svc, 2, "flood, then a backup", before=2)
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "flood: backup's content differs")
    # One line for the first refusal; its repeats within a minute are counted, not logged each.
    denied = svc.text().count("Connection[127.0.0.2] denied for source auth error.")
    check(1 <= denied <= 5, "flood: %d denial lines for 600 refused connections" % denied, svc.text()[-3000:])
    for s in held:
        s.close()


def case_trickle(box):
    """A request that comes a byte at a time is refused once the request's bound has passed, however
    steadily its bytes come: no peer holds a connection thread for longer."""
    svc = box.start_service("-O=R")
    # A byte a second: the bound passes long before the text is whole.
    text = block(SALES_MOVE * 3 + "|Sales#DATABASE#1#1:1500")
    s = socket.create_connection(("127.0.0.1", svc.port), timeout=10)
    since = time.time()
    closed = False
    for i in range(len(text)):
        if time.time() - since > 90 + 40:
            break
        try:
            s.send(text[i:i + 1])
            if select.select([s], [], [], 1)[0] and not s.recv(1):
                closed = True
        except OSError:
            closed = True
        if closed:
            break
    took = time.time() - since
    s.close()
    check(closed, "trickle: the service still read the request after %.0f s" % took, svc.text()[-3000:])
    check(took >= 85, "trickle: refused after %.0f s, before the bound" % took)
    check(svc.wait_for("Invalid Requested. Connection is closed.", 10), "trickle: no refusal", svc.text()[-3000:])
    check(svc.alive(), "trickle: the service ended")
    check(not any("RESTORE" in b for b in box.batches("SECOND")), "trickle: a restore ran")


def case_peer_share(box):
    """One peer's waiting registrations take no more than its share of the table: after 64 "stream 2
    of 2" requests from 127.0.0.2, a backup from 127.0.0.1 still restores."""
    box.same_versions()
    svc = box.start_service("-O=R")
    hogs = [Peer(svc.port, "%s|Hog%d#DATABASE#2#2:1500" % (SALES_MOVE, n), source="127.0.0.2") for n in range(64)]
    answered = sum(len(p.answer()) == 8192 for p in hogs)
    check(answered == 32, "share: %d of 64 answered" % answered, svc.text()[-3000:])
    # The service's output reaches the case a little after the refused sockets close.
    warning = "32 connections of this peer wait for their restore already."
    svc.wait_for(warning, 10, count=32)
    check(svc.text().count(warning) == 32, "share: warnings", svc.text()[-3000:])
    st, out = box.run_backup(svc.port, 2)
    check(st == 0, "share: backup status %s" % st, out + svc.text()[-3000:])
    restored(box, svc, 2, "share")
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "share: content differs")
    for p in hogs:
        p.close()


def case_listless_request(box):
    """A request without a file list restores only over a database the service's server has. For one
    it lacks, nothing is submitted and no file lands where the stream's recorded paths point (here
    the folder of another instance)."""
    box.same_versions()
    box.sqlemu("db", "create", "MSSQLSERVER", "Elsewhere", "--data-mb", "2", "--seed", "9")
    raw = box.raw_stream("Elsewhere")
    recorded = [l.split("\t")[-1] for l in box.db_show("MSSQLSERVER", "Elsewhere").splitlines()
                if l.startswith("file:")]
    box.sqlemu("db", "drop", "MSSQLSERVER", "Elsewhere")
    svc = box.start_service("-O=R")
    peer = Peer(svc.port, "|Elsewhere#DATABASE#1#1:1500")
    got = peer.answer()
    check(got == b"", "list-less: the request was answered", svc.text()[-3000:])
    if got:
        peer.finish(raw)
        svc.wait_for("is finished.", 60)
    peer.close()
    check(svc.wait_for("Invalid Requested. Connection is closed.", 10), "list-less: no refusal", svc.text()[-3000:])
    check(svc.wait_for("no file list, and the server has no database [Elsewhere]", 10), "list-less: no reason",
          svc.text()[-3000:])
    stmts = box.statements("SECOND")
    check("RESTORE" not in stmts and "ALTER" not in stmts, "list-less: submitted", stmts[-3000:])
    check(recorded and not any(os.path.exists(p) for p in recorded), "list-less: files at the recorded paths",
          "\n".join(recorded))
    check(not box.db_show("SECOND", "Elsewhere"), "list-less: the database was restored")
    check(svc.alive(), "list-less: the service ended")


def case_killed_log(box):
    """A service killed outright leaves in its log file every line its console showed."""
    svc = box.start_service("-O=R")
    svc.proc.send_signal(signal.SIGKILL)
    svc.stop()
    console = [l for l in svc.text().splitlines() if l.strip()]
    log = box.service_side.log().splitlines()
    check(console and all(l in log for l in console), "killed: the log file lacks console lines",
          "console:\n%s\nlog:\n%s" % ("\n".join(console), "\n".join(log)))


# ---------------------------------------------------------------- services played by the test

def recv_exact(conn, n):
    got = b""
    while len(got) < n:
        piece = conn.recv(n - len(got))
        if not piece:
            break
        got += piece
    return got


class PlayedService:
    """A restore service played by the test on a port of its own: `behave(self, conn)` runs on the
    first connection it accepts; without it, the socket listens and never accepts."""

    def __init__(self, box, behave=None):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.request = b""
        self.got = b""
        self.done = threading.Event()
        self.conns = []
        box.stoppers.append(self.close)
        if behave:
            threading.Thread(target=self._serve, args=(behave,), daemon=True).start()

    def _serve(self, behave):
        try:
            conn, _ = self.sock.accept()
            self.conns.append(conn)
            self.request = recv_exact(conn, 8192)
            behave(self, conn)
        except OSError:
            pass
        finally:
            self.done.set()

    def close(self):
        for c in self.conns:
            c.close()
        self.sock.close()


def refuses(service, conn):
    """As a service refuses a stream: its answer, then the close at once."""
    conn.sendall(service.request)
    conn.close()


def takes_and_stays(service, conn):
    """Answers, takes everything the backup side sends until it closes, and keeps its own end open."""
    conn.sendall(service.request)
    while True:
        piece = conn.recv(65536)
        if not piece:
            break
        service.got += piece


def backup_reason(box, port, text):
    return ("The restore service at 127.0.0.1:%d %s" % (port, text)) in box.backup.log()


REFUSED = "closed stream 1 after its answer: it refused the stream (see the service's log)."


def small_database(box):
    """A 1 MiB database, whose whole stream fits the socket buffers, with a full backup in a file."""
    box.sqlemu("db", "create", "MSSQLSERVER", "Small", "--data-mb", "1", "--seed", "9")
    full = box.path("Small.bak")
    st, out, _ = box.backup.run("-a=B", "-b=F", "-d=Small", "-f=" + full)
    check(st == 0, "small database: full backup status %s" % st, out)
    return full


def case_refused_small_stream(box):
    """A 1 MiB database backed up to a service whose version rule refuses it: each backup ends 255
    saying why, nothing is restored, and the service goes on."""
    small_database(box)
    box.sqlemu("instance", "set", "SECOND", "version", "14.0.1000.169")  # older than the source's 15.0
    svc = box.start_service("-O=N")
    for kind in ("F", "L"):
        box.sqlemu("db", "touch", "MSSQLSERVER", "Small", "--pages", "10")
        st, out = box.run_backup(svc.port, 1, db="Small", kind=kind)
        check(st == ST_FAIL, "refused %s backup: status %s" % (kind, st), out)
    log = box.backup.log()
    # The service closes right after its answer, so the refusal shows before the data.
    reasons = log.count("The restore service at 127.0.0.1:%d %s" % (svc.port, REFUSED))
    check(reasons == 2, "refused: reason lines %d" % reasons, log[-4000:])
    check(svc.text().count("Incompetible SQL Versions. Connection is closed.") == 2, "refused: service lines",
          svc.text()[-3000:])
    check(svc.alive(), "refused: the service ended", svc.text()[-3000:])
    check(not any("RESTORE" in b for b in box.batches("SECOND")), "refused: a restore ran")


def case_refused_log_backup_counts_nothing(box):
    """A log backup small enough for the socket buffers, refused by a service that closes right
    after its answer: 255 before the server has counted it, so that the next log backup, into a
    file, still restores in chain."""
    full = small_database(box)
    box.sqlemu("db", "touch", "MSSQLSERVER", "Small", "--pages", "20")
    refusing = PlayedService(box, refuses)
    st, out = box.run_backup(refusing.port, 1, db="Small", kind="L")
    check(st == ST_FAIL, "refused log backup: status %s" % st, out)
    check(backup_reason(box, refusing.port, REFUSED), "refused log backup: reason", box.backup.log()[-3000:])

    box.sqlemu("db", "touch", "MSSQLSERVER", "Small", "--pages", "5")
    log = box.path("Small.trn")
    st, out, _ = box.backup.run("-a=B", "-b=L", "-d=Small", "-f=" + log)
    check(st == 0, "next log backup: status %s" % st, out)
    box.sqlemu("instance", "create", "THIRD")
    third = box.install("third", extra="Instance=localhost\\THIRD\n")
    st, out, _ = third.run("-a=R", "-b=F", "-d=Small", "-O=N", "-f=" + full)
    check(st == 0, "restore of the full backup: status %s" % st, out)
    st, out, _ = third.run("-a=R", "-b=L", "-d=Small", "-O=R", "-f=" + log)
    check(st == 0, "the next log backup does not restore in chain: status %s" % st, out)
    check(box.checksum("THIRD", "Small") == box.checksum("MSSQLSERVER", "Small"), "chain: content differs")


def case_listener_never_accepts(box):
    """A listener that never accepts gives no answer: the backup fails after the idle bound."""
    small_database(box)
    listener = PlayedService(box)
    st, out = box.run_backup(listener.port, 1, db="Small", timeout=300)
    check(st == ST_FAIL, "never accepted: status %s" % st, out)
    check(backup_reason(box, listener.port, "did not answer stream 1 within 90000 ms."), "never accepted: reason",
          box.backup.log()[-3000:])


def case_service_keeps_its_connection(box):
    """A service that takes the stream and keeps its connection open is no failure. EncPass and G do
    not reach a TCP stream: a Warn line says so, and the service gets the stream as the server
    wrote it, then the closing block."""
    copies = box.path("copies")
    os.mkdir(copies)
    peer = PlayedService(box, takes_and_stays)
    st, out = box.run_backup(peer.port, 1, "-z=G", "-P=pass phrase", "-F=" + copies)
    check(st == 0, "kept connection: status %s" % st, out)
    check(peer.done.wait(30), "kept connection: the backup side did not close")
    log = box.backup.log()
    warn = "EncPass and CompressType G do not apply to tcp:// streams: they travel in clear and uncompressed."
    check(log.count(warn) == 1, "kept connection: Warn lines %d" % log.count(warn), log[-3000:])
    check("The restore service at" not in log, "kept connection: a failure was named", log[-3000:])
    copy = local_copies(copies, "Sales", ".bak")
    check(len(copy) == 1, "kept connection: local copies %s" % copy)
    if copy:
        stream = open(copy[0], "rb").read()
        check(len(stream) > 0 and peer.got == stream + peer.request,
              "kept connection: the service got %d bytes, the stream is %d" % (len(peer.got), len(stream)))


def case_peer_stays_after_closing_block(box):
    """A backup side that stays connected after its closing block and sends more later: the restore
    ends at the closing block, at once, and the service's local copy is exactly the stream."""
    box.same_versions()
    raw = box.raw_stream()
    copies = box.path("copies")
    os.mkdir(copies)
    svc = box.start_service("-O=R", "-F=" + copies)
    text = SALES_MOVE + "|Sales#DATABASE#1#1:1500"
    peer = Peer(svc.port, text)
    check(peer.answer() == block(text), "stays connected: no answer", svc.text()[-3000:])
    peer.s.sendall(raw + peer.block)
    time.sleep(1)
    try:
        peer.s.sendall(b"after the closing block\n" * 100)
    except OSError:
        pass
    # Well within the 90 s a silent stream may take.
    check(svc.wait_for("is finished.", 30), "stays connected: the restore did not end", svc.text()[-3000:])
    time.sleep(1.5)
    check(svc.alive(), "stays connected: the service ended", svc.text()[-3000:])
    check("No byte of stream 1 came" not in svc.text(), "stays connected: waited for more", svc.text()[-3000:])
    check(box.checksum("SECOND", "Sales") == box.checksum("MSSQLSERVER", "Sales"), "stays connected: content differs")
    copy = local_copies(copies, "Sales", ".bak")
    check(len(copy) == 1 and open(copy[0], "rb").read() == raw, "stays connected: the local copy is not the stream")
    peer.close()


def case_full_backup_without_its_file_list(box):
    """A full backup streamed to a service must carry its file list: one whose list cannot be read
    is refused before anything is submitted or sent."""
    svc = box.start_service("-O=R")
    # A drive-relative file name has no separator for the list's query to cut at: the query fails.
    subprocess.run([kestrune_harness.sqlemu_bin(), "db", "set-path", "MSSQLSERVER", "Sales", "Sales_log",
                    "C:Sales_log.ldf"], env=box.env(), cwd=box.dir, check=True, capture_output=True)
    st, out = box.run_backup(svc.port, 1)
    check(st == ST_FAIL, "no file list: status %s" % st, out)
    check("The MOVE-clause list of [Sales] could not be read: a full backup streamed to a restore service carries "
          "it in every request. Nothing was submitted." in box.backup.log(), "no file list: message",
          box.backup.log()[-3000:])
    check(not any(b.startswith("BACKUP") for b in box.batches("MSSQLSERVER")), "no file list: a backup was submitted",
          "\n".join(box.batches("MSSQLSERVER")))
    time.sleep(1)
    check("Connection from" not in svc.text(), "no file list: the service was reached", svc.text()[-3000:])


if __name__ == "__main__":
    sys.exit(main(globals(), lambda case: Box()))

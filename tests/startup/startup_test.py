#!/usr/bin/env python3
"""Start-up of the real executable, run the way a new user runs it: a copy of kestrune in a folder of
its own with its own config.ini, in a box of its own (tests/kestrune_harness.py) whose driver and
instance each case sets up itself. startup_test.py --list | CASE."""

import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from kestrune_harness import ST_FAIL, check, main, split_ending  # noqa: E402
import kestrune_harness  # noqa: E402


class Box(kestrune_harness.Box):
    """No driver registered and no instance yet; bin/kestrune + config.ini."""

    def __init__(self, config="[Default]\nSingleton=0\nInstance=localhost\n"):
        super().__init__("kes-startup-", register=False, instances=())
        os.chmod(self.dir, 0o755)
        for d in (self.odbc, self.home, self.root, self.locks):
            os.chmod(d, 0o777)  # the unprivileged case writes its log here too
        self.kes = self.install("bin", head="", extra=config)
        os.chmod(self.kes.bin, 0o777)
        self.bin = self.kes.bin

    def config(self, text):
        self.kes.config(text)

    def log(self):
        return self.kes.log()

    def register(self, *extra):
        self.sqlemu("odbc-register", self.odbc, *extra)

    def drivers_only(self, *names):
        """An odbcinst.ini that lists just these names (no driver behind them)."""
        with open(os.path.join(self.odbc, "odbcinst.ini"), "w") as f:
            for n in names:
                f.write("[%s]\nDriver=%s/none.so\n\n" % (n, self.dir))

    def instance(self, *args):
        self.sqlemu("instance", "create", "MSSQLSERVER", *args)

    def run(self, *args, user=None, extra_env=None):
        wrap = ["setpriv", "--reuid=" + user, "--regid=nogroup", "--clear-groups", "--"] if user else []
        st, out, err = self.kes.run(*args, timeout=120, env=extra_env, wrap=wrap)
        # These cases look at how start-up ends; the status line after it is checked here once.
        out, ending = split_ending(out)
        check(ending in (None, st), "%s: the log ends with status %s, the run with %d" % (args, ending, st), out)
        return st, out, err


def line(msg):
    """How a message shows in the log: after the time stamp and two blanks."""
    return "]  " + msg + "\n"


# ---------------------------------------------------------------- cases

def case_log_unavailable(box):
    # A file where the Log folder belongs: the log cannot be opened, nothing is printed.
    open(os.path.join(box.bin, "Log"), "w").close()
    st, out, err = box.run("-v")
    check(st == ST_FAIL, "log unavailable: status %d" % st)
    check(out == "", "log unavailable: something was printed", out)


def case_help_version_first(box):
    # Not elevated and no usable driver: -h and -v still answer, as both checks come later.
    box.drivers_only("SQL Server")
    for args, want in ((["-h"], ""), (["-h", "-v"], ""), (["-v"], "Kestrune Version - [1.0.0.0]"),
                       (["-D", "-v", "-f=x"], "Kestrune Version - [1.0.0.0]")):
        st, out, err = box.run(*args, user="nobody")
        check(st == 0, "%s as nobody: status %d" % (args, st), out + err)
        check(out == want, "%s as nobody: output %r" % (args, out))


def case_singleton(box):
    box.config("[Default]\nInstance=localhost\n")  # Singleton stays at its default (set)
    msg = "Exiting... Detected some active instance, while ONLY one instance is allowed."
    holder = subprocess.Popen([os.environ["LOCK_HOLDER_BIN"]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              env=box.env())
    try:
        check(holder.stdout.readline().strip() == b"held", "the holder did not take the lock")
        for args in (["-v"], ["-h"], ["-h", "-v"]):
            st, out, err = box.run(*args)
            check(st == ST_FAIL, "%s with another instance: status %d" % (args, st), out)
            check(out.endswith(line(msg)) and out.count("\n") == 1,
                  "%s with another instance: output" % args, out)
            check("Version - [" not in out, "%s: the version was printed before the lock" % args, out)
        # With Singleton cleared the lock is not looked at and nothing about it is logged.
        st, out, err = box.run("-M", "-v")
        check(st == 0 and out == "Kestrune Version - [1.0.0.0]", "-M -v with another instance", out)
    finally:
        # A holder that dies without releasing anything must not block the next run.
        holder.send_signal(signal.SIGKILL)
        holder.wait()
    st, out, err = box.run("-v")
    check(st == 0 and out == "Kestrune Version - [1.0.0.0]", "-v after the holder died", out)
    check(msg in box.log(), "the single-instance message is not in the log file", box.log())


def case_not_elevated(box):
    box.register()
    box.instance()
    st, out, err = box.run("-f=abcdef", "-d=db", user="nobody")
    msg = "Lack of necessary privileges. Make sure to run this application as Administrator."
    check(st == ST_FAIL, "not elevated: status %d" % st, out + err)
    check(out.endswith(line(msg)), "not elevated: message", out)
    check("Process is starting" not in out, "not elevated: went on to the banner", out)
    check(line(msg) in box.log(), "not elevated: message not in the log file", box.log())


def case_no_driver(box):
    # Near misses only: the legacy name, another case, a negative number.
    box.drivers_only("SQL Server", "odbc driver 17 for sql server", "ODBC Driver -1 for SQL Server")
    st, out, err = box.run("-f=abcdef", "-d=db")
    msg = "ODBC Driver is missing. Please make sure ODBC Driver 18 for SQL Server is installed."
    check(st == ST_FAIL, "no driver: status %d" % st, out)
    check(out.endswith(line(msg)), "no driver: message", out)
    check("Process is starting" not in out, "no driver: went on to the banner", out)


def held_port():
    """A listening socket on a free port: a restore service given that port cannot bind it, so it
    ends at once with status 255 after its start-up."""
    import socket
    s = socket.socket()
    s.bind(("0.0.0.0", 0))
    s.listen(1)
    return s, s.getsockname()[1]


# How such a service's start-up ends (EADDRINUSE is 98 on this platform).
SERVICE_END = "bind failed with error: 98"


def case_run_checks(box):
    box.register()
    box.instance()
    bad_files = "Invalid backup target file or restore source file."
    bad_db = "Invalid Database name."
    table = [
        # args, the message that ends the start-up
        (["-f=abcd", "-d=db"], bad_files),
        (["-f=", "-d=db"], bad_files),
        (["-f=abcde"], bad_db),                  # 5 characters pass; a backup needs a database
        (["-a=R", "-f=abcde"], bad_db),
        (["-a=V", "-f=abcde"], "File[abcde] does NOT exist."),  # a verify needs no database name: on to the run
        (["-f=abcde", "-d=db"], None),  # on to the run, whose BACKUP fails: no such database
    ]
    holder, port = held_port()
    table.append((["-l=%d" % port], SERVICE_END))  # the restore service tests neither
    for args, msg in table:
        st, out, err = box.run(*args)
        check(st == ST_FAIL, "%s: status %d" % (args, st), out)
        if msg:
            check(out.endswith(line(msg)), "%s: ends without %r" % (args, msg), out)
        else:
            check("Database 'db' does not exist." in out, "%s: the run was not submitted" % args, out)
        check(line("Process is starting ...") in out, "%s: no banner" % args, out)
        if msg in (bad_files, bad_db):
            check("Local Version" not in out and "SQL Server ODBC" not in out,
                  "%s: went on to the version query" % args, out)


def case_letters(box):
    # A mistyped Action or BKType is refused before anything reaches the server; the restore
    # service reads no Action, only its own BKType.
    box.register()
    box.instance()
    bad_action = "Invalid Action [%s]: accepted are B (backup), R (restore) and V (verify)."
    bad_type = "Invalid BKType [%s]: accepted are F (full), D (differential) and L (log)."
    holder, port = held_port()
    lport = "-l=%d" % port
    table = [
        # config.ini lines, args, status, the message that ends the start-up
        ("", ["-a=b", "-f=abcdef", "-d=db"], ST_FAIL, bad_action % "b"),
        ("", ["-a=", "-f=abcdef", "-d=db"], ST_FAIL, bad_action % ""),
        ("Action=b\n", ["-f=abcdef", "-d=db"], ST_FAIL, bad_action % "b"),
        # A word is not cut to its first letter: it does not fit the setting.
        ("Action=backup\n", ["-f=abcdef", "-d=db"], ST_FAIL,
         "The value of Action in section [Default] of config.ini is too long: 6 characters, at most 1 are allowed."),
        ("", ["-a=Q", "-a=V", "-b=x", "-f=abcdef"], ST_FAIL, bad_type % "x"),
        ("BKType=d\n", ["-a=R", "-f=abcdef", "-d=db"], ST_FAIL, bad_type % "d"),
        ("", ["-b=", "-f=abcdef", "-d=db"], ST_FAIL, bad_type % ""),
        ("Action=b\n", [lport, "-b=l"], ST_FAIL, bad_type % "l"),
        # The service reads no Action: it goes on to its listener (held here, so it ends there).
        ("Action=b\n", [lport], ST_FAIL, SERVICE_END),
    ]
    for conf, args, status, msg in table:
        box.config("[Default]\nSingleton=0\nInstance=localhost\n" + conf)
        st, out, err = box.run(*args)
        check(st == status, "%r %s: status %d" % (conf, args, st), out + err)
        check(out.endswith(line(msg)), "%r %s: ends without %r" % (conf, args, msg), out)
        if msg != SERVICE_END:
            check(box.statements() == "", "%r %s: something was submitted" % (conf, args), box.statements())


def case_overlong_settings(box):
    # A config.ini value that does not fit its setting stops the start-up before anything reaches the
    # server; cut, this allow-list would admit 127.0.0.1 and refuse 127.0.0.12.
    box.register()
    box.instance()
    holder, port = held_port()
    ips = "1" * 501 + ",127.0.0.12"
    table = [
        ("ValidIPs=%s\n" % ips, ["-l=%d" % port],
         "The value of ValidIPs in section [Default] of config.ini is too long: 512 characters, at most 511 are allowed."),
        ("Files=%s\n" % ("f" * 2048), ["-d=db"],
         "The value of Files in section [Default] of config.ini is too long: 2048 characters, at most 2047 are allowed."),
    ]
    for conf, args, msg in table:
        box.config("[Default]\nSingleton=0\nInstance=localhost\n" + conf)
        st, out, err = box.run(*args)
        check(st == ST_FAIL, "%s: status %d" % (conf[:8], st), out + err)
        check(out == out.split("]  ")[0] + line(msg), "%s: output" % conf[:8], out)
    check(box.statements() == "", "something was submitted", box.statements())


def case_service_allow_list(box):
    # An allow-list that admits every peer, or one with blanks, is named when the service starts.
    box.register()
    box.instance()
    holder, port = held_port()
    unset = "ValidIPs is not set: the restore service admits every peer."
    table = [
        ("", [], [unset]),
        ("ValidIPs=1.2\n", [], ["ValidIPs [1.2] has 4 characters or fewer: the restore service admits every peer."]),
        ("ValidIPs=127.0.0.1, 127.0.0.2\n", [],
         ["ValidIPs [127.0.0.1, 127.0.0.2] holds blanks: an address written beside a blank never matches a peer."]),
        ("", ["-w=1.2 "], ["ValidIPs [1.2 ] has 4 characters or fewer: the restore service admits every peer.",
                           "ValidIPs [1.2 ] holds blanks: an address written beside a blank never matches a peer."]),
        ("ValidIPs=127.0.0.1,127.0.0.2\n", [], []),
    ]
    for conf, args, warnings in table:
        box.config("[Default]\nSingleton=0\nInstance=localhost\n" + conf)
        st, out, err = box.run("-l=%d" % port, *args)
        check(st == ST_FAIL and out.endswith(line(SERVICE_END)), "%r %s: did not reach the listener" % (conf, args),
              out)
        found = [l.split("]  ", 1)[1] for l in out.splitlines() if "ValidIPs" in l]
        check(found == warnings, "%r %s: warnings %s" % (conf, args, found), out)


def case_odbc_environment(box):
    # A driver manager whose environment cannot be set up stops the start-up with its message,
    # whatever the code: SQL_ERROR at the allocation gives 999999.
    box.register()
    box.instance()
    asan = os.environ.get("ASAN_OPTIONS", "")
    for fault, code, label in (("alloc", 999999, "SQLAllocHandle(SQL_HANDLE_ENV)"),
                               ("version", 1999999, "SQLSetEnvAttr(SQL_ATTR_ODBC_VERSION)")):
        env = dict(LD_PRELOAD=os.environ["ODBC_FAULT_LIB"], ODBC_ENV_FAULT=fault,
                   # the preloaded shim stands before the sanitizer runtime
                   ASAN_OPTIONS=asan + (":" if asan else "") + "verify_asan_link_order=0")
        st, out, err = box.run("-f=abcdef", "-d=db", extra_env=env)
        check(st == ST_FAIL, "%s: status %d" % (fault, st), out + err)
        check(line("SQL Server ODBC driver reported the following error " + label) in out,
              "%s: no ODBC message" % fault, out)
        check(out.endswith(line("The ODBC environment cannot be set up (code %d); no driver can be used." % code)),
              "%s: message" % fault, out)
        check("Process is starting" not in out, "%s: went on to the banner" % fault, out)
    check(box.statements() == "", "something was submitted", box.statements())


def case_version_query(box):
    box.register()
    box.instance("--version", "16.0.1000.6")
    box.sqlemu("login", "add", "MSSQLSERVER", "kes", "s3cret")
    query = subprocess.run([os.environ["VERSION_QUERY_BIN"]], capture_output=True, text=True,
                           check=True).stdout  # the product's own text
    holder, port = held_port()
    lport = "-l=%d" % port
    table = [
        # args, version it reads, a line that must show
        (["-D", "-l=7000"], 1600, "Decide to use - ODBC Driver 18 for SQL Server"),
        (["-D", "-l=7000", "-u=kes", "-p=s3cret"], 1600, None),
        # A failed query is no failure of the start-up: the version is 0 and it goes on.
        (["-D", "-l=7000", "-u=kes", "-p=wrong"], 0, "SQL Server ODBC driver reported the following error SQLDriverConnect"),
        (["-D", "-l=7000", "-i=nohost"], 0, "SQL Server ODBC driver reported the following error SQLDriverConnect"),
    ]
    for args, version, extra in table:
        args = [lport if a == "-l=7000" else a for a in args]
        st, out, err = box.run(*args)
        check(st == ST_FAIL, "%s: status %d" % (args, st), out)
        check(line("Local Version - %d" % version) in out, "%s: version %d not read" % (args, version), out)
        check(out.endswith(line(SERVICE_END)), "%s: did not end with the listener's line" % args, out)
        if extra:
            check(line(extra) in out, "%s: no line %r" % (args, extra), out)
    stmts = box.statements()
    check(stmts.count(query) == 2, "the version query was not sent as it stands (twice)", stmts)
    # The log file holds what the console showed.
    check(line(SERVICE_END) in box.log() and line("Local Version - 1600") in box.log(),
          "the log file lacks the start-up lines", box.log())


def case_connection_refused(box):
    # Each refused connection (the version query, the MOVE-clause query, the statement) is followed
    # by a line naming the server and the login that were tried; the password never shows.
    box.register()
    box.instance()
    box.sqlemu("login", "add", "MSSQLSERVER", "kes", "right")
    refused = "SQL Server ODBC driver reported the following error "
    table = [
        # config.ini (None: there is none), args, the line after each refusal
        (None, ["-D"],
         "Cannot connect to server (none) with a trusted login: no server is set (Instance in config.ini, or -i=)."),
        ("[Default]\nSingleton=0\n", ["-i=Nightly"], "Cannot connect to server [Nightly] with a trusted login."),
        ("[Default]\nSingleton=0\nInstance=localhost\n", ["-u=kes", "-p=Not-The-Pass"],
         "Cannot connect to server [localhost] with the login of user [kes]."),
    ]
    for conf, args, want in table:
        if conf is None:
            os.remove(os.path.join(box.bin, "config.ini"))
        else:
            box.config(conf)
        before = box.log()
        st, out, err = box.run(*args, "-a=B", "-b=F", "-d=Sales", "-f=" + os.path.join(box.dir, "Sales.bak"))
        logged = box.log()[len(before):]
        check(st == ST_FAIL, "%s: status %d" % (args, st), out)
        tries = out.count(line(want))
        check(tries == 3 and tries == out.count(refused), "%s: %d refusals, %d named" % (args, out.count(refused), tries),
              out)
        check(logged.count(line(want)) == 3, "%s: the log file lacks the line" % args, logged)
        check("Not-The-Pass" not in out + err + logged, "%s: the password shows" % args, out + logged)
    check(box.statements() == "", "something reached the server", box.statements())


def case_conn_string_room(box):
    # The widest composition: a long driver name, and Instance, User and Pass near their widths.
    driver = "ODBC Driver 99 for SQL Server " + "w" * 200
    box.register(driver)
    box.instance()
    box.config("[Default]\nSingleton=0\nInstance=%s\n" % ("h" * 127))
    st, out, err = box.run("-f=abcdef", "-d=db", "-u=" + "u" * 127, "-p=" + "p" * 127)
    check(st == ST_FAIL, "room: status %d" % st, out)
    check(out.endswith(line("The connection string does not fit its 511 characters.")), "room: message", out)
    check("SQL Server ODBC" not in out and box.statements() == "", "room: something was sent", out)


if __name__ == "__main__":
    sys.exit(main(globals(), lambda case: Box()))

"""What every end-to-end script shares: a box (a private emulated world), copies of kestrune in it,
the checks of a case and how a script runs its cases.

A box is a folder of its own holding
    odbc/    ODBCSYSINI, with the emulated driver registered in it
    root/    SQLEMU_ROOT, the data root of the emulated instances
    home/    HOME, empty, so that no user's ODBC files are merged in
    locks/   KESTRUNE_LOCK_DIR, the single-instance lock's own namespace
and one folder per installation: a copy of kestrune beside its config.ini and its Log folder.

A script names its cases case_NAME and ends with `sys.exit(main(globals(), make_box))`:
`script --list` prints the names (the build registers one test per name), `script NAME` runs that
case in the box make_box(NAME) gives and ends 0 only when every check held. The binaries come from
the environment: KESTRUNE_BIN and SQLEMU_BIN. KES_KEEP_TMP=1 keeps the box of a passing case too."""

import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import traceback

ST_FAIL = 255  # -1 as the shell sees it

FAILURES = []
STDERR = []  # what each run wrote to its standard error, shown when the case fails
BOXES = []  # every box made, so that one whose set-up failed half-way is cleared too


def check(cond, what, detail=""):
    """Records a failure unless `cond` holds; the case goes on either way. Returns `cond`."""
    if not cond:
        FAILURES.append(what + ("\n--- detail ---\n" + detail if detail else ""))
    return cond


def kestrune_bin():
    return os.environ["KESTRUNE_BIN"]


def sqlemu_bin():
    return os.environ["SQLEMU_BIN"]


def iofault_env(rules, log=None):
    """The environment that preloads the file-system fault shim (tests/support/iofault.cpp) with
    `rules` ("op:match:nth:action;..."); with `log`, the shim lists there every call it selects."""
    asan = os.environ.get("ASAN_OPTIONS", "")
    env = dict(LD_PRELOAD=os.environ["IOFAULT_LIB"], KES_IOFAULT=rules,
               # the preloaded shim stands before the sanitizer runtime
               ASAN_OPTIONS=asan + (":" if asan else "") + "verify_asan_link_order=0")
    if log:
        env["KES_IOFAULT_LOG"] = log
    return env


ENDING = re.compile(r"\[\d{6}\]  Exit status (\d+)\n\Z")


def split_ending(text):
    """`text` (a run's console output or log) without its last line when that is the line that gives
    the exit status, and that status (None when there is no such line)."""
    m = ENDING.search(text)
    return (text[:m.start()], int(m.group(1))) if m else (text, None)


def log_text(folder):
    """Today's log of the kestrune that lives in `folder`, "" when there is none."""
    p = os.path.join(folder, "Log", "kestrune-%s.log" % datetime.date.today().strftime("%Y%m%d"))
    return open(p, encoding="latin-1").read() if os.path.exists(p) else ""


class Installation:
    """A copy of kestrune in a folder of the box, with its own config.ini and log. Its config.ini
    is `head` followed by what config() adds."""

    def __init__(self, box, name, head, extra=""):
        self.box = box
        self.head = head
        self.bin = box.path(name)
        os.mkdir(self.bin)
        self.exe = os.path.join(self.bin, "kestrune")
        shutil.copy2(kestrune_bin(), self.exe)
        self.config(extra)

    def config(self, extra):
        with open(os.path.join(self.bin, "config.ini"), "w") as f:
            f.write(self.head + extra)

    def log(self):
        return log_text(self.bin)

    def run(self, *args, timeout=240, env=None, preexec_fn=None, wrap=()):
        """Runs this copy in the box's environment (plus `env`), with `wrap` before it on the command
        line; returns its status, standard output and standard error."""
        e = self.box.env()
        e.update(env or {})
        r = subprocess.run([*wrap, self.exe, *args], env=e, capture_output=True, timeout=timeout,
                           preexec_fn=preexec_fn)
        err = r.stderr.decode("latin-1")
        if err.strip():
            STDERR.append("--- stderr of kestrune %s ---\n%s" % (" ".join(args), err))
        return r.returncode, r.stdout.decode("latin-1"), err


class Box:
    """A private emulated world (see above); with `register` the emulated driver is registered, and
    `instances` are created empty."""

    def __init__(self, prefix, register=True, instances=("MSSQLSERVER", "SECOND")):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        self.stoppers = []  # what close() ends: processes the case may have left running
        BOXES.append(self)
        self.odbc = self.path("odbc")
        self.root = self.path("root")
        self.home = self.path("home")
        self.locks = self.path("locks")
        for d in (self.odbc, self.root, self.home, self.locks):
            os.mkdir(d)
        if register:
            self.sqlemu("odbc-register", self.odbc)
        for instance in instances:
            self.sqlemu("instance", "create", instance)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def env(self):
        e = dict(os.environ)
        e.update(HOME=self.home, ODBCSYSINI=self.odbc, SQLEMU_ROOT=self.root, KESTRUNE_LOCK_DIR=self.locks)
        return e

    def install(self, name, head="[Default]\nSingleton=0\n", extra=""):
        return Installation(self, name, head, extra)

    def sqlemu(self, *args, ok=True):
        """The admin tool's standard output; with `ok`, a failure stops the case."""
        r = subprocess.run([sqlemu_bin(), *args], env=self.env(), capture_output=True, text=True)
        if ok and r.returncode != 0:
            raise RuntimeError("sqlemu %s: %s%s" % (" ".join(args), r.stdout, r.stderr))
        return r.stdout

    def checksum(self, instance, db):
        return self.sqlemu("db", "checksum", instance, db).strip()

    def db_show(self, instance, db):
        """What `sqlemu db show` says of the database, "" when there is no such database."""
        r = subprocess.run([sqlemu_bin(), "db", "show", instance, db], env=self.env(), capture_output=True,
                           text=True)
        return r.stdout if r.returncode == 0 else ""

    def statements(self, instance="MSSQLSERVER"):
        """Every batch the instance was sent, as its statements.log holds them."""
        p = os.path.join(self.root, instance, "statements.log")
        return open(p, encoding="latin-1").read() if os.path.exists(p) else ""

    def batches(self, instance="MSSQLSERVER"):
        return [b.strip("\n") for b in self.statements(instance).split("\nGO\n") if b.strip()]

    def close(self, keep):
        for stop in self.stoppers:
            stop()
        if keep:
            print("box kept at", self.dir)
        elif not os.environ.get("KES_KEEP_TMP"):
            shutil.rmtree(self.dir, ignore_errors=True)


def cases(namespace):
    return {name[len("case_"):]: fn for name, fn in namespace.items() if name.startswith("case_") and callable(fn)}


def main(namespace, make_box):
    """Lists the cases of the script whose globals are `namespace`, or runs the one it is given."""
    table = cases(namespace)
    script = os.path.basename(sys.argv[0])
    if sys.argv[1:] == ["--list"]:
        print("\n".join(table))
        return 0
    if len(sys.argv) != 2 or sys.argv[1] not in table:
        print("usage: %s --list | %s {%s}" % (script, script, "|".join(table)), file=sys.stderr)
        return 2
    try:
        table[sys.argv[1]](make_box(sys.argv[1]))
    except Exception:
        FAILURES.append("the case stopped:\n" + traceback.format_exc())
    finally:
        for box in BOXES:
            box.close(keep=bool(FAILURES))
    for f in FAILURES:
        print("FAIL:", f)
    if FAILURES:
        for e in STDERR:
            print(e)
    return 1 if FAILURES else 0


def table_cases(namespace, run, rows):
    """Makes one case of the script whose globals are `namespace` for each row of `rows` (a dict of
    NAME: row): case_NAME runs run(box, row). So a table of cases still lists, runs and fails one
    ctest entry per row, by its name."""
    for name, row in rows.items():
        def case(box, row=row):
            run(box, row)
        case.__name__ = case.__qualname__ = "case_" + name
        namespace[case.__name__] = case

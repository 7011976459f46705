"""What the service tests share: the processes of the prefix read from
Linux, the helpers that query and watch a service and time its stop, a host
placed beside a test child, and a TestCase with a Wine session of its own.

Process names: Wine 8's tasklist is a stub, so the processes of the prefix
are read from /proc (each Wine process has WINEPREFIX in its environment and
its Windows image path as argv[0]).

Timing: a stop is timed from the moment `sc` asks for it: `sc stop` runs with
trace+service, and its ControlService line carries Wine's timestamp, which
counts CLOCK_MONOTONIC_RAW milliseconds on Linux, as GetTickCount64 does
(stop_service checks it), so the request, the events, a watched process's end
and `sc stop`'s return are on one clock.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass
from pathlib import PureWindowsPath
from typing import Dict, List, Optional

from texts import DISPATCHER_RETURNED
from wine_harness import HarnessError, Session, helper_exe, host_exe, make_scratch, prefix_dir, start_session, to_unix_path
from wine_trace import Event, parse_trace


def raw_clock() -> float:
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW)


def units(text: str) -> int:
    """Length in UTF-16 code units."""
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def note(text: str):
    """Measurements, for whoever reads the test log."""
    print(text, file=sys.stderr, flush=True)


# --- the processes of the prefix ------------------------------------------------

def prefix_process_ids() -> Dict[int, str]:
    """Linux process id -> Windows image path (argv[0]), for the live
    processes of this prefix."""
    marker = b"WINEPREFIX=" + str(prefix_dir()).encode()
    images = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if marker not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                argv0 = f.read().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue  # ended meanwhile
        if argv0:  # a zombie has an empty command line
            images[int(pid)] = argv0
    return images


def prefix_processes() -> List[str]:
    """Windows image paths of the live processes of this prefix."""
    return list(prefix_process_ids().values())


def running_images(*paths: str) -> List[str]:
    wanted = {p.lower() for p in paths}
    return [p for p in prefix_processes() if p.lower() in wanted]


def wait_until_gone(*paths: str, timeout: float = 15) -> List[str]:
    """Waits for the processes with these image paths to end; returns those left."""
    deadline = time.monotonic() + timeout
    while True:
        left = running_images(*paths)
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.05)


def console_hosts() -> int:
    """Wine's conhost.exe processes: one serves each new console."""
    return sum(PureWindowsPath(p).name.lower() == "conhost.exe" for p in prefix_processes())


# --- helpers run in the session ---------------------------------------------------

def query_service(session: Session, name: str) -> Dict[str, str]:
    """service_query's view: {} for a missing service, else key -> value."""
    result = session.wine(helper_exe("service_query"), name)
    if result.exit_code != 0:
        raise HarnessError(f"service_query {name} failed: {result.stdout}{result.stderr}")
    lines = result.stdout.splitlines()
    if lines == ["missing"]:
        return {}
    return dict(line.split("=", 1) for line in lines if "=" in line)


class Watch:
    """process_watch on a Windows process id, started and said "watching"."""

    def __init__(self, session: Session, pid: int, log_name: str):
        self.started = session.start(helper_exe("process_watch"), pid, log_name=log_name)
        deadline = time.monotonic() + 30
        while True:
            out = self.started.out_path.read_text(errors="replace")
            if "watching" in out or "gone" in out:
                # process_watch starts its clock right after printing: this
                # raw time is at most one poll late.
                self.since = raw_clock()
                break
            if time.monotonic() > deadline or not self.started.running():
                raise HarnessError(f"process_watch {pid} did not start; see {self.started.log_path}")
            time.sleep(0.005)
        self.gone_already = "gone" in out

    def result(self, timeout: float = 30):
        """(exit code, raw time of the end), or None if the process was gone
        before the watch began."""
        out = self.started.wait(timeout).stdout
        if self.gone_already:
            return None
        m = re.search(r"^exit=(\d+) waited_ms=(\d+)\s*$", out, re.MULTILINE)
        if not m:
            raise HarnessError(f"process_watch printed {out!r}")
        return int(m[1]), self.since + int(m[2]) / 1000


@dataclass
class Stop:
    exit_code: int
    stdout: str
    called: float  # raw clock before `sc stop` ran
    request: float  # ControlService in sc's trace
    returned: float  # raw clock when `sc stop` had returned


def stop_service(session: Session, name: str, scratch_dir, timeout: float = 60) -> Stop:
    """`sc stop NAME` with trace+service, timed on the raw clock."""
    env = dict(session.env, WINEDEBUG="+timestamp,+pid,trace+service")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        called = raw_clock()
        code = subprocess.run(["wine", "sc", "stop", name], env=env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err, timeout=timeout).returncode
        returned = raw_clock()
        out.seek(0)
        err.seek(0)
        stdout, trace = out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")
    (scratch_dir / f"sc-stop-{name}.log").write_text(trace)
    requests = [line for line in parse_trace(trace).lines if line.function == "ControlService"]
    if len(requests) != 1 or requests[0].message.split()[1] != "1":
        raise HarnessError(f"expected one ControlService(..., 1, ...) in sc's trace: {trace[-2000:]}")
    request = requests[0].timestamp
    # Wine's trace times are whole milliseconds and may lag a little.
    if not called - 0.05 <= request <= returned:
        raise HarnessError(f"Wine's trace clock is not CLOCK_MONOTONIC_RAW: request at {request}, "
                           f"sc ran from {called} to {returned}")
    return Stop(code, stdout, called, request, returned)


# --- a host beside a child ----------------------------------------------------------

@dataclass
class Layout:
    name: str  # the service: the host's stem
    host: str  # Windows path of <child>Svc.exe
    child: str  # Windows path of <child>.exe (may not exist)

    @property
    def directory(self) -> str:
        return str(PureWindowsPath(self.host).parent) + "\\"

    @property
    def command_line(self) -> str:
        """What the host should start: the child's path, quoted when it holds a
        blank or a tab, and one trailing blank."""
        quoted = any(c in self.child for c in " \t")
        return (f'"{self.child}"' if quoted else self.child) + " "

    @property
    def child_log(self):
        return to_unix_path(self.child + ".log")


def place(directory: str, child_stem: str, child_helper: Optional[str]) -> Layout:
    """Copies the host as <child_stem>Svc.exe into the Windows directory
    `directory` (made if need be) and, unless child_helper is None, the helper
    beside it as <child_stem>.exe."""
    layout = Layout(name=child_stem + "Svc", host=directory + child_stem + "Svc.exe",
                    child=directory + child_stem + ".exe")
    to_unix_path(layout.host).parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(host_exe(), to_unix_path(layout.host))
    if child_helper is not None:
        shutil.copyfile(helper_exe(child_helper), to_unix_path(layout.child))
    return layout


def child_runs(layout: Layout) -> List[Dict[str, str]]:
    """The child's records, one dict per run (each run starts with command_line=)."""
    try:
        text = layout.child_log.read_bytes().decode("utf-8")
    except FileNotFoundError:
        return []
    runs = []
    for line in text.split("\n"):
        if not line:
            continue
        key, _, value = line.partition("=")
        if key == "command_line":
            runs.append({})
        if runs:
            runs[-1][key] = value
    return runs


def wait_for_child_run(layout: Layout, count: int, timeout: float = 30) -> Dict[str, str]:
    """The child's `count`-th run, once it has said ready."""
    deadline = time.monotonic() + timeout
    while True:
        runs = child_runs(layout)
        if len(runs) >= count and runs[count - 1].get("ready") == "yes":
            return runs[count - 1]
        if time.monotonic() > deadline:
            raise HarnessError(f"run {count} of {layout.child} not ready within {timeout} s: {runs}")
        time.sleep(0.02)


def wait_until_said(started, word: str, timeout: float = 30):
    """Waits for a helper started in the background to print `word`."""
    deadline = time.monotonic() + timeout
    while word not in started.out_path.read_text():
        if time.monotonic() > deadline or not started.running():
            raise HarnessError(f"{started.args[0]} did not say {word!r}; see {started.log_path}")
        time.sleep(0.02)


class ServiceTestCase(unittest.TestCase):
    """One Wine session per class; services made with sc create and deleted
    in the class's cleanup."""

    scratch_name: str

    @classmethod
    def setUpClass(cls):
        cls.scratch = make_scratch(cls.scratch_name)
        cls.base = str(PureWindowsPath("C:\\", "e2e", cls.scratch_name)) + "\\"
        cls.session = start_session(cls.scratch)
        cls.addClassCleanup(cls.session.stop)

    @classmethod
    def create(cls, layout: Layout):
        if query_service(cls.session, layout.name):  # left by an earlier, failed run
            cls.session.sc("delete", layout.name)
        # A path with blanks is registered quoted, as on Windows: unquoted,
        # the service manager itself would try C:\...\dir.exe first (Wine does
        # that too; see HostPaths).
        bin_path = f'"{layout.host}"' if " " in layout.host else layout.host
        created = cls.session.sc("create", layout.name, "binPath=", bin_path)
        if created.exit_code != 0:
            raise HarnessError(f"sc create {layout.name} failed: {created.stdout}")
        cls.addClassCleanup(cls.session.sc, "delete", layout.name)

    @classmethod
    def events_until_exit(cls, layout: Layout, runs: int = 1, timeout: float = 30) -> List[Event]:
        """The events of the service once its host has logged the dispatcher's
        return `runs` times (nothing follows that event in a run)."""
        deadline = time.monotonic() + timeout
        while True:
            events = cls.session.events(layout.name)
            returns = [e for e in events if e.complete and not e.truncated and e.text == DISPATCHER_RETURNED]
            if len(returns) >= runs:
                return events
            if time.monotonic() > deadline:
                raise HarnessError(f"{layout.name}: {len(returns)} of {runs} dispatcher returns within "
                                   f"{timeout} s; see {cls.session.log_path}")
            time.sleep(0.05)

    def assert_plain_events(self, events: List[Event]):
        """Information events, id 0, category 0, one whole string each."""
        for e in events:
            self.assertEqual((e.type, e.category, e.event_id, e.count, e.truncated), (4, 0, 0, 1, False), e)

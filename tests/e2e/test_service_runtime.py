"""The service runtime through Wine's real service manager: the host, copied
as <child>Svc.exe beside a test child (tests/helpers/test_child.cpp) and
registered with Wine's own `sc create`, is started with `sc start` and stopped
with `sc stop`. The tests assert what a user can see on Windows and on Wine
alike: the child's command line, directory and console (the child writes them
to <its path>.log), the events, the exit codes of the child and of the host
(process_watch), the service's state and process (service_query), and the
time a stop takes.

Timing. A stop is timed from the moment `sc` asks for it: `sc stop` runs with
trace+service, and its ControlService line carries Wine's timestamp. Wine's
+timestamp and GetTickCount64 count CLOCK_MONOTONIC_RAW milliseconds on Linux
(a Wine detail; every stop checks that the request's time lies between the
raw clock read before and after `sc`), so the request, the events in the
session log, the child's end (process_watch's waited_ms added to the raw time
at which it said "watching") and `sc stop`'s return are on one clock.

Wine differences relied on here, each also noted where it is used:
- Wine's control handler runs on a thread of its own, not on the thread inside
  StartServiceCtrlDispatcherW: only "the two stop events come from different
  threads" is asserted, which holds on both.
- A service's Wine trace goes to the session log; the event log is read from
  that trace (wine_trace.py), which cuts a string at about 290 characters, so
  long launch events are made of ASCII beyond the fixed Chinese prefix.
- Wine's service manager refuses an image path longer than 260 units: the
  long-path hosts stay below 260.
- Process names: Wine 8's tasklist is a stub, so the processes of the prefix
  are read from /proc (each Wine process has WINEPREFIX in its environment
  and its Windows image path as argv[0]). Wine starts programs of its own at
  times (explorer.exe appeared in the middle of one run), so only processes
  from a test's own directory, and Wine's console hosts (conhost.exe, one per
  new console), are counted.
- Timing rests on Wine's trace clock being the raw monotonic clock (above).
Not a difference, but relied on as on Windows: `sc stop` returns once the
control handler has returned, and an unquoted path with blanks makes
CreateProcessW try C:\\...\\dir.exe first (Wine's service manager did exactly
that for an unquoted binPath).
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass, field
from pathlib import PureWindowsPath
from typing import Dict, List, Optional

from wine_harness import (Completed, HarnessError, Session, helper_exe, host_exe, make_scratch, prefix_dir, start_session,
                          to_unix_path)
from wine_trace import Event, parse_trace

LAUNCHED = "子进程创建成功!cmd="
LAUNCH_FAILED = "子进程创建失败!cmd="
SERVICE_STOPPED = "Service stopped"
DISPATCHER_RETURNED = "Register Service Main Function Succeed!"
LAST_WORDS = "The program ended by itself with exit code {}. The last lines of its console:\r\n"
EVENT_UNITS = 255  # one event holds at most this many UTF-16 units

# The stop sequence: WM_QUIT, 2000 ms, TerminateProcess(child, 2), 2000 ms,
# STOPPED. Lower bounds are the sleeps less a little: Wine's trace times lag
# the raw clock by some milliseconds (a handler's 4000 ms of sleep showed as
# 3.992 s from the request). Upper bounds leave room for a loaded two-core
# machine.
TERMINATE_AFTER = (1.95, 2.8)
HANDLER_DONE_AFTER = (3.95, 5.0)
QUIT_WITHIN = 1.0  # a child with a message loop ends long before it would be terminated


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


@dataclass
class StopRun:
    """Everything seen in one run of a service that sc stop ends."""
    layout: Layout
    started: Completed  # sc start
    running: Dict[str, str]  # service_query after sc start
    child: Dict[str, str]  # the child's record of its run
    stop: Stop
    child_end: Optional[tuple]  # (exit code, raw time)
    host_end: Optional[tuple]
    grandchild_end: Optional[tuple]  # the process the child started, if it started one
    stopped: Dict[str, str]  # service_query after sc stop
    events: List[Event] = field(default_factory=list)
    child_log_after: Dict[str, str] = field(default_factory=dict)


def start_and_stop(case, layout: Layout) -> StopRun:
    """sc create, sc start, the child's record, watches on child and host,
    sc stop, and what is left afterwards."""
    session = case.session
    case.create(layout)
    started = session.sc("start", layout.name)
    child = wait_for_child_run(layout, 1)
    running = query_service(session, layout.name)
    child_watch = Watch(session, int(child["pid"]), f"watch-{layout.name}-child")
    host_watch = Watch(session, int(running.get("pid", "0")), f"watch-{layout.name}-host")
    grandchild_watch = (Watch(session, int(child["grandchild_pid"]), f"watch-{layout.name}-grandchild")
                        if "grandchild_pid" in child else None)
    stop = stop_service(session, layout.name, case.scratch.dir)
    child_end, host_end = child_watch.result(), host_watch.result()
    grandchild_end = grandchild_watch.result() if grandchild_watch else None
    stopped = query_service(session, layout.name)
    events = case.events_until_exit(layout)
    run = StopRun(layout, started, running, child, stop, child_end, host_end, grandchild_end, stopped, events,
                  child_runs(layout)[0])
    stop_events = [e for e in events if e.text == SERVICE_STOPPED]
    note(f"{layout.name}: sc stop returned {stop.returned - stop.request:.3f} s after the request "
         f"({stop.returned - stop.called:.3f} s after sc started); "
         + (f"child ended {child_end[1] - stop.request:.3f} s after it; " if child_end else "")
         + ", ".join(f"'Service stopped' at {e.timestamp - stop.request:.3f} s" for e in stop_events))
    return run


class StopChecks:
    """What holds for every host stopped with sc stop while its child runs."""

    def check_started(self, run: StopRun):
        layout = run.layout
        self.assertEqual(run.started.exit_code, 0, run.started.stdout)
        self.assertEqual(run.running.get("state"), "4", run.running)
        self.assertEqual(run.child["command_line"], layout.command_line)
        # GetCurrentDirectoryW names the directory without its trailing separator.
        self.assertEqual(run.child["directory"], layout.directory.rstrip("\\"))
        # A console of its own: the child on it, and the host once it is attached.
        self.assertIn(run.child["console_processes"], ("1", "2"))
        self.assertNotEqual(run.child["console_cp"], "0", "the child has no console")
        launch = run.events[0]
        self.assertEqual(launch.text, LAUNCHED + layout.command_line)

    def check_stopped(self, run: StopRun):
        """Two "Service stopped" (the service thread's when the child ends, the
        handler's after 4 s), then the dispatcher's return; the host ends with
        0 and leaves nothing behind."""
        layout, stop = run.layout, run.stop
        self.assertEqual(stop.exit_code, 0, stop.stdout)
        self.assert_plain_events(run.events)
        self.assertEqual([e.text for e in run.events],
                         [LAUNCHED + layout.command_line, SERVICE_STOPPED, SERVICE_STOPPED, DISPATCHER_RETURNED])
        launch, by_service_thread, by_handler, _ = run.events
        # The first comes from ServiceMain's thread (the launch event's); the
        # second from the handler, which runs elsewhere: on the dispatcher's
        # thread on Windows, on a thread of its own under Wine.
        self.assertEqual(by_service_thread.tid, launch.tid)
        self.assertNotEqual(by_handler.tid, launch.tid)
        # The handler ends 4 s after the request; sc stop returns once it has.
        low, high = HANDLER_DONE_AFTER
        self.assertGreaterEqual(by_handler.timestamp - stop.request, low)
        self.assertLessEqual(by_handler.timestamp - stop.request, high)
        self.assertLessEqual(by_handler.timestamp, stop.returned)
        self.assertGreaterEqual(stop.returned - stop.request, low)
        self.assertLessEqual(stop.returned - stop.request, high)
        # Stopped on request: no error, whatever the child's exit code.
        self.assertEqual((run.stopped.get("state"), run.stopped.get("pid"), run.stopped.get("win32_exit_code"),
                          run.stopped.get("service_exit_code")), ("1", "0", "0", "0"), run.stopped)
        self.assertIsNotNone(run.host_end, "the host was gone before the stop")
        self.assertEqual(run.host_end[0], 0, "the host's exit code")
        self.assertEqual(wait_until_gone(layout.host, layout.child), [])


class OneStop(StopChecks):
    """A class's one start and stop of the test child `child`, as the service
    `name`: the checks every such run passes."""

    name: str
    child: str

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.run_ = start_and_stop(cls, place(cls.base, cls.name, cls.child))

    def test_start_brings_the_child_up_in_a_new_console_in_the_hosts_directory(self):
        self.check_started(self.run_)

    def test_stop_reports_twice_and_the_host_ends(self):
        self.check_stopped(self.run_)


class MessageLoopChild(OneStop, ServiceTestCase):
    """A child with a message loop on its primary thread ends on the posted
    WM_QUIT, at once and with exit code 0."""

    scratch_name, name, child = "runtime-loop", "rt_loop", "loop_child"

    def test_child_quits_on_the_request_with_exit_code_0(self):
        exit_code, ended = self.run_.child_end
        self.assertEqual(exit_code, 0)
        self.assertEqual(self.run_.child_log_after.get("ended"), "WM_QUIT")
        self.assertGreaterEqual(ended - self.run_.stop.request, -0.002, "the child ended before the request")
        self.assertLess(ended - self.run_.stop.request, QUIT_WITHIN)
        # The service thread sees the end at once and says so.
        by_service_thread = self.run_.events[1]
        self.assertLess(by_service_thread.timestamp - self.run_.stop.request, QUIT_WITHIN)


class ConsoleChild(OneStop, ServiceTestCase):
    """A console child without a message queue that ignores Ctrl-C loses both
    requests and is terminated with exit code 2 once the first 2000 ms have
    passed. What it wrote to its console is not reported: it was stopped."""

    scratch_name, name, child = "runtime-console", "rt_console", "console_child"

    def test_child_is_terminated_with_exit_code_2_after_2_s(self):
        exit_code, ended = self.run_.child_end
        self.assertEqual(exit_code, 2)
        self.assertNotIn("ended", self.run_.child_log_after)
        low, high = TERMINATE_AFTER
        self.assertGreaterEqual(ended - self.run_.stop.request, low)
        self.assertLessEqual(ended - self.run_.stop.request, high)
        by_service_thread = self.run_.events[1]
        self.assertGreaterEqual(by_service_thread.timestamp - self.run_.stop.request, low)
        self.assertLessEqual(by_service_thread.timestamp - self.run_.stop.request, high)


class CtrlCChild(OneStop, ServiceTestCase):
    """A console program without a message queue ends on the Ctrl-C that a
    stop sends to its console, long before it would be terminated."""

    scratch_name, name, child = "runtime-ctrl-c", "rt_ctrl_c", "ctrl_c_child"

    def test_child_ends_on_ctrl_c(self):
        exit_code, ended = self.run_.child_end
        self.assertEqual((exit_code, self.run_.child_log_after.get("ended")), (0, "Ctrl-C"))
        self.assertLess(ended - self.run_.stop.request, QUIT_WITHIN)


class ProgramTree(StopChecks, ServiceTestCase):
    """What the program starts goes with it: launcher_child starts a second
    process of its own, which ignores both requests, then waits for WM_QUIT."""

    scratch_name = "runtime-tree"

    def test_a_stop_ends_what_the_program_started_when_it_would_end_the_program(self):
        run = start_and_stop(self, place(self.base, "rt_tree", "launcher_child"))
        self.check_stopped(run)  # nothing of the child's image is left
        self.assertEqual(run.child_end[0], 0)
        # Ended with the job, at the termination. Its exit code is not
        # asserted: under Wine it reported 0, not 2. Wine puts the program's
        # console host in the job too, and a process whose console host ends
        # is closed with it; which of the two ends it first is Wine's
        # business. The exit code 2 is the fake's to prove.
        _, ended = run.grandchild_end
        low, high = TERMINATE_AFTER
        self.assertGreaterEqual(ended - run.stop.request, low)
        self.assertLessEqual(ended - run.stop.request, high)

    def test_a_host_ended_from_outside_takes_the_program_and_what_it_started(self):
        # Wine's service manager keeps such a service RUNNING; Windows marks
        # it stopped. Only what runs is asserted.
        layout = place(self.base, "rt_killed", "launcher_child")
        self.create(layout)
        self.assertEqual(self.session.sc("start", layout.name).exit_code, 0)
        child = wait_for_child_run(layout, 1)
        watches = [Watch(self.session, int(child[key]), f"watch-rt_killed-{key}") for key in ("pid", "grandchild_pid")]
        killed = self.session.wine("taskkill", "/f", "/pid", query_service(self.session, layout.name)["pid"])
        self.assertEqual(killed.exit_code, 0, killed.stdout + killed.stderr)
        for watch in watches:
            self.assertIsNotNone(watch.result())  # ended, within the watch's time-out
        self.assertEqual(wait_until_gone(layout.host, layout.child), [])


class ChildStillLoading(ServiceTestCase):
    """A program stopped while still loading (late_loop_child: its message
    queue comes 1 s after its start) has no queue for the first WM_QUIT; the
    quit request is repeated, so it still ends on it, not by termination."""

    scratch_name = "runtime-late"

    def test_child_quits_once_its_queue_exists(self):
        layout = place(self.base, "rt_late", "late_loop_child")
        self.create(layout)
        # A Wine program takes up to a second to start on a loaded machine:
        # the stop comes from one already waiting for the child's log to
        # appear, which the child writes first thing.
        stopper = self.session.start(helper_exe("service_control"), layout.name, "stop", layout.child + ".log", 200,
                                     log_name="stop-rt_late")
        wait_until_said(stopper, "waiting")
        self.assertEqual(self.session.sc("start", layout.name).exit_code, 0)
        events = self.events_until_exit(layout)
        answer = stopper.wait().stdout
        sent = re.search(r"^sent_ms=(\d+)\s+state=\d+\s*$", answer, re.MULTILINE)
        self.assertTrue(sent, f"the stop failed: {answer}")
        (child,) = child_runs(layout)
        # GetTickCount64 and the trace's timestamps: the raw clock under Wine.
        started, request = int(child["started_ms"]) / 1000, int(sent[1]) / 1000
        by_service_thread = events[1]  # logged as soon as the child has ended
        self.assertEqual(by_service_thread.text, SERVICE_STOPPED)
        note(f"{layout.name}: request {request - started:.3f} s after the child's start, "
             f"its end {by_service_thread.timestamp - started:.3f} s after it")
        self.assertLess(request - started, 0.9, "the child had its queue before the request")
        self.assertEqual(child.get("ended"), "WM_QUIT")
        # Asked again about every 50 ms, the child ends soon after its queue
        # exists (1 s after its start), long before it would be terminated.
        self.assertLess(by_service_thread.timestamp - started, 1.5)


class ChildEndsOrIsMissing(ServiceTestCase):
    """Without a stop request: a child that ends by itself stops the service,
    which reports the child's exit code; a missing child gives the failure
    event and a service stopped with CreateProcessW's error."""

    scratch_name = "runtime-alone"

    def start_alone(self, layout: Layout, exit_codes=("0", "0"), while_running=None):
        """Runs the service until it stops by itself (once `while_running`
        has run, when given); `exit_codes` are the Win32 and service-specific
        exit codes it must report."""
        self.create(layout)
        started = self.session.sc("start", layout.name)
        self.assertEqual(started.exit_code, 0, started.stdout)
        if while_running is not None:
            while_running()
        events = self.events_until_exit(layout)
        self.assert_plain_events(events)
        stopped = query_service(self.session, layout.name)
        self.assertEqual((stopped.get("state"), stopped.get("pid"), stopped.get("win32_exit_code"),
                          stopped.get("service_exit_code")), ("1", "0") + exit_codes, stopped)
        # What the child started has the child's image: nothing of it is left.
        self.assertEqual(wait_until_gone(layout.host, layout.child), [])
        return events

    def test_a_child_that_ends_by_itself_stops_the_service(self):
        layout = place(self.base, "rt_quick", "quick_child")
        events = self.start_alone(layout)
        self.assertEqual([e.text for e in events], [LAUNCHED + layout.command_line, SERVICE_STOPPED,
                                                    DISPATCHER_RETURNED])
        (run,) = child_runs(layout)
        self.assertEqual((run["command_line"], run["ended"]), (layout.command_line, "by itself"))

    def test_a_launcher_that_fails_stops_the_service_with_its_code_and_takes_its_offspring(self):
        # It starts a second process and ends with exit code 3 when told. At
        # the moment the service is first seen STOPPED that process must be
        # gone: a client may start the service again at once. A monitoring
        # tool has interrogated the service meanwhile: under Wine the host
        # then gives Wine's control thread a moment after the dispatcher
        # returns, which a host that ends the job only after its STOPPED
        # leaves the second process running through.
        layout = place(self.base, "rt_launcher", "launcher_exits_child")
        watches = []

        def interrogated_then_ended():
            grandchild = wait_for_child_run(layout, 1)["grandchild_pid"]
            asked = self.session.wine(helper_exe("service_control"), layout.name, "interrogate")
            self.assertEqual(asked.stdout.strip(), "state=4", asked.stderr)
            watches.append(self.session.start(helper_exe("service_control"), layout.name, "stopped", grandchild))
            wait_until_said(watches[0], "watching")
            to_unix_path(layout.child + ".end").touch()

        self.start_alone(layout, ("1066", "3"), interrogated_then_ended)
        self.assertEqual(watches[0].wait().stdout.split(), ["watching", "left=0"])

    def check_last_words(self, lines: int):
        """The last 25 of the lines a console program wrote before it ended
        with 3, as written, in events of 255 units before "Service stopped"."""
        layout = place(self.base, f"rt_says{lines}", f"says_{lines}_child")
        events = self.start_alone(layout, ("1066", "3"))
        said = [f"line {n} of {lines} to {'stdout' if n % 2 else 'stderr'}" for n in range(lines - 24, lines + 1)]
        text = LAST_WORDS.format(3) + "\r\n".join(said) + ": é 中文"
        pieces = [text[at:at + EVENT_UNITS] for at in range(0, len(text), EVENT_UNITS)]  # all in the BMP
        self.assertEqual([e.text for e in events],
                         [LAUNCHED + layout.command_line, *pieces, SERVICE_STOPPED, DISPATCHER_RETURNED])

    def test_a_console_program_that_ends_by_itself_leaves_its_last_lines(self):
        self.check_last_words(40)

    def test_of_a_long_output_only_the_last_rows_are_left(self):
        self.check_last_words(500)  # Wine's buffer holds 150 rows

    def test_a_gui_program_that_ends_by_itself_leaves_no_last_words_and_no_delay(self):
        layout = place(self.base, "rt_gui", "gui_quick_child")
        events = self.start_alone(layout)
        self.assertEqual([e.text for e in events], [LAUNCHED + layout.command_line, SERVICE_STOPPED,
                                                    DISPATCHER_RETURNED])
        self.assertLess(events[1].timestamp - events[0].timestamp, 1.0)

    def test_a_missing_child_gives_the_failure_event_and_a_stopped_service(self):
        layout = place(self.base, "rt_missing", None)
        events = self.start_alone(layout, ("2", "0"))  # ERROR_FILE_NOT_FOUND
        # The text ends with the command line, its trailing blank included.
        self.assertEqual([e.text for e in events], [LAUNCH_FAILED + layout.command_line, SERVICE_STOPPED,
                                                    DISPATCHER_RETURNED])


class HostPaths(StopChecks, ServiceTestCase):
    """Hosts whose paths a careless implementation gets wrong, each started
    and stopped in full."""

    scratch_name = "runtime-paths"

    def test_directory_with_blanks(self):
        # Unquoted, CreateProcessW would run C:\...\runtime-paths\dir.exe
        # first (Wine searches the prefixes of an unquoted path like Windows:
        # its own service manager ran such a decoy for an unquoted binPath).
        decoy = Layout(name="", host="", child=self.base + "dir.exe")
        shutil.copyfile(helper_exe("quick_child"), to_unix_path(decoy.child))
        layout = place(self.base + "dir with blanks\\", "rt_blanks", "loop_child")
        self.assertEqual(layout.command_line, f'"{self.base}dir with blanks\\rt_blanks.exe" ')
        run = start_and_stop(self, layout)
        self.check_started(run)
        self.check_stopped(run)
        self.assertEqual(run.child_end[0], 0)
        self.assertEqual(child_runs(decoy), [], "the decoy prefix program was started")

    def test_percent_in_the_directory(self):
        # Read as a format, "%s" would print whatever the stack holds.
        layout = place(self.base + "100%sure\\", "rt_percent", "loop_child")
        run = start_and_stop(self, layout)
        self.check_started(run)
        self.check_stopped(run)
        self.assertEqual(run.child_end[0], 0)

    def test_chinese_name(self):
        layout = place(self.base, "rt_子程序", "loop_child")
        self.assertEqual(layout.name, "rt_子程序Svc")
        run = start_and_stop(self, layout)
        self.check_started(run)
        self.check_stopped(run)
        self.assertEqual(run.child_end[0], 0)


def deep_directory(base: str, length: int) -> str:
    """`base` and subdirectories d00xxx\\d01xxx\\... making a Windows
    directory path (trailing separator included) of exactly `length` units."""
    path, rest, index = base, length - units(base), 0
    while rest > 0:
        # Components of at most 61 units with their separator, none under 4.
        take = rest if rest <= 61 else 61 if rest - 61 >= 4 else rest - 4
        path, rest, index = path + f"d{index:02d}" + "x" * (take - 4) + "\\", rest - take, index + 1
    assert units(path) == length, (units(path), length)
    return path


class LongLaunchEvent(ServiceTestCase):
    """A launch event longer than one event's 255 units goes out whole, in
    order, as consecutive events of the same source; a surrogate pair that
    would straddle the cut moves to the next event whole. The children end by
    themselves: only the launch event matters here."""

    scratch_name = "runtime-long"

    def check_split(self, layout: Layout, first_piece_units: int):
        # Wine's service manager refuses an image path over 260 units.
        self.assertLess(units(layout.host), 260)
        expected = LAUNCHED + layout.command_line
        self.assertGreater(units(expected), EVENT_UNITS)
        self.create(layout)
        self.assertEqual(self.session.sc("start", layout.name).exit_code, 0)
        events = self.events_until_exit(layout)
        self.assert_plain_events(events)  # Wine's trace showed every piece whole
        texts = [e.text for e in events]
        self.assertEqual(texts[-2:], [SERVICE_STOPPED, DISPATCHER_RETURNED])
        pieces = texts[:-2]
        self.assertEqual("".join(pieces), expected)
        self.assertEqual([units(p) for p in pieces], [first_piece_units, units(expected) - first_piece_units])
        self.assertEqual(len({(e.pid, e.tid) for e in events[:-2]}), 1)
        (run,) = child_runs(layout)
        self.assertEqual(run["command_line"], layout.command_line)

    def test_deep_directory(self):
        stem = "rt_long"
        # Host path 257 units, launch event 267 units: 255 + 12.
        layout = place(deep_directory(self.base, 250 - len(stem)), stem, "quick_child")
        self.check_split(layout, EVENT_UNITS)

    def test_surrogate_pair_at_the_cut(self):
        # U+20000 takes units 255 and 256 of the event (1-based): the first
        # event stops before it, with 254 units.
        stem = "rt_s\U00020000"
        directory = deep_directory(self.base, EVENT_UNITS - 1 - units(LAUNCHED) - units("rt_s"))
        layout = place(directory, stem, "quick_child")
        self.assertEqual(units((LAUNCHED + layout.command_line).split("\U00020000")[0]), EVENT_UNITS - 1)
        self.check_split(layout, EVENT_UNITS - 1)


if __name__ == "__main__":
    unittest.main()

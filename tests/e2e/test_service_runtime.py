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

import re
import shutil
import unittest
from dataclasses import dataclass, field
from typing import Dict, List, Optional

from service_harness import (Layout, ServiceTestCase, Stop, Watch, child_runs, note, place, query_service,
                             stop_service, units, wait_for_child_run, wait_until_gone, wait_until_said)
from texts import DISPATCHER_RETURNED, EVENT_UNITS, LAST_WORDS, LAUNCH_FAILED, LAUNCHED, STOPPED_EVENT
from wine_harness import Completed, helper_exe, to_unix_path
from wine_trace import Event


# The stop sequence: WM_QUIT, 2000 ms, TerminateProcess(child, 2), 2000 ms,
# STOPPED. Lower bounds are the sleeps less a little: Wine's trace times lag
# the raw clock by some milliseconds (a handler's 4000 ms of sleep showed as
# 3.992 s from the request). Upper bounds leave room for a loaded two-core
# machine.
TERMINATE_AFTER = (1.95, 2.8)
HANDLER_DONE_AFTER = (3.95, 5.0)
QUIT_WITHIN = 1.0  # a child with a message loop ends long before it would be terminated


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
    stop_events = [e for e in events if e.text == STOPPED_EVENT]
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
        # The host on the child's console before the child ran: what it writes outlives it.
        self.assertEqual(run.child["console_processes"], "2")
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
                         [LAUNCHED + layout.command_line, STOPPED_EVENT, STOPPED_EVENT, DISPATCHER_RETURNED])
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
        # Ended with the job, at the termination. Had the console host been in
        # the job, Wine would have ended the console's processes first, with 0.
        exit_code, ended = run.grandchild_end
        self.assertEqual(exit_code, 2)
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
        self.assertEqual(by_service_thread.text, STOPPED_EVENT)
        note(f"{layout.name}: request {request - started:.3f} s after the child's start, "
             f"its end {by_service_thread.timestamp - started:.3f} s after it")
        self.assertLess(request - started, 0.9, "the child had its queue before the request")
        self.assertEqual(child.get("ended"), "WM_QUIT")
        # Asked again about every 50 ms, the child ends soon after its queue
        # exists (1 s after its start), long before it would be terminated.
        self.assertLess(by_service_thread.timestamp - started, 1.5)


def lines_said(lines: int) -> List[str]:
    """The last 25 lines of TEST_CHILD_SAYS=lines."""
    said = [f"line {n} of {lines} to {'stdout' if n % 2 else 'stderr'}" for n in range(max(1, lines - 24), lines + 1)]
    return said[:-1] + [said[-1] + ": é 中文"]


def texts_by_run(events: List[Event]) -> List[List[str]]:
    """The texts of each run's events; a run ends with the dispatcher's return."""
    ends = [i + 1 for i, e in enumerate(events) if e.text == DISPATCHER_RETURNED]
    return [[e.text for e in events[begin:end]] for begin, end in zip([0] + ends, ends)]


class ChildEndsOrIsMissing(ServiceTestCase):
    """Without a stop request: a child that ends by itself stops the service,
    which reports the child's exit code; a missing child gives the failure
    event and a service stopped with CreateProcessW's error."""

    scratch_name = "runtime-alone"

    def start_alone(self, layout: Layout, exit_codes=("0", "0"), while_running=None, run=1):
        """Runs the service (made for run 1) until it stops by itself (once
        `while_running` has run, when given); `exit_codes` are the Win32 and
        service-specific exit codes it must report. Returns all runs' events."""
        if run == 1:
            self.create(layout)
        started = self.session.sc("start", layout.name)
        self.assertEqual(started.exit_code, 0, started.stdout)
        if while_running is not None:
            while_running()
        events = self.events_until_exit(layout, run)
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
        self.assertEqual([e.text for e in events], [LAUNCHED + layout.command_line, STOPPED_EVENT,
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

    def check_last_words(self, stem: str, child: str, said: List[str], exit_code: int = 3, runs: int = 1):
        """Each of `runs` runs of a console program that ended by itself with
        `exit_code` leaves the lines `said` in events of 255 units before
        "Service stopped"."""
        layout = place(self.base, stem, child)
        events = [self.start_alone(layout, ("1066", str(exit_code)), run=run) for run in range(1, runs + 1)][-1]
        text = LAST_WORDS.format(exit_code) + "\r\n".join(said)
        pieces = [text[at:at + EVENT_UNITS] for at in range(0, len(text), EVENT_UNITS)]  # all in the BMP
        self.assertEqual(texts_by_run(events),
                         [[LAUNCHED + layout.command_line, *pieces, STOPPED_EVENT, DISPATCHER_RETURNED]] * runs)

    def test_a_console_program_that_ends_by_itself_leaves_its_last_lines(self):
        self.check_last_words("rt_says40", "says_40_child", lines_said(40))

    def test_of_a_long_output_only_the_last_rows_are_left(self):
        self.check_last_words("rt_says500", "says_500_child", lines_said(500))  # Wine's buffer holds 150 rows

    def test_what_a_program_wrote_as_it_failed_at_once_is_left_every_time(self):
        said = ["loading settings.ini", "fatal: settings.ini: no such file"]
        self.check_last_words("rt_crt", "crt_fails_child", said, exit_code=4, runs=20)
        said = ["allocating 64 GB", "fatal: out of memory"]
        self.check_last_words("rt_term", "terminates_child", said, exit_code=5, runs=20)

    def test_rows_below_the_cursor_are_left(self):
        # A last line ended by "\r"; a cursor moved home after 40 lines.
        said = ["copying 3 files", "progress 100% done, fatal: disk full"]
        self.check_last_words("rt_progress", "progress_child", said)
        self.check_last_words("rt_homes", "homes_child", lines_said(40))

    def test_a_gui_program_that_ends_by_itself_leaves_no_last_words_and_no_delay(self):
        layout = place(self.base, "rt_gui", "gui_quick_child")
        events = self.start_alone(layout)
        self.assertEqual([e.text for e in events], [LAUNCHED + layout.command_line, STOPPED_EVENT,
                                                    DISPATCHER_RETURNED])
        self.assertLess(events[1].timestamp - events[0].timestamp, 1.0)

    def test_a_missing_child_gives_the_failure_event_and_a_stopped_service(self):
        layout = place(self.base, "rt_missing", None)
        events = self.start_alone(layout, ("2", "0"))  # ERROR_FILE_NOT_FOUND
        # The text ends with the command line, its trailing blank included.
        self.assertEqual([e.text for e in events], [LAUNCH_FAILED + layout.command_line, STOPPED_EVENT,
                                                    DISPATCHER_RETURNED])


class EndDuringStop(ServiceTestCase):
    """A console program that ends with exit code 3 a second after its start,
    stopped around then: each run ends with its last words, one "Service
    stopped" and 1066/3, or without them, with the stop's two and 0/0."""

    scratch_name = "runtime-end-during-stop"

    def test_the_events_and_the_stopped_state_tell_one_story(self):
        layout = place(self.base, "rt_ends", "ends_at_1000_child")
        self.create(layout)
        launched = LAUNCHED + layout.command_line
        stories = {("1", "1066", "3"): [launched, LAST_WORDS.format(3) + "\r\n".join(lines_said(3)), STOPPED_EVENT,
                                        DISPATCHER_RETURNED],
                   ("1", "0", "0"): [launched, STOPPED_EVENT, STOPPED_EVENT, DISPATCHER_RETURNED]}
        rounds = []
        for run in range(1, 21):
            # From 21 ms before the program's end to 36 ms after it.
            stopper = self.session.start(helper_exe("service_control"), layout.name, "stop", layout.child + ".log",
                                         976 + 3 * run, log_name=f"stop-rt_ends-{run}")
            wait_until_said(stopper, "waiting")
            self.assertEqual(self.session.sc("start", layout.name).exit_code, 0)
            texts = texts_by_run(self.events_until_exit(layout, run))[-1]
            sent = int(re.search(r"^sent_ms=(\d+)", stopper.wait().stdout, re.MULTILINE)[1])
            stopped = query_service(self.session, layout.name)
            state = tuple(stopped.get(key) for key in ("state", "win32_exit_code", "service_exit_code"))
            rounds.append((sent - int(child_runs(layout)[0]["end_ms"]), state, texts))
            self.assertEqual(wait_until_gone(layout.host, layout.child), [])
            layout.child_log.unlink()  # the next stop waits for the next run's log
        note("rt_ends: ms from the program's end to the stop, and the exit codes: " +
             ", ".join(f"{at:+d} {'/'.join(state[1:])}" for at, state, _ in rounds))
        self.assertEqual([r for r in rounds if stories.get(r[1]) != r[2]], [])
        self.assertEqual({state for _, state, _ in rounds}, set(stories), "the stops did not meet both stories")


class ConsoleClosedByItsProgram(ServiceTestCase):
    """A console program that closes its console window and runs on. On
    Windows every process on the console gets CTRL_CLOSE_EVENT, and the host
    ends the program 2 s later and tells its end before Windows ends the host.
    Wine 8 sends no event: its console host ends, and Wine ends every process
    on the console, the host too, and keeps the service RUNNING."""

    scratch_name = "runtime-console-closed"

    def test_the_service_stops_with_the_programs_end_and_says_so(self):
        layout = place(self.base, "rt_closes", "closes_console_child")
        self.create(layout)
        self.assertEqual(self.session.sc("start", layout.name).exit_code, 0)
        wait_for_child_run(layout, 1)
        self.assertEqual(wait_until_gone(layout.child), [])
        (child,) = child_runs(layout)
        self.assertEqual(child.get("closed"), "yes")
        if ("close_event" not in child and wait_until_gone(layout.host) == []
                and query_service(self.session, layout.name).get("state") == "4"):
            self.skipTest("Wine sent no CTRL_CLOSE_EVENT and ended the program and the host with the console")
        self.assertEqual([e.text for e in self.events_until_exit(layout)],
                         [LAUNCHED + layout.command_line, LAST_WORDS.format(2) + "closing my console window",
                          STOPPED_EVENT, DISPATCHER_RETURNED])
        stopped = query_service(self.session, layout.name)
        self.assertEqual((stopped.get("state"), stopped.get("win32_exit_code"), stopped.get("service_exit_code")),
                         ("1", "1066", "2"), stopped)


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
        self.assertEqual(texts[-2:], [STOPPED_EVENT, DISPATCHER_RETURNED])
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

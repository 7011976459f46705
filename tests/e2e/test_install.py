"""/install and /uninstall of the real host under Wine, read back from the
service manager itself, and the services they make run with Wine's own sc
and net as the client. Also what other hands do to them: a window station
nobody sees, a console holding a deleted record open, a record of the same
name for another program or another copy, a start by the 8.3 path, and a
DLL dropped beside the host.

One Wine session with a private X server serves the whole file, so that a
message box would really open: every run that must show nothing would then
hang on its box and show it in its trace (trace+msgbox), and the tests that
make the installer's box appear find it, read it and press OK with
box_watcher. Each test has service names of its own.

Wine differences these tests rely on:
- ControlService returns only when the service's control handler has
  returned; the host's handler returns after its 4 s stop, so "/uninstall" of
  a running service takes those 4 s, and the record is already gone when it
  returns. (Windows also waits for the handler.)
- QueryServiceConfigW reports the display name exactly as it was given
  (a service created without one reports an empty name, where Windows
  reports the service name), and an empty group as "" and no dependencies as
  an empty list whether they were given as null or empty: the record's
  display name is checked here, null against empty is left to the unit tests.
- Wine's sc has no "config"; "sc description" stores a Description value in
  the record's registry key, which marks a record that must not be recreated.
- Wine's service manager refuses to create a service whose display name is
  another service's (Windows documents ERROR_DUPLICATE_SERVICE_NAME for it)
  and one with an empty name; it never refuses to be opened, whatever the
  access asked for: "OpenSCManager() 失败!" is left to the unit tests.
- WTSSendMessageW is a stub that shows nothing and returns at once.
- GetShortPathNameW makes up 8.3 names of Wine's own (LONG~PEI.EXE for
  longprogramSvc.exe, where Windows numbers them: LONGPR~1.EXE), and a
  program started by one gets it back from GetModuleFileNameW.
- Wine loads its builtin of a DLL before one beside the program;
  WINEDLLOVERRIDES="wtsapi32=n,b" gives Windows' order for a DLL that is not
  a known one: the program's folder first.
"""

import os
import shutil
import time
import unittest
from pathlib import Path, PureWindowsPath
from typing import Callable, Dict, Optional, Tuple

from texts import (CREATE_FAILED, DISPATCHER_FAILED, ERROR_BAD_PATHNAME, ERROR_DUPLICATE_SERVICE_NAME, ERROR_FILENAME_EXCED_RANGE,
                   ERROR_INVALID_NAME,
                   ERROR_SERVICE_EXISTS, ERROR_SERVICE_MARKED_FOR_DELETE, NOT_DELETED, STOPPED_EVENT)
from wine_harness import Scratch, helper_exe, host_exe, make_scratch, note_retry, prefix_dir, start_session, to_windows_path

SERVICE_STOPPED, SERVICE_RUNNING = 1, 4
STOP_TAKES = 4.0  # the host's control handler: quit, 2 s, terminate, 2 s, STOPPED

session = None
tools: Dict[str, str] = {}


def setUpModule():
    global session
    scratch = make_scratch("install")
    for helper in ("service_query", "process_watch", "box_watcher", "hidden_station_run", "service_holder",
                   "short_path"):
        tools[helper] = scratch.copy_helper(helper)
    session = start_session(scratch, display=True)


def tearDownModule():
    if session is not None:
        session.stop()


# --- reading what Wine holds ----------------------------------------------------

def query(name: str) -> Optional[Dict[str, str]]:
    """The service's record and status as service_query prints them, or None
    when the service does not exist."""
    run = session.run(tools["service_query"], name, timeout=30)
    out = run.stdout
    if not out:
        # Once in six full runs here its output file was still empty when its
        # process had ended, and complete when looked at afterwards.
        time.sleep(0.5)
        out = run.stdout
        note_retry("output empty at its end", f"service_query {name}, read again: {out[:40]!r}")
    if out.strip() == "missing":
        return None
    record = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    if "type" not in record:
        raise AssertionError(f"service_query could not read {name!r}: {out!r}, exit {run.exit_code}; "
                             f"its trace: {run.log_path.read_text(errors='replace')[-1500:]!r}")
    return record


def registry_key(name: str) -> str:
    return session.wine("reg", "query", f"HKLM\\System\\CurrentControlSet\\Services\\{name}").stdout


def wait_until(what: str, check: Callable[[], object], timeout: float = 15):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {timeout} s")
        time.sleep(0.2)


def record_goes(name: str):
    """A deleted record goes once the service has stopped and every handle
    to it has closed, the host process's own included: STOPPED may come a
    moment before that process has ended."""
    wait_until(f"{name}'s record gone", lambda: query(name) is None and not session.service_record_exists(name))


def child_log(path: Path) -> Dict[str, str]:
    """What a test child wrote to <its path>.log; empty if it never ran."""
    if not path.exists():
        return {}
    return dict(line.split("=", 1) for line in path.read_text("utf-8").splitlines() if "=" in line)


def wait_for_child(path: Path) -> Dict[str, str]:
    return wait_until(f"{path.name} ready", lambda: child_log(path).get("ready") == "yes" and child_log(path))


class Watch:
    """process_watch on a process id, in the background."""

    def __init__(self, pid: str):
        self.started = session.start(tools["process_watch"], pid)
        first = wait_until(f"process_watch {pid} up", lambda: self.started.out_path.read_text().strip(), 15)
        if not first.startswith("watching"):
            raise AssertionError(f"process {pid} was not there to watch: {first!r}")

    def result(self) -> Optional[Dict[str, str]]:
        """exit and waited_ms once the process has ended, None while it runs."""
        for line in self.started.out_path.read_text().splitlines():
            if line.startswith("exit="):
                return dict(field.split("=", 1) for field in line.split())
        return None

    def wait(self, timeout: float) -> Dict[str, str]:
        return wait_until("watched process ended", self.result, timeout)


# --- common steps -----------------------------------------------------------------

class ServiceTest(unittest.TestCase):
    def own_service(self, name: str):
        """A service name this test may use: a record left by an earlier,
        failed run is removed before, and whatever the test leaves after."""
        self.forget(name)
        self.addCleanup(self.forget, name)

    def own_host(self, name: str) -> Tuple[Scratch, str]:
        """A scratch directory with the host as <name>.exe in it, and the
        service name as own_service gives it."""
        scratch = make_scratch("install-" + name)
        self.own_service(name)
        return scratch, scratch.copy_host(name + ".exe")

    @staticmethod
    def forget(name: str):
        record = query(name)
        if record is None:
            return
        if record["state"] != str(SERVICE_STOPPED):
            session.sc("stop", name)
        session.sc("delete", name)

    def run_host(self, host: str, word: str, timeout: float = 30, env: Optional[dict] = None):
        """The host by hand; a box would hold it up until the time-out."""
        run = session.run(host, word, timeout=timeout, env=env)
        self.assertEqual(run.exit_code, 0, run.log_path)
        return run

    def assert_silent(self, run):
        """No event and no message box: a box, had it opened, is in the trace."""
        trace = run.trace()
        self.assertEqual(trace.events, [], f"events in {run.log_path}")
        self.assertEqual(trace.boxes, [], f"boxes in {run.log_path}")

    def assert_installed_record(self, record, name: str, binary_path: str):
        self.assertIsNotNone(record, f"no record for {name}")
        self.assertEqual(
            {key: record.get(key) for key in
             ("type", "start", "error_control", "binary_path", "group", "tag", "dependencies", "account",
              "display_name")},
            {"type": "16", "start": "3", "error_control": "1", "binary_path": binary_path, "group": "", "tag": "0",
             "dependencies": "", "account": "LocalSystem", "display_name": name})

    def shows_box(self, host: str, text: str, exit_code: int, word: str = "/install"):
        """The host run with `word` opens the box with `text`; box_watcher
        reads it and presses OK, and the host exits with `exit_code`.
        /install logs nothing besides; /uninstall logs the same text."""
        installing = session.start(host, word)
        watcher = session.run(tools["box_watcher"], 20000, timeout=40)
        shown = dict(line.split("=", 1) for line in watcher.stdout.splitlines() if "=" in line)
        self.assertEqual(shown, {"found": "yes", "text": text, "owner": "none", "buttons": "1", "closed": "yes"},
                         watcher.stdout)
        run = installing.wait(timeout=20)
        self.assertEqual(run.exit_code, exit_code & 0xFF)
        self.assertEqual([e.text for e in run.events()], [text] if word == "/uninstall" else [])
        # What the trace shows of a box (the other tests rely on it).
        self.assertEqual([box.text for box in run.trace().boxes], [text])
        # No second box, and none left open.
        after = session.run(tools["box_watcher"], 1000, timeout=30)
        self.assertEqual(after.stdout.strip(), "found=no")

    def host_whose_display_name_is_taken(self, name: str, other: str) -> str:
        """A host for `name` whose /install must fail: not found by name, it
        goes on to create the service, but its display name, which is the
        service name, is already the service `other`'s."""
        _, host = self.own_host(name)
        self.own_service(other)
        created = session.sc("create", other, "binPath=", host, "DisplayName=", name)
        self.assertEqual(created.exit_code, 0, created.stderr)
        return host

    def install_with_child(self, scratch: Scratch, name: str, child_kind: str) -> str:
        """<name>.exe and its child <name less 'Svc'>.exe in scratch, installed."""
        host = scratch.copy_host(name + ".exe")
        scratch.copy_helper(child_kind, name[:-3] + ".exe")
        self.own_service(name)
        self.assert_silent(self.run_host(host, "/install"))
        return host


# --- the tests --------------------------------------------------------------------

class Install(ServiceTest):
    def test_install_creates_the_record_in_any_case(self):
        for word, name in (("/install", "instPlainSvc"), ("/INSTALL", "instCapsSvc")):
            with self.subTest(word=word):
                scratch, host = self.own_host(name)
                self.assert_silent(self.run_host(host, word))
                record = query(name)
                self.assert_installed_record(record, name, host)
                self.assertEqual(record["state"], str(SERVICE_STOPPED))

    def test_install_twice_leaves_the_record_alone(self):
        name = "instTwiceSvc"
        scratch, host = self.own_host(name)
        self.run_host(host, "/install")
        # A mark that a deleted and recreated record would not carry.
        self.assertEqual(session.sc("description", name, "first install").exit_code, 0)
        record, key = query(name), registry_key(name)
        self.assertIn("first install", key)

        second = self.run_host(host, "/install")
        self.assert_silent(second)
        self.assertEqual(query(name), record)
        self.assertEqual(registry_key(name), key)

    def test_path_with_blanks_is_quoted_and_the_service_runs(self):
        name = "instQuotedSvc"
        scratch = make_scratch("install-quoted dir")
        # Under an unquoted path the service manager would run this program
        # first, in the host's place.
        decoy = prefix_dir() / "drive_c" / "e2e" / "install-quoted.exe"
        decoy_log = decoy.with_name(decoy.name + ".log")
        for leftover in (decoy, decoy_log):
            leftover.unlink(missing_ok=True)
            self.addCleanup(leftover.unlink, missing_ok=True)
        shutil.copyfile(helper_exe("quick_child"), decoy)
        host = self.install_with_child(scratch, name, "quick_child")

        record = query(name)
        self.assert_installed_record(record, name, f'"{host}"')

        started = session.sc("start", name)
        self.assertEqual(started.exit_code, 0, started.stdout + started.stderr)
        child = wait_for_child(scratch.win_dir / "instQuoted.exe.log")
        self.assertEqual(child["directory"], to_windows_path(scratch.win_dir))
        self.assertEqual(child.get("ended"), "by itself")
        # The child ended by itself, and the service with it.
        wait_until("service stopped", lambda: query(name)["state"] == str(SERVICE_STOPPED))
        self.assertEqual(query(name)["win32_exit_code"], "0")
        self.assertEqual(child_log(decoy_log), {}, "a program the unquoted path names ran")


    def test_command_word_as_scripts_hand_it_over(self):
        # A batch line's trailing blank (as before "&& sc start"), and a tool
        # that quotes every argument; cmd hands the line over as it stands.
        for name, line in (("wordBlankSvc", "{host} /install "), ("wordQuotedSvc", '{host} "/install"')):
            with self.subTest(line=line):
                scratch, host = self.own_host(name)
                batch = scratch.win_dir / "install.bat"
                batch.write_bytes(line.format(host=host).encode() + b"\r\n")
                ran = session.wine("cmd", "/c", to_windows_path(batch))
                self.assertEqual(ran.exit_code, 0, ran.stdout + ran.stderr)
                self.assert_installed_record(wait_until(f"{name} installed", lambda: query(name)), name, host)

    def test_two_installs_at_once_both_succeed_silently(self):
        name = "racedSvc"
        scratch, host = self.own_host(name)
        for attempt in range(8):
            with self.subTest(attempt=attempt):
                installs = [session.start(host, "/install") for _ in range(2)]
                for install in installs:
                    run = install.wait(timeout=30)  # a box would hold it up
                    self.assertEqual(run.exit_code, 0)
                    self.assert_silent(run)
                self.assert_installed_record(query(name), name, host)
                # A delete that never ran (Wine could not start sc; its
                # answer was never looked at) left the record for the next
                # attempt to find: what once looked like a deleted record
                # held for 15 s. Nothing keeps a deleted record in Wine's
                # service manager once its last handle has closed.
                deleted = session.sc("delete", name)
                self.assertEqual(deleted.exit_code, 0, deleted.stdout + deleted.stderr)
                record_goes(name)


class Uninstall(ServiceTest):
    def test_uninstall_of_a_stopped_service_deletes_it(self):
        name = "uninstStoppedSvc"
        scratch, host = self.own_host(name)
        self.run_host(host, "/install")
        self.assertIsNotNone(query(name))

        self.assert_silent(self.run_host(host, "/uninstall"))
        self.assertIsNone(query(name))
        self.assertFalse(session.service_record_exists(name))

    def test_uninstall_of_a_running_service_stops_it_and_deletes_it(self):
        name = "uninstRunningSvc"
        scratch = make_scratch("install-" + name)
        host = self.install_with_child(scratch, name, "loop_child")
        self.assertEqual(session.sc("start", name).exit_code, 0)
        child = wait_for_child(scratch.win_dir / "uninstRunning.exe.log")
        service_pid = query(name)["pid"]
        watch_child, watch_service = Watch(child["pid"]), Watch(service_pid)

        began = time.monotonic()
        uninstall = self.run_host(host, "/uninstall")
        took = time.monotonic() - began
        self.assert_silent(uninstall)
        # Exit code 0 means gone: the record went before /uninstall returned.
        self.assertIsNone(query(name))

        # The stop was sent: the child was asked to quit and did, well before
        # the handler's 2 s would have run out and it would be terminated.
        ended = watch_child.wait(timeout=10)
        self.assertEqual(ended["exit"], "0")
        self.assertLess(int(ended["waited_ms"]), 2000)
        self.assertEqual(child_log(scratch.win_dir / "uninstRunning.exe.log").get("ended"), "WM_QUIT")
        session.wait_for_event(name, STOPPED_EVENT, timeout=15)
        watch_service.wait(timeout=15)
        # The host waited no longer than Wine's ControlService, which returns
        # with the handler, and the record's going.
        self.assertLess(took, STOP_TAKES + 4, "uninstall waited beyond the stop control")

    def test_uninstall_then_install_of_a_running_service_ends_installed(self):
        # An upgrade script: the record goes only once the stopping host has
        # ended, a moment after /uninstall returns; /install waits for it.
        name = "upgradeSvc"
        scratch = make_scratch("install-" + name)
        host = self.install_with_child(scratch, name, "loop_child")
        self.assertEqual(session.sc("start", name).exit_code, 0)
        wait_for_child(scratch.win_dir / "upgrade.exe.log")
        self.assert_silent(self.run_host(host, "/uninstall"))
        self.assert_silent(self.run_host(host, "/install"))
        record = query(name)
        self.assert_installed_record(record, name, host)
        self.assertEqual(record["state"], str(SERVICE_STOPPED))

    def test_uninstall_of_a_missing_service_does_nothing(self):
        name = "uninstMissingSvc"
        scratch, host = self.own_host(name)
        self.assert_silent(self.run_host(host, "/uninstall"))
        self.assertIsNone(query(name))


class WholeLife(ServiceTest):
    """Two services side by side, driven by sc (alpha) and net (beta)."""

    def test_two_services_from_install_to_uninstall(self):
        alpha_dir, beta_dir = make_scratch("install-lifeAlpha"), make_scratch("install-lifeBeta")
        alpha = self.install_with_child(alpha_dir, "lifeAlphaSvc", "loop_child")
        beta = self.install_with_child(beta_dir, "lifeBetaSvc", "loop_child")
        alpha_log, beta_log = alpha_dir.win_dir / "lifeAlpha.exe.log", beta_dir.win_dir / "lifeBeta.exe.log"
        self.assert_installed_record(query("lifeAlphaSvc"), "lifeAlphaSvc", alpha)
        self.assert_installed_record(query("lifeBetaSvc"), "lifeBetaSvc", beta)

        started = session.sc("start", "lifeAlphaSvc")
        self.assertEqual(started.exit_code, 0, started.stdout + started.stderr)
        started = session.wine("net", "start", "lifeBetaSvc")
        self.assertEqual(started.exit_code, 0, started.stdout + started.stderr)
        alpha_child, beta_child = wait_for_child(alpha_log), wait_for_child(beta_log)
        self.assertEqual(alpha_child["directory"], to_windows_path(alpha_dir.win_dir))
        self.assertEqual(beta_child["directory"], to_windows_path(beta_dir.win_dir))
        alpha_state, beta_state = query("lifeAlphaSvc"), query("lifeBetaSvc")
        self.assertEqual((alpha_state["state"], beta_state["state"]), (str(SERVICE_RUNNING),) * 2)
        self.assertNotEqual(alpha_state["pid"], beta_state["pid"])
        watch_alpha, watch_beta = Watch(alpha_child["pid"]), Watch(beta_child["pid"])

        # Alpha: stop, then uninstall; beta runs on untouched.
        stopped = session.sc("stop", "lifeAlphaSvc")
        self.assertEqual(stopped.exit_code, 0, stopped.stdout + stopped.stderr)
        self.assertEqual(watch_alpha.wait(timeout=10)["exit"], "0")
        self.assertEqual(child_log(alpha_log).get("ended"), "WM_QUIT")
        wait_until("alpha stopped", lambda: query("lifeAlphaSvc")["state"] == str(SERVICE_STOPPED))
        self.assert_silent(self.run_host(alpha, "/uninstall"))
        record_goes("lifeAlphaSvc")

        self.assertIsNone(watch_beta.result(), "beta's child ended with alpha")
        self.assertNotIn("ended", child_log(beta_log))
        self.assertEqual(query("lifeBetaSvc"), beta_state)

        # Beta: the same through net.
        stopped = session.wine("net", "stop", "lifeBetaSvc")
        self.assertEqual(stopped.exit_code, 0, stopped.stdout + stopped.stderr)
        self.assertEqual(watch_beta.wait(timeout=10)["exit"], "0")
        self.assertEqual(child_log(beta_log).get("ended"), "WM_QUIT")
        wait_until("beta stopped", lambda: query("lifeBetaSvc")["state"] == str(SERVICE_STOPPED))
        self.assert_silent(self.run_host(beta, "/uninstall"))
        record_goes("lifeBetaSvc")


class PathTooLong(ServiceTest):
    def test_a_host_whose_path_no_command_line_can_name_registers_nothing(self):
        # CreateProcessW reads at most MAX_PATH units of a program's name.
        folder = make_scratch("install-deep").win_dir / ("d" * 200) / ("e" * 60)
        folder.mkdir(parents=True)
        shutil.copyfile(host_exe(), folder / "deepSvc.exe")
        self.own_service("deepSvc")
        self.shows_box(to_windows_path(folder / "deepSvc.exe"), CREATE_FAILED, ERROR_FILENAME_EXCED_RANGE)
        self.assertIsNone(query("deepSvc"))


class PercentSigns(ServiceTest):
    def test_a_folder_named_after_a_variable_is_registered_so_that_it_survives(self):
        # The service manager expands %NAME% in a binary path; TEMP is
        # defined in Wine's. p%TEMP%q is its own 8.3 name: no form survives.
        # A long name's short form has no pair of percent signs, and starts;
        # a name that names no variable is registered as it stands.
        refused = make_scratch("install-pct").win_dir / "p%TEMP%q"
        refused.mkdir()
        shutil.copyfile(host_exe(), refused / "pctTempSvc.exe")
        self.own_service("pctTempSvc")
        self.shows_box(to_windows_path(refused / "pctTempSvc.exe"), CREATE_FAILED, ERROR_BAD_PATHNAME)
        self.assertIsNone(query("pctTempSvc"))

        shortened = make_scratch("install-long %TEMP% name")
        host = self.install_with_child(shortened, "pctLongSvc", "quick_child")
        self.assert_installed_record(query("pctLongSvc"), "pctLongSvc",
                                     session.run(tools["short_path"], host).stdout.strip())
        self.assertEqual(session.sc("start", "pctLongSvc").exit_code, 0)
        self.assertEqual(wait_for_child(shortened.win_dir / "pctLong.exe.log").get("ended"), "by itself")

        kept = make_scratch("install-100%s%d")
        host = self.install_with_child(kept, "pctKeptSvc", "quick_child")
        self.assert_installed_record(query("pctKeptSvc"), "pctKeptSvc", host)


class InstallerBox(ServiceTest):
    """The service manager refuses the creation; the box really opens, and
    the host exits with the service manager's error once OK is pressed."""

    def test_display_name_taken_by_another_service(self):
        name, other = "boxDupSvc", "boxDupOther"
        host = self.host_whose_display_name_is_taken(name, other)

        self.shows_box(host, CREATE_FAILED, ERROR_DUPLICATE_SERVICE_NAME)
        self.assertIsNone(query(name))
        self.assertEqual(query(other)["display_name"], name)

        # With the other service gone, the same host installs.
        session.sc("delete", other)
        self.assert_silent(self.run_host(host, "/install"))
        self.assert_installed_record(query(name), name, host)

    def test_host_without_a_stem(self):
        # ".exe": the service name is empty, which no service may have.
        scratch = make_scratch("install-no-stem")
        self.shows_box(scratch.copy_host(".exe"), CREATE_FAILED, ERROR_INVALID_NAME)


class HiddenStation(ServiceTest):
    """Run where nobody can see a box (an unattended setup, a remote shell),
    the installer says why it failed without waiting for anyone."""

    def test_failed_install_ends_and_tells_stderr_and_the_event_log(self):
        name = "hiddenDupSvc"
        host = self.host_whose_display_name_is_taken(name, "hiddenDupOther")

        run = session.run(tools["hidden_station_run"], 20000, host, "/install", timeout=60)
        self.assertEqual(run.stdout.strip(), f"ended=yes exit={ERROR_DUPLICATE_SERVICE_NAME}", run.log_path)
        # The runner handed its stderr down: the host's line is among Wine's trace.
        self.assertIn(CREATE_FAILED.encode("utf-8") + b"\r", run.log_path.read_bytes().split(b"\n"))
        self.assertEqual([(e.source, e.type, e.category, e.event_id, e.strings) for e in run.events()],
                         [(name, 4, 0, 0, [CREATE_FAILED])])


class OtherRecords(ServiceTest):
    """A record of the host's name is the host's own only when it runs this
    very file and is not marked for deletion; any other is left alone."""

    def test_reinstall_while_a_console_holds_the_service(self):
        name = "heldSvc"
        scratch, host = self.own_host(name)
        self.run_host(host, "/install")
        release = scratch.win_dir / "release"
        holder = session.start(tools["service_holder"], name, to_windows_path(release))
        self.addCleanup(release.touch)
        wait_until("service held", lambda: holder.out_path.read_text().strip() == "holding")

        # Deleted, the record lives on while the holder keeps it open:
        # /uninstall waits 10 s for it to go, then says it is still there.
        self.shows_box(host, NOT_DELETED, ERROR_SERVICE_MARKED_FOR_DELETE, "/uninstall")
        with self.subTest("/install"):
            self.shows_box(host, CREATE_FAILED, ERROR_SERVICE_MARKED_FOR_DELETE)
        with self.subTest("/uninstall of a record already deleted"):
            self.shows_box(host, NOT_DELETED, ERROR_SERVICE_MARKED_FOR_DELETE, "/uninstall")

        release.touch()
        holder.wait(timeout=15)
        record_goes(name)
        self.assert_silent(self.run_host(host, "/install"))
        self.assert_installed_record(query(name), name, host)

    def test_binary_path_edited_to_pass_an_argument_is_still_this_host(self):
        # As after sc config editedSvc binPath= "C:\...\editedSvc.exe -service"
        # (Wine's sc has no config).
        name = "editedSvc"
        scratch, host = self.own_host(name)
        created = session.sc("create", name, "binPath=", host + " -service")
        self.assertEqual(created.exit_code, 0, created.stderr)
        self.assertEqual(query(name)["binary_path"], host + " -service")

        self.assert_silent(self.run_host(host, "/install"))
        self.assertEqual(query(name)["binary_path"], host + " -service")
        self.assert_silent(self.run_host(host, "/uninstall"))
        record_goes(name)

    def test_record_of_another_program(self):
        name = "foreignSvc"
        scratch, host = self.own_host(name)
        created = session.sc("create", name, "binPath=", "C:\\windows\\system32\\notepad.exe")
        self.assertEqual(created.exit_code, 0, created.stderr)
        record = query(name)

        with self.subTest("/uninstall"):
            self.shows_box(host, NOT_DELETED, ERROR_SERVICE_EXISTS, "/uninstall")
            self.assertEqual(query(name), record)
        with self.subTest("/install"):
            self.shows_box(host, CREATE_FAILED, ERROR_SERVICE_EXISTS)
            self.assertEqual(query(name), record)

    def test_hard_link_in_another_folder_leaves_the_running_service_alone(self):
        # The same file, so the same file id, but another folder: another
        # program, since the program beside it is another.
        name = "twinSvc"
        first, second = make_scratch("install-twin-first"), make_scratch("install-twin-second")
        self.install_with_child(first, name, "loop_child")
        self.assertEqual(session.sc("start", name).exit_code, 0)
        child = first.win_dir / "twin.exe.log"
        wait_for_child(child)
        running = query(name)
        os.link(first.win_dir / (name + ".exe"), second.win_dir / (name + ".exe"))
        link = to_windows_path(second.win_dir / (name + ".exe"))

        with self.subTest("/install"):
            self.shows_box(link, CREATE_FAILED, ERROR_SERVICE_EXISTS)
        with self.subTest("/uninstall"):
            self.shows_box(link, NOT_DELETED, ERROR_SERVICE_EXISTS, "/uninstall")
        self.assertEqual(query(name), running)
        self.assertNotIn("ended", child_log(child))


class ShortPath(ServiceTest):
    def test_host_started_by_its_8_3_path_uses_its_long_name(self):
        name = "longprogramSvc"
        scratch = make_scratch("install-longprogram")
        host = scratch.copy_host(name + ".exe")
        short = session.run(tools["short_path"], host).stdout.strip()
        short_stem = PureWindowsPath(short).stem
        self.assertNotIn(short_stem, (name, ""), f"no 8.3 form: {short!r}")
        self.own_service(name)
        self.own_service(short_stem)

        self.assert_silent(self.run_host(short, "/install"))
        self.assert_installed_record(query(name), name, host)


class DllBesideTheHost(ServiceTest):
    def test_wtsapi32_beside_the_host_is_not_loaded(self):
        name = "plantedSvc"
        scratch = make_scratch("install-" + name)
        host = scratch.copy_host(name + ".exe")
        scratch.copy_host("wtsapi32.dll", helper_exe("wts_importer").parent / "planted" / "wtsapi32.dll")
        marker = scratch.win_dir / "planted_dll.log"

        def loaded_by():
            return marker.read_text("utf-8").splitlines() if marker.exists() else []

        self.own_service(name)
        # Windows' order: a DLL that is not a known one is looked for in the
        # program's folder first. Wine prefers its builtin unless told.
        windows_order = {"WINEDLLOVERRIDES": session.env["WINEDLLOVERRIDES"] + ";wtsapi32=n,b"}

        by_hand = session.start(host, env=windows_order)  # about 10 s: Wine's dispatcher time-out
        self.run_host(host, "/install", env=windows_order)
        self.assertEqual([e.text for e in by_hand.wait(timeout=60).events()], [DISPATCHER_FAILED])
        self.assertEqual(loaded_by(), [])

        # The planted DLL does load for a program that imports it.
        importer = scratch.copy_helper("wts_importer")
        session.run(importer, env=windows_order)
        self.assertEqual(loaded_by(), ["process=" + importer])


if __name__ == "__main__":
    unittest.main()

"""The host started by hand, not by the service manager: whatever the
arguments (other than exactly /install or /uninstall), it tries to run as a
service, cannot reach the service manager, and says so in one event under its
own name.

Wine's StartServiceCtrlDispatcherW waits 10 s for a service manager that never
calls before it fails (Windows fails at once), so the three runs of a host
go at the same time."""

import unittest

from texts import DISPATCHER_FAILED, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
from wine_harness import make_scratch, start_session

RUNS = {
    "no-arguments": (),
    "unknown-switch": ("/foo",),
    "install-with-a-word-more": ("/install", "now"),
}


class HandStartedHost:
    """Mixed into one TestCase per file name the host is copied as."""

    file_name: str
    service_name: str

    @classmethod
    def setUpClass(cls):
        scratch = make_scratch("spine-" + cls.service_name)
        host = scratch.copy_host(cls.file_name)
        cls.session = start_session(scratch)
        cls.addClassCleanup(cls.session.stop)
        # A record left by an earlier, failed run would hide what these runs do.
        if cls.session.service_record_exists(cls.service_name):
            cls.session.sc("delete", cls.service_name)
        cls.record_before = cls.session.service_record_exists(cls.service_name)
        started = {case: cls.session.start(host, *args, log_name=case) for case, args in RUNS.items()}
        cls.runs = {case: run.wait(timeout=90) for case, run in started.items()}

    def check_one_event(self, case):
        run = self.runs[case]
        # The dispatcher's error, cut to its low 8 bits by Wine's exit status.
        self.assertEqual(run.exit_code, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT & 0xFF, run.log_path)
        events = run.events()
        self.assertEqual(
            [(e.source, e.type, e.category, e.event_id, e.count, e.truncated, e.strings) for e in events],
            [(self.service_name, 4, 0, 0, 1, False, [DISPATCHER_FAILED])],
            f"events in {run.log_path}")

    def test_no_arguments(self):
        self.check_one_event("no-arguments")

    def test_unknown_switch(self):
        self.check_one_event("unknown-switch")

    def test_install_with_a_word_more(self):
        self.check_one_event("install-with-a-word-more")

    def test_no_service_was_installed(self):
        self.assertFalse(self.record_before, "a service record of this name could not be removed before the runs")
        self.assertFalse(self.session.service_record_exists(self.service_name))


class NotepadSvc(HandStartedHost, unittest.TestCase):
    file_name = "notepadSvc.exe"
    service_name = "notepadSvc"


class DottedName(HandStartedHost, unittest.TestCase):
    # Only the last dot starts the extension.
    file_name = "my.tool.svc.exe"
    service_name = "my.tool.svc"


if __name__ == "__main__":
    unittest.main()

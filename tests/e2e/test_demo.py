"""scripts/demo tells what happened: run its narration (the part after
bootstrap and build) and check the key lines against the facts they state."""

import re
import subprocess
import sys
import unittest
from pathlib import Path

from texts import DISPATCHER_RETURNED, LAUNCHED, STOPPED_EVENT

REPO = Path(__file__).resolve().parents[2]


class Demo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        done = subprocess.run([sys.executable, str(REPO / "scripts" / "demo.py")], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180)
        cls.exit_code = done.returncode
        cls.out = done.stdout.decode("utf-8", "replace")

    def expect(self, pattern):
        found = re.search(pattern, self.out, re.MULTILINE)
        self.assertIsNotNone(found, f"no line matching {pattern!r} in:\n{self.out}")
        return found

    def test_it_succeeds(self):
        self.assertEqual(self.exit_code, 0, self.out)

    def test_install_shows_the_record_the_service_manager_holds(self):
        self.expect(r"^   exit code 0; the service manager now holds:$")
        self.expect(r"binary path C:\\.*\\tickerSvc\.exe$")
        self.expect(r"start type 3 \(3 = on demand\), account LocalSystem, state 1")

    def test_the_child_runs_and_its_output_grows(self):
        pid = self.expect(r"the child is running within [\d.]+ s: ticker\.exe, process id (\d+)").group(1)
        grew = self.expect(r"^   (\d+) line\(s\), three seconds later (\d+); the newest:$")
        self.assertGreater(int(grew.group(2)), int(grew.group(1)))
        self.expect(rf"pid {pid} tick \d+$")
        self.expect('event: "' + re.escape(LAUNCHED) + r'C:\\.*\\ticker\.exe "')

    def test_the_stop_is_timed_and_the_child_ends_on_the_quit_message(self):
        took = float(self.expect(r"sc stop returned after ([\d.]+) s").group(1))
        self.assertGreaterEqual(took, 3.9)
        self.assertLess(took, 8)
        self.expect(r"the child's last line: .* asked to quit: stopping cleanly$")
        self.expect(r"so the child ended on the quit message, by itself")
        self.assertEqual(self.out.count(f'event: "{STOPPED_EVENT}"'), 2, self.out)
        self.expect(re.escape(f'event: "{DISPATCHER_RETURNED}"'))

    def test_uninstall_removes_the_record(self):
        self.expect(r"^   exit code 0; the record is gone$")


if __name__ == "__main__":
    unittest.main()

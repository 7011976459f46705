"""/install makes no record, and a start launches nothing, where an account
other than an administrator could change what the service runs. Wine shows a
Unix mode's o+w as an entry that lets Everyone write, delete and delete what
is inside, and a file of another Unix user as owned by Anonymous Logon; the
unit tests have what Wine cannot show. No display: a failed /install must
tell its standard error and the event log, as no box can be made."""

import os
import shutil
import time
import unittest
from pathlib import Path

from texts import (CREATE_FAILED, DISPATCHER_RETURNED, ERROR_ACCESS_DISABLED_BY_POLICY, LAUNCH_FAILED, LAUNCHED, REFUSED,
                   STOPPED_EVENT)
from wine_harness import helper_exe, make_scratch, start_session, to_windows_path

STOPPED_TAIL = [STOPPED_EVENT, DISPATCHER_RETURNED]
OPEN = 0o757  # o+w on a folder
NOBODY = 65534
# The file each case gives a twin whose name differs in case only. Wine keeps
# both, and lists a folder sorted by name ignoring case, then by code unit,
# whatever the order they were made in: the file comes before its lower-case
# twin, so a walk that judges one name per spelling never reaches the twin.
TWINS = {
    "permTwinDll": lambda test, host, program: test.plant(program, name="Helper.dll"),
    "permTwinProgram": lambda test, host, program: program,
    "permTwinHost": lambda test, host, program: host,
}

session = None


def setUpModule():
    global session
    session = start_session(make_scratch("permissions"))


def tearDownModule():
    if session is not None:
        session.stop()


def query(name: str) -> dict:
    out = session.wine(helper_exe("service_query"), name).stdout  # "missing" for no service
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def events_after_runs(name: str, runs: int, timeout: float = 30) -> list:
    """The service's event texts once its host has ended `runs` times."""
    deadline = time.monotonic() + timeout
    while True:
        texts = [e.text for e in session.events(name)]
        if texts.count(STOPPED_TAIL[-1]) >= runs or time.monotonic() > deadline:
            return texts
        time.sleep(0.1)


class Permissions(unittest.TestCase):
    def place(self, name: str, folder: str = "") -> tuple:
        """<name>Svc.exe beside <name>.exe (quick_child) in
        C:\\e2e\\perm-<name>\\<folder>: the scratch, and the host's and the
        program's Linux paths."""
        scratch = make_scratch("perm-" + name)
        directory = scratch.win_dir / folder
        directory.mkdir(parents=True, exist_ok=True)
        host, program = directory / (name + "Svc.exe"), directory / (name + ".exe")
        scratch.copy_host(str(Path(folder, host.name)))
        scratch.copy_host(str(Path(folder, program.name)), helper_exe("quick_child"))
        self.addCleanup(session.sc, "delete", name + "Svc")
        self.addCleanup(os.chmod, scratch.win_dir, 0o755)
        return scratch, host, program

    def install(self, host: Path):
        return session.run(to_windows_path(host), "/install")

    @staticmethod
    def plant(program: Path, mode: int = 0o644, owner: int = -1, name: str = "helper.dll") -> Path:
        """helper.dll (or `name`) beside the program, as a program's own DLL would be."""
        dll = program.parent / name
        dll.write_bytes(b"MZ")
        os.chmod(dll, mode)
        os.chown(dll, owner, owner)
        return dll

    @staticmethod
    def twin(path: Path) -> Path:
        """A copy of `path` named in lower case, that Everyone may write."""
        twin = path.with_name(path.name.lower())
        shutil.copyfile(path, twin)
        os.chmod(twin, 0o666)
        return twin

    def test_install_refuses_what_others_may_change_and_says_why(self):
        cases = {
            "permFolder": (lambda s, h, p: os.chmod(h.parent, OPEN),
                           "Everyone may add files to, add folders to, delete or rename anything in and delete or "
                           "rename {folder}"),
            "permProgram": (lambda s, h, p: os.chmod(p, 0o646), "Everyone may write and delete {program}"),
            "permHost": (lambda s, h, p: os.chmod(h, 0o646), "Everyone may write and delete {host}"),
            "permOwner": (lambda s, h, p: os.chown(p, NOBODY, NOBODY),
                          "NT AUTHORITY\\ANONYMOUS LOGON owns {program}"),
            "permAbove": (lambda s, h, p: os.chmod(s.win_dir, OPEN),
                          "Everyone may delete or rename anything in and delete or rename {above}"),
            "permDll": (lambda s, h, p: self.plant(p, 0o646), "Everyone may write and delete {dll}"),
            "permDllOwner": (lambda s, h, p: self.plant(p, 0o644, NOBODY), "NT AUTHORITY\\ANONYMOUS LOGON owns {dll}"),
        }
        cases.update({name: (lambda s, h, p, original=original: self.twin(original(self, h, p)),
                             "Everyone may write and delete {twin}") for name, original in TWINS.items()})
        for name, (change, why) in cases.items():
            with self.subTest(name):
                if name in ("permOwner", "permDllOwner") and os.geteuid() != 0:
                    self.skipTest("only root may give a file to another user")
                scratch, host, program = self.place(name, "inner" if name == "permAbove" else "")
                changed = change(scratch, host, program)
                run = self.install(host)
                paths = {"folder": to_windows_path(host.parent) + "\\", "program": to_windows_path(program),
                         "host": to_windows_path(host), "above": to_windows_path(scratch.win_dir) + "\\",
                         "dll": to_windows_path(host.parent / "helper.dll"),
                         "twin": changed and to_windows_path(changed)}
                self.assertEqual([(e.source, e.type, e.event_id, e.text) for e in run.events()],
                                 [(name + "Svc", 4, 0, REFUSED + why.format(**paths)),
                                  (name + "Svc", 4, 0, CREATE_FAILED)])
                # No box could be made without a display: standard error has the line.
                self.assertIn(CREATE_FAILED.encode() + b"\r", run.log_path.read_bytes().split(b"\n"))
                self.assertEqual(run.exit_code, ERROR_ACCESS_DISABLED_BY_POLICY & 0xFF)  # Wine keeps 8 bits
                self.assertEqual(query(name + "Svc"), {})

    def test_install_judges_each_file_as_listed_and_where_it_leads(self):
        # Windows drops a trailing dot from a name unless the path begins with
        # \\?\; Wine shows a file symlink as a plain file, and opens its target.
        def link_into_open_folder(s, h, p):
            (s.win_dir / "open").mkdir()
            os.chmod(s.win_dir / "open", OPEN)
            os.symlink(self.plant(s.win_dir / "open" / "x"), h.parent / "helper.dll")

        cases = {"permDotSafe": (lambda s, h, p: self.plant(p, name="notes.txt."), 0),
                 "permDotOpen": (lambda s, h, p: (self.plant(p), self.plant(p, 0o666, name="helper.dll.")),
                                 ERROR_ACCESS_DISABLED_BY_POLICY),
                 "permFileLink": (link_into_open_folder, ERROR_ACCESS_DISABLED_BY_POLICY)}
        for name, (change, error) in cases.items():
            with self.subTest(name):
                scratch, host, program = self.place(name, "app")
                change(scratch, host, program)
                run = self.install(host)
                self.assertEqual((run.exit_code, any(e.text.startswith(REFUSED) for e in run.events()),
                                  query(name + "Svc") != {}), (error & 0xFF, error != 0, error == 0))

    def test_install_refuses_a_chain_of_links_whose_middle_lies_where_everyone_may_write(self):
        # A -> open/mid -> real, open being o+w. Wine cannot read a folder
        # link's target, so the first link is refused already.
        scratch, host, program = self.place("permChain", "real")
        (scratch.win_dir / "open").mkdir(mode=OPEN)
        os.chmod(scratch.win_dir / "open", OPEN)
        os.symlink(host.parent, scratch.win_dir / "open" / "mid")
        os.symlink(scratch.win_dir / "open" / "mid", scratch.win_dir / "A")
        run = self.install(scratch.win_dir / "A" / host.name)
        self.assertEqual([e.text for e in run.events()],
                         [REFUSED + "where " + to_windows_path(scratch.win_dir / "A") + " leads cannot be told",
                          CREATE_FAILED])
        self.assertEqual(query("permChainSvc"), {})

    def test_a_start_launches_nothing_once_the_folder_or_a_dll_is_opened_and_runs_once_it_is_closed(self):
        name = "permLater"
        scratch, host, program = self.place(name)
        # A data folder is the program's own business; its DLL is not.
        (host.parent / "logs").mkdir(mode=0o777)
        os.chmod(host.parent / "logs", 0o777)
        dll = self.plant(program)
        self.assertEqual(self.install(host).events(), [])
        self.assertEqual(query(name + "Svc").get("state"), "1")
        folder = to_windows_path(host.parent) + "\\"
        command_line = to_windows_path(program) + " "

        os.chmod(host.parent, OPEN)
        self.assertEqual(session.sc("start", name + "Svc").exit_code, 0)
        self.assertEqual(events_after_runs(name + "Svc", 1),
                         [LAUNCH_FAILED + command_line,
                          REFUSED + "Everyone may add files to, add folders to, delete or rename anything in and "
                          "delete or rename " + folder] + STOPPED_TAIL)
        self.assertEqual(query(name + "Svc").get("win32_exit_code"), "1260")  # ERROR_ACCESS_DISABLED_BY_POLICY
        self.assertFalse(Path(str(program) + ".log").exists(), "the program ran")

        os.chmod(host.parent, 0o755)
        self.assertEqual(session.sc("start", name + "Svc").exit_code, 0)
        self.assertEqual(events_after_runs(name + "Svc", 2)[4:], [LAUNCHED + command_line] + STOPPED_TAIL)
        self.assertIn("ended=by itself", Path(str(program) + ".log").read_text())

        os.chmod(dll, 0o646)
        self.assertEqual(session.sc("start", name + "Svc").exit_code, 0)
        self.assertEqual(events_after_runs(name + "Svc", 3)[7:],
                         [LAUNCH_FAILED + command_line,
                          REFUSED + "Everyone may write and delete " + to_windows_path(dll)] + STOPPED_TAIL)
        self.assertEqual(query(name + "Svc").get("win32_exit_code"), "1260")

    def test_a_start_launches_nothing_once_a_file_has_an_open_case_twin(self):
        for case, original in TWINS.items():
            name = case + "Start"
            with self.subTest(case):
                scratch, host, program = self.place(name)
                safe = original(self, host, program)
                self.assertEqual(self.install(host).exit_code, 0)
                twin = self.twin(safe)
                self.assertEqual(session.sc("start", name + "Svc").exit_code, 0)
                self.assertEqual(events_after_runs(name + "Svc", 1),
                                 [LAUNCH_FAILED + to_windows_path(program) + " ",
                                  REFUSED + "Everyone may write and delete " + to_windows_path(twin)] + STOPPED_TAIL)
                self.assertEqual(query(name + "Svc").get("win32_exit_code"), "1260")

    def test_install_again_judges_again_and_leaves_the_record(self):
        name = "permAgain"
        scratch, host, program = self.place(name)
        self.assertEqual(self.install(host).exit_code, 0)
        os.chmod(host.parent, OPEN)
        run = self.install(host)
        self.assertEqual((run.exit_code, [e.text for e in run.events()][:1]),
                         (ERROR_ACCESS_DISABLED_BY_POLICY & 0xFF,
                          [REFUSED + "Everyone may add files to, add folders to, delete or rename anything in and "
                           "delete or rename " + to_windows_path(host.parent) + "\\"]))
        self.assertEqual(query(name + "Svc").get("state"), "1")

    def test_a_host_whose_program_is_itself_is_stopped_at_once(self):
        # "ab" less three units is "ab": the program would be the host itself.
        scratch = make_scratch("perm-self")
        host = scratch.win_dir / "ab.exe"
        scratch.copy_host(host.name)
        self.addCleanup(session.sc, "delete", "ab")
        self.assertEqual(self.install(host).events(), [])
        began = time.monotonic()
        self.assertEqual(session.sc("start", "ab").exit_code, 0)
        events = events_after_runs("ab", 1)
        self.assertLess(time.monotonic() - began, 8, "it waited for Wine's dispatcher time-out")
        self.assertEqual(events, [LAUNCH_FAILED + to_windows_path(host) + " "] + STOPPED_TAIL)
        stopped = query("ab")
        self.assertEqual((stopped.get("state"), stopped.get("win32_exit_code")), ("1", "2"))


if __name__ == "__main__":
    unittest.main()

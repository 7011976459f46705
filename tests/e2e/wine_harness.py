"""Runs the real svcshim.exe and small helper programs under Wine.

One Wine prefix (build/wineprefix, or $SVCSHIM_WINEPREFIX) is made once and
reused. A test module starts a session: a helper that sleeps forever, run in
the background with the tracing WINEDEBUG and its stderr going to a log file.
That first process starts the wineserver and the service manager, so every
service started later inherits the same stderr and WINEDEBUG: the session log
holds the traces of all services. A program run by hand (Session.run) is an
ordinary process with a stderr of its own: its trace goes to a log of its own.

    scratch = make_scratch("spine-notepadSvc")
    host = scratch.copy_host("notepadSvc.exe")          # C:\\e2e\\spine-notepadSvc\\notepadSvc.exe
    with start_session(scratch) as session:
        run = session.run(host, "/foo")
        run.exit_code, run.events()                      # see wine_trace.py
        session.sc("create", "xSvc", "binPath=", host)
        session.wait_for_event("xSvc", "...")            # traces of services

Only `wineserver -k` with this prefix ends Wine processes; processes the
harness itself started (Xvfb, a run that timed out) are ended by their id.
"""

import contextlib
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path, PureWindowsPath
from typing import Callable, Optional

from wine_trace import BoxText, Event, Trace, parse_trace_file

REPO = Path(__file__).resolve().parents[2]

# Traces the parser reads (see wine_trace.py); +pid tells processes and threads
# apart. warn+eventlog shows the strings of warning events too.
TRACE_DEBUG = "+timestamp,+pid,fixme+advapi,trace+eventlog,warn+eventlog,trace+msgbox"


class HarnessError(RuntimeError):
    pass


def note_retry(what: str, detail: str):
    """Says that a step is done again after the named Wine failure `what`;
    scripts/flakes counts these lines."""
    print(f"retried: {what}: {detail}", file=sys.stderr, flush=True)


# Now and then Wine's loader finds the address of the shared user data page
# taken (address space layout is random) and the new process exits with 1
# before any code of the program has run: a client that never ran, a
# program of ours that never started. Wine 8's ntdll (virtual_alloc_first_teb)
# prints this, then exits. Seen a few times in some thousands of starts.
NOT_STARTED = "failed to map the shared user data"
# Wine's sc, when the service manager could not create the service's
# process (CreateProcessW's ERROR_INTERNAL_ERROR): retried only when the
# service's loader said why in the session log meanwhile.
SERVICE_NOT_STARTED = "failed to start service 1359"
ATTEMPTS = 3


# --- where things are -------------------------------------------------------

def host_exe() -> Path:
    """The built host: $SVCSHIM_HOST, else dist/svcshim.exe."""
    return _existing(Path(os.environ.get("SVCSHIM_HOST", REPO / "dist" / "svcshim.exe")),
                     "build the Windows tree first (cmake --build build/windows)")


def helper_exe(name: str) -> Path:
    """A program from tests/helpers, built into <windows build>/helpers."""
    build = Path(os.environ.get("SVCSHIM_WINDOWS_BUILD_DIR", REPO / "build" / "windows"))
    return _existing(build / "helpers" / (name if name.endswith(".exe") else name + ".exe"),
                     "build the Windows tree first (cmake --build build/windows)")


def prefix_dir() -> Path:
    return Path(os.environ.get("SVCSHIM_WINEPREFIX", REPO / "build" / "wineprefix")).absolute()


def scratch_root() -> Path:
    return Path(os.environ.get("SVCSHIM_E2E_SCRATCH", REPO / "build" / "e2e-scratch")).absolute()


def _existing(path: Path, hint: str) -> Path:
    if not path.is_file():
        raise HarnessError(f"{path} does not exist: {hint}")
    return path


# --- paths between the two sides ---------------------------------------------

def to_windows_path(path) -> str:
    """A Linux path as Wine names it: under the prefix's drive_c as C:\\...,
    anything else through Z:, which Wine maps to /."""
    path = Path(path).absolute()
    drive_c = prefix_dir() / "drive_c"
    try:
        return str(PureWindowsPath("C:\\", *path.relative_to(drive_c).parts))
    except ValueError:
        return "Z:" + str(path).replace("/", "\\")


def to_unix_path(windows_path: str) -> Path:
    """The reverse of to_windows_path, for C: and Z: paths."""
    p = PureWindowsPath(windows_path)
    rest = p.parts[1:]
    if p.drive.upper() == "C:":
        return prefix_dir().joinpath("drive_c", *rest)
    if p.drive.upper() == "Z:":
        return Path("/").joinpath(*rest)
    raise HarnessError(f"no Linux path for {windows_path}")


# --- the prefix ---------------------------------------------------------------

def wine_env(debug: str = TRACE_DEBUG, display: Optional[str] = None) -> dict:
    env = dict(os.environ)
    env.update(
        WINEPREFIX=str(prefix_dir()),
        WINEDLLOVERRIDES="mscoree,mshtml=",  # no Mono or Gecko prompt
        WINEDEBUG=debug,
        LC_ALL="C.UTF-8",  # the same Wine locale and argument decoding on every machine
    )
    env.pop("DISPLAY", None)
    if display is not None:
        env["DISPLAY"] = display
    return env


@contextlib.contextmanager
def _file_lock(path: Path, timeout: float):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "a") as f:
        deadline = time.monotonic() + timeout
        while True:
            try:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise HarnessError(f"{path} stayed locked for {timeout} s")
                time.sleep(0.2)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


def ensure_prefix() -> Path:
    """Makes the prefix once (wineboot -i, about 15 s), as a Windows 10; later
    calls reuse it. Two processes racing here take turns on a lock file
    beside the prefix."""
    prefix = prefix_dir()
    # A prefix made before it was set to Windows 10 has the old mark only,
    # and is set now.
    ready = prefix / ".svcshim-e2e-ready-win10"
    if ready.exists():
        return prefix
    with _file_lock(prefix.parent / (prefix.name + ".create.lock"), timeout=600):
        if not ready.exists():
            kill_prefix_processes()
            # An interrupted earlier attempt is finished, not thrown away.
            with open(prefix.parent / (prefix.name + ".wineboot.log"), "wb") as log:
                subprocess.run(["wineboot", "-i"], env=wine_env(debug="-all"), stdin=subprocess.DEVNULL,
                               stdout=log, stderr=log, timeout=300, check=True)
                # A new prefix reports Windows 7 (6.1); our users run 10 and later.
                subprocess.run(["wine", "winecfg", "/v", "win10"], env=wine_env(debug="-all"),
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=120, check=True)
            subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=120, check=True)
            ready.touch()
    return prefix


def kill_prefix_processes() -> bool:
    """`wineserver -k` for this prefix, then waits for the server to go.
    True if a server was running."""
    env = wine_env()
    killed = subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, timeout=60).returncode == 0
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)
    return killed


# --- a test's own directories -------------------------------------------------

class Scratch:
    """Per test: `dir` on the Linux side (logs, data files) under
    build/e2e-scratch/<name>, and `win_dir`, C:\\e2e\\<name>, inside the
    prefix for the programs Wine runs (short paths). Both start empty and are
    left behind for inspection."""

    def __init__(self, name: str):
        self.name = name
        self.dir = scratch_root() / name
        self.win_dir = prefix_dir() / "drive_c" / "e2e" / name
        for d in (self.dir, self.win_dir):
            shutil.rmtree(d, ignore_errors=True)
            d.mkdir(parents=True)

    def copy_host(self, file_name: str, source: Optional[Path] = None) -> str:
        """Copies the host (or `source`) into win_dir under `file_name`;
        returns its Windows path."""
        target = self.win_dir / file_name
        shutil.copyfile(source or host_exe(), target)
        return to_windows_path(target)

    def copy_helper(self, name: str, file_name: Optional[str] = None) -> str:
        source = helper_exe(name)
        return self.copy_host(file_name or source.name, source)

    def write_utf16(self, file_name: str, text: str) -> str:
        """A UTF-16LE file in win_dir (lone surrogates kept); its Windows path."""
        target = self.win_dir / file_name
        target.write_bytes(text.encode("utf-16-le", "surrogatepass"))
        return to_windows_path(target)

    def log(self, name: str) -> Path:
        return self.dir / name


def make_scratch(name: str) -> Scratch:
    return Scratch(name)


# --- reading a trace log as it grows ----------------------------------------------

class TraceLog:
    """Queries on a trace log that may still be growing; `log_path` is set by
    the class using it."""

    log_path: Path

    def trace(self) -> Trace:
        return parse_trace_file(self.log_path)

    def events(self, source: Optional[str] = None):
        return [e for e in self.trace().events if source is None or e.source == source]

    def wait_for_event(self, source: str, text: Optional[str] = None, timeout: float = 30,
                       where: Optional[Callable[[Event], bool]] = None) -> Event:
        """The first complete event from `source` (with exactly `text`, and
        passing `where`, when given); waits up to `timeout` seconds for it."""
        def match(e: Event):
            return (e.source == source and e.complete and (text is None or e.text == text)
                    and (where is None or where(e)))
        return self._wait(lambda t: next((e for e in t.events if match(e)), None), timeout,
                          f"event from {source!r}" + (f" with text {text!r}" if text is not None else ""))

    def wait_for_box(self, text: Optional[str] = None, timeout: float = 30) -> BoxText:
        """The first message box (with exactly `text`, when given) that opened."""
        return self._wait(lambda t: next((b for b in t.boxes if text is None or b.text == text), None),
                          timeout, "message box" + (f" with text {text!r}" if text is not None else ""))

    def _wait(self, find, timeout: float, what: str):
        deadline = time.monotonic() + timeout
        while True:
            found = find(self.trace())
            if found is not None:
                return found
            if time.monotonic() > deadline:
                raise HarnessError(f"no {what} within {timeout} s; see {self.log_path}")
            time.sleep(0.2)


# --- runs ----------------------------------------------------------------------

@dataclass
class Run(TraceLog):
    """A finished program. exit_code is what `wine` returned: the Windows
    exit code, cut to its low 8 bits by the Unix exit status."""
    args: tuple
    exit_code: int
    log_path: Path  # the program's stderr: its Wine trace
    out_path: Path  # its stdout

    @property
    def stdout(self) -> str:
        return self.out_path.read_bytes().decode("utf-8", "replace")


class Started(TraceLog):
    """A program started in the background by Session.start; its trace can be
    watched while it runs (a box it shows, an event it reports). Started
    again, a few times at most, when Wine could not start it at all."""

    def __init__(self, args, launch: Callable[[], subprocess.Popen], log_path, out_path):
        self.args, self.launch, self.log_path, self.out_path = args, launch, log_path, out_path
        self.process = launch()
        self.attempts = 1

    def trace(self) -> Trace:
        self.running()  # started again first if Wine could not start it
        return super().trace()

    def running(self) -> bool:
        # A program that printed anything ran: the loader's message in its
        # log then came from a process it started, which shares its stderr.
        if (self.process.poll() == 1 and self.attempts < ATTEMPTS and self.out_path.stat().st_size == 0
                and NOT_STARTED in self.log_path.read_text("utf-8", "replace")):
            note_retry(NOT_STARTED, " ".join(self.args))
            self.process = self.launch()
            self.attempts += 1
        return self.process.poll() is None

    def wait(self, timeout: float = 60) -> Run:
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.process.wait(timeout=max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                self.process.kill()  # the wine process we started: the Windows process itself
                self.process.wait()
                raise HarnessError(f"{self.args} still running after {timeout} s; trace in {self.log_path}")
            if not self.running():
                return Run(args=self.args, exit_code=self.process.returncode, log_path=self.log_path,
                           out_path=self.out_path)


@dataclass
class Completed:
    exit_code: int
    stdout: str
    stderr: str


# --- the session -----------------------------------------------------------------

class Session(TraceLog):
    """A running Wine session for one test module; see start_session. Its
    trace queries read the session log: what services printed."""

    def __init__(self, scratch: Scratch, display: bool = False):
        self.scratch = scratch
        self.log_path = scratch.log("session.log")
        self.display: Optional[str] = None
        self.env: Optional[dict] = None
        self._xvfb = None
        self._keeper = None
        self._lock = None
        self._started = []
        self._start(display)

    # Setting up and tearing down.

    def _start(self, display: bool):
        # One session per prefix at a time: a second test process waits here
        # instead of killing the first one's session.
        self._lock = _file_lock(prefix_dir().parent / (prefix_dir().name + ".session.lock"), timeout=600)
        self._lock.__enter__()
        try:
            ensure_prefix()
            stale = kill_prefix_processes()
            with open(self.log_path, "ab") as log:
                if stale:
                    log.write(b"harness: ended a stale wineserver of this prefix\n")
                if display:
                    self.display = self._start_xvfb()
                self.env = wine_env(display=self.display)
                self._keeper = subprocess.Popen(["wine", str(helper_exe("session_keeper"))], env=self.env,
                                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
                # Up once a second program has run. Whichever of the two starts the
                # wineserver and the service manager, they get this same stderr and
                # WINEDEBUG; the second one returns only after Wine's start-up is done.
                probe = subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=log, timeout=180)
            if probe.returncode != 0 or self._keeper.poll() is not None:
                raise HarnessError(f"Wine session did not come up; see {self.log_path}")
        except BaseException:
            self.stop()
            raise

    def _start_xvfb(self) -> str:
        read_end, write_end = os.pipe()
        with open(self.scratch.log("xvfb.log"), "ab") as log:
            self._xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"],
                                          pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                                          stdout=subprocess.DEVNULL, stderr=log)
        os.close(write_end)
        with os.fdopen(read_end) as r:
            number = r.readline().strip()  # Xvfb writes it once it accepts clients
        if not number:
            raise HarnessError("Xvfb did not start; see " + str(self.scratch.log("xvfb.log")))
        return ":" + number

    def stop(self):
        """Ends every Wine process of the prefix (wineserver -k), then Xvfb.
        Once only: after that the prefix may be another session's."""
        if self._lock is None:
            return
        kill_prefix_processes()
        for process in [self._keeper] + [s.process for s in self._started]:
            if process is None:
                continue
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self._keeper = None
        self._started = []
        if self._xvfb is not None:
            self._xvfb.terminate()
            self._xvfb.wait(timeout=30)
            self._xvfb = None
        if self._lock is not None:
            self._lock.__exit__(None, None, None)
            self._lock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # Running programs.

    def start(self, program, *args, log_name: Optional[str] = None, env: Optional[dict] = None) -> Started:
        """Starts `wine program args...` in the background, its stderr (the
        trace) to <scratch>/<log_name>.log and its stdout to .out; `env`
        adds to or replaces the session's environment for this program."""
        name = log_name or f"run-{len(self._started) + 1:02d}-{PureWindowsPath(str(program)).stem}"
        log_path, out_path = self.scratch.log(name + ".log"), self.scratch.log(name + ".out")
        argv = ["wine", str(program), *map(str, args)]

        def launch():
            with open(log_path, "wb") as log, open(out_path, "wb") as out:
                return subprocess.Popen(argv, env={**self.env, **(env or {})}, stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=log)

        self._started.append(Started(tuple(argv[1:]), launch, log_path, out_path))
        return self._started[-1]

    def run(self, program, *args, timeout: float = 60, log_name: Optional[str] = None,
            env: Optional[dict] = None) -> Run:
        """Runs `wine program args...` by hand and waits for it."""
        return self.start(program, *args, log_name=log_name, env=env).wait(timeout)

    def wine(self, *args, timeout: float = 60) -> Completed:
        """Any Wine command (`reg`, `sc`, ...), output captured; run again, a
        few times at most, when Wine could not start it, or the service it
        was to start. Files, not pipes: a process that inherits them cannot
        hold the call up."""
        starts_service = tuple(map(str, args[:2])) == ("sc", "start")
        for attempt in range(1, ATTEMPTS + 1):
            services_not_started = self._services_not_started() if starts_service else 0
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                code = subprocess.run(["wine", *map(str, args)], env=self.env, stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=err, timeout=timeout).returncode
                out.seek(0)
                err.seek(0)
                done = Completed(code, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace"))
            why = (NOT_STARTED if code != 0 and NOT_STARTED in done.stderr else
                   SERVICE_NOT_STARTED if starts_service and SERVICE_NOT_STARTED in done.stderr
                   and self._services_not_started() > services_not_started else None)
            if why is None or attempt == ATTEMPTS:
                return done
            note_retry(why, " ".join(map(str, args)))

    def _services_not_started(self) -> int:
        """How often a process that writes to the session log (a service's)
        could not be started by Wine's loader."""
        return self.log_path.read_bytes().count(NOT_STARTED.encode())

    def sc(self, *args, timeout: float = 60) -> Completed:
        """Wine's sc: create NAME binPath= PATH, start, stop, delete (no qc)."""
        return self.wine("sc", *args, timeout=timeout)

    def service_record_exists(self, name: str) -> bool:
        return self.wine("reg", "query", f"HKLM\\System\\CurrentControlSet\\Services\\{name}").exit_code == 0


def start_session(scratch: Scratch, display: bool = False) -> Session:
    """Starts a Wine session whose traces go to <scratch>/session.log. With
    display=True, a private Xvfb serves as the X server (needed for windows
    and message boxes); without, DISPLAY is unset and window creation fails.
    Stop it with stop() or use it in a with statement."""
    return Session(scratch, display)

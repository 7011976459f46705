"""The whole road of one service, under Wine, told as it happens.

Puts the host beside the example program (examples/ticker.cpp, which appends
a timestamped line to ticker.log every second and quits on WM_QUIT), names it
tickerSvc.exe, and then installs, starts, watches, stops and uninstalls it,
printing what the service manager, the child and the event log show at each
step. Everything it starts is ended before it returns.
"""

import re
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from texts import LAUNCH_FAILED, LAUNCHED  # noqa: E402
from wine_harness import make_scratch, start_session  # noqa: E402

SERVICE = "tickerSvc"
MEANINGS = {
    LAUNCHED: "child process created",
    LAUNCH_FAILED: "child process could not be created",
}


def say(text=""):
    print(text, flush=True)


def step(number, title):
    say()
    say(f"{number}. {title}")


def record(session, helper):
    """The service's record as the service manager holds it, as a dict."""
    out = session.wine(helper, SERVICE).stdout
    if out.strip() == "missing":
        return None
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def explain(text):
    for prefix, meaning in MEANINGS.items():
        if text.startswith(prefix):
            return f'"{text}"  ({meaning}: {text[len(prefix):]!r})'
    return f'"{text}"'


def show_events(session, already):
    events = session.events(SERVICE)
    for event in events[already:]:
        say(f"   event: {explain(event.text)}")
    return len(events)


def ticker_lines(log_path):
    return log_path.read_text(encoding="utf-8", errors="replace").splitlines() if log_path.exists() else []


def wait_for(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    return None


def main():
    began = time.monotonic()
    scratch = make_scratch("demo")
    ticker = scratch.copy_host("ticker.exe", REPO / "build" / "windows" / "examples" / "ticker.exe")
    host = scratch.copy_host(SERVICE + ".exe")
    query = scratch.copy_helper("service_query")
    log_path = scratch.win_dir / "ticker.log"

    step(1, "The host, copied beside the program and named after it")
    say(f"   {ticker}")
    say(f"   {host}   (svcshim.exe, renamed: the stem plus three characters)")
    say("   Starting a Wine session (its service manager plays the Windows one)...")

    with start_session(scratch) as session:
        if record(session, query) is not None:
            session.sc("delete", SERVICE)

        step(2, f"{SERVICE}.exe /install")
        run = session.run(host, "/install")
        fields = record(session, query)
        if fields is None:
            say("   the service was NOT created")
            return 1
        say(f"   exit code {run.exit_code}; the service manager now holds:")
        say(f"     name {SERVICE}, binary path {fields['binary_path']}")
        say(f"     start type {fields['start']} (3 = on demand), account {fields['account']}, "
            f"state {fields['state']} (1 = stopped)")

        step(3, f"sc start {SERVICE}")
        started = time.monotonic()
        session.sc("start", SERVICE)
        lines = wait_for(lambda: ticker_lines(log_path), 15)
        if not lines:
            say("   the child did not start; see " + str(session.log_path))
            return 1
        child_pid = re.search(r"pid (\d+)", lines[0]).group(1)
        say(f"   the child is running within {time.monotonic() - started:.1f} s: ticker.exe, process id {child_pid}")
        say(f"   service state {record(session, query)['state']} (4 = running), host process id "
            f"{record(session, query)['pid']}")
        seen = show_events(session, 0)

        step(4, "The child at work: ticker.log grows every second")
        before = len(ticker_lines(log_path))
        time.sleep(3)
        lines = ticker_lines(log_path)
        say(f"   {before} line(s), three seconds later {len(lines)}; the newest:")
        say(f"     {lines[-1]}")

        step(5, f"sc stop {SERVICE}")
        asked = time.monotonic()
        session.sc("stop", SERVICE)
        took = time.monotonic() - asked
        lines = ticker_lines(log_path)
        say(f"   sc stop returned after {took:.1f} s (the host asks the child to quit, gives it 2 s,")
        say("   terminates it if need be, and reports the service stopped 4 s after the request)")
        say(f"   the child's last line: {lines[-1]}")
        ended_cleanly = "stopping cleanly" in lines[-1]
        say("   so the child ended on the quit message, by itself" if ended_cleanly
            else "   so the child did not take the quit message and was terminated")
        wait_for(lambda: len(session.events(SERVICE)) >= seen + 3, 10)
        seen = show_events(session, seen)
        say(f"   service state {record(session, query)['state']} (1 = stopped)")

        step(6, f"{SERVICE}.exe /uninstall")
        run = session.run(host, "/uninstall")
        gone = record(session, query) is None
        say(f"   exit code {run.exit_code}; the record is {'gone' if gone else 'STILL THERE'}")

        say()
        say("Ending the Wine session: nothing is left running.")
    say(f"Done in {time.monotonic() - began:.0f} s. The events above are what Windows shows in Event Viewer,")
    say(f"under Windows Logs > Application, source {SERVICE}.")
    return 0 if ended_cleanly and gone else 1


if __name__ == "__main__":
    sys.exit(main())

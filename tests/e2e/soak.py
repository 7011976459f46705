"""Two clients on one service, through Wine's real service manager.

In each round client 1 runs a whole cycle (`sc start`, the child up, `sc
stop`) while client 2 sends a start, a stop or an interrogation at a random
moment of it. When both have their answers and things have settled, the
service manager's state must agree with what runs: STOPPED with no host and
no child of the service, or RUNNING with exactly one of each (a RUNNING
service is then stopped, and that stop must leave nothing running).

    scripts/soak 200                # 200 rounds, a fresh seed
    scripts/soak 200 --seed 1234    # the same choices again

Client 2 acts at a moment drawn uniformly from the first 5.5 s of the round:
client 1's cycle takes about 5 s (its start, the child coming up, the 4 s
stop), and the last half second falls just after STOPPED.

The service manager's answers, measured under Wine 8 with this host:
- a start while RUNNING or STOP_PENDING: 1056, ERROR_SERVICE_ALREADY_RUNNING;
- a stop or an interrogation while STOP_PENDING: 1061,
  ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
- a stop while START_PENDING before the host's first status report (the one
  that says it accepts stops; until then the service manager holds no
  accepted controls): 1052, ERROR_INVALID_SERVICE_CONTROL. The start goes on
  to RUNNING. A stop a moment later is taken and honoured;
- a stop or an interrogation while STOPPED: 1062, ERROR_SERVICE_NOT_ACTIVE
  (Microsoft's documentation of ControlService names 1061 for STOPPED too);
- an interrogation while RUNNING goes through and answers RUNNING; a stop
  returns once the handler has, 4 s later, and answers STOPPED.
Those refusals are the normal answers to a client that asks for what is
already done or under way, or too early for the service to take it. A refusal
that leaves a service RUNNING (1052 from a host that never accepts stops)
shows in the further stop that follows a round left RUNNING. Any other answer
to a stop is a failed stop: 1053, the handler did not answer the service
manager in time; 109, the host ended before Wine's dispatcher passed the
handler's answer on (services.exe logs "service protocol error - failed to
read pipe"); no answer within 30 s; a stop that left the service running. Any
other answer to a start or an interrogation is a failed request.

Wine differences relied on here: Wine's sc has no "interrogate" (it answers
"command not supported"), so the helper service_control sends it; processes
are counted from /proc (see test_service_runtime.py).
"""

import argparse
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
from collections import Counter
from dataclasses import dataclass
from pathlib import PureWindowsPath
from typing import List, Optional

from service_harness import (Layout, child_runs, console_hosts, place, prefix_process_ids, query_service,
                             running_images, wait_until_gone)
from wine_harness import Session, helper_exe, make_scratch, start_session

ACTIONS = ("start", "stop", "interrogate")
REFUSALS = {"start": {1056}, "stop": {1052, 1061, 1062}, "interrogate": {1061, 1062}}  # see above
STOPPED, RUNNING = 1, 4
STATE_NAMES = {1: "STOPPED", 2: "START_PENDING", 3: "STOP_PENDING", 4: "RUNNING"}

ACT_WITHIN = 5.5  # client 2 acts this long into the round at the latest
READY_WITHIN = 3  # client 1 waits this long for the child before it stops anyway
SETTLE_WITHIN = 10  # for the state and the processes to agree
REQUEST_TIMEOUT = 30


def log(text: str):
    print(f"soak: {text}", file=sys.stderr, flush=True)


@dataclass
class View:
    """The service manager's state beside the processes of the service."""
    state: int
    hosts: int
    children: int

    @property
    def agrees(self) -> bool:
        return (self.state, self.hosts, self.children) in ((STOPPED, 0, 0), (RUNNING, 1, 1))

    def __str__(self):
        return f"{STATE_NAMES.get(self.state, self.state)} with {self.hosts} host(s) and {self.children} child(ren)"


def look(session: Session, layout: Layout) -> View:
    state = int(query_service(session, layout.name).get("state", "0"))
    images = [p.lower() for p in running_images(layout.host, layout.child)]
    return View(state, images.count(layout.host.lower()), images.count(layout.child.lower()))


def settle(session: Session, layout: Layout, within: float = SETTLE_WITHIN) -> View:
    """The first view in which state and processes agree, or the last one
    seen after `within` seconds: a host ends a moment after its STOPPED, and
    a started one reports RUNNING before its child is up."""
    deadline = time.monotonic() + within
    while True:
        view = look(session, layout)
        if view.agrees or time.monotonic() > deadline:
            return view
        time.sleep(0.1)


@dataclass
class Answer:
    kind: str
    code: Optional[int]  # 0 when done, the error otherwise; None: no answer in time
    seconds: float

    @property
    def outcome(self) -> str:
        if self.code == 0:
            return "done"
        return "refused" if self.code in REFUSALS[self.kind] else "failed"

    def __str__(self):
        return f"{self.kind} {self.outcome}" + ("" if self.code == 0 else f" ({self.code or 'timed out'})")



def request(session: Session, layout: Layout, kind: str) -> Answer:
    """One start, stop or interrogation, as a client sends it (the session
    sends it again when Wine could not start the client itself)."""
    began = time.monotonic()
    try:
        if kind == "interrogate":
            done = session.wine(helper_exe("service_control"), layout.name, kind, timeout=REQUEST_TIMEOUT)
            m = re.match(r"(state|error)=(\d+)", done.stdout)
            code = -1 if not m else 0 if m[1] == "state" else int(m[2])
        else:
            done = session.sc(kind, layout.name, timeout=REQUEST_TIMEOUT)
            m = re.search(rf"failed to {kind} service (\d+)", done.stderr)
            code = 0 if done.exit_code == 0 else int(m[1]) if m else -1
    except subprocess.TimeoutExpired:
        return Answer(kind, None, time.monotonic() - began)
    if code == -1:
        # An answer that says nothing: what the client printed tells why.
        log(f"{kind}: exit {done.exit_code}, stdout {done.stdout[-300:]!r}, stderr {done.stderr[-600:]!r}")
    return Answer(kind, code, time.monotonic() - began)


class Soak:
    """A service (the host beside loop_child, in `directory`) and the rounds
    run on it so far. failed() is empty when every round went as it should."""

    def __init__(self, session: Session, directory: str, seed: int):
        self.session, self.rng = session, random.Random(seed)
        self.layout = place(directory, "soak_loop", "loop_child")
        if query_service(session, self.layout.name):  # left by an earlier, failed run
            session.sc("delete", self.layout.name)
        created = session.sc("create", self.layout.name, "binPath=", self.layout.host)
        if created.exit_code != 0:
            raise RuntimeError(f"sc create {self.layout.name} failed: {created.stdout}{created.stderr}")
        self.consoles_before = console_hosts()
        self.rounds = 0
        self.children_ready = 0  # runs whose child said ready before client 1's stop
        self.actions = Counter()  # (kind, outcome) of client 2's requests
        self.disagreements: List[str] = []
        self.failed_stops: List[str] = []
        self.failed_requests: List[str] = []
        self.leftovers: List[str] = []
        self.stop_seconds: List[float] = []  # of the stops done
        self.aborted: Optional[str] = None
        self.began = time.monotonic()

    def round(self):
        if self.aborted:
            return
        self.rounds += 1
        number, kind, moment = self.rounds, self.rng.choice(ACTIONS), self.rng.uniform(0, ACT_WITHIN)
        second: List[Answer] = []
        runs_before = len(child_runs(self.layout))
        client2 = threading.Thread(target=lambda: (time.sleep(moment), second.append(self.ask(kind))))
        client2.start()
        first = [self.ask("start")]
        self.children_ready += self.wait_for_child(runs_before)
        first.append(self.ask("stop"))
        client2.join()
        self.actions[kind, second[0].outcome] += 1
        view = settle(self.session, self.layout)
        what = f"round {number}: client 2's {second[0]} at {moment:.2f} s; client 1's {first[0]}, {first[1]}"
        if not view.agrees:
            self.disagreements.append(f"{what}: {view}")
            log(f"{what}: DISAGREEMENT: {view}")
            self.end_strays()
            return
        log(f"{what}: {view}")
        if view.state == RUNNING:
            self.stop_left_running(what)

    def ask(self, kind: str) -> Answer:
        answer = request(self.session, self.layout, kind)
        if answer.outcome == "failed":
            (self.failed_stops if kind == "stop" else self.failed_requests).append(
                f"round {self.rounds}: {answer} after {answer.seconds:.1f} s")
        elif answer.outcome == "done" and kind == "stop":
            self.stop_seconds.append(answer.seconds)
        return answer

    def wait_for_child(self, runs_before: int) -> bool:
        """Until a new run of the child says ready; none comes when a stop got
        in before the host launched it, or while the child was starting up."""
        deadline = time.monotonic() + READY_WITHIN
        while time.monotonic() < deadline:
            runs = child_runs(self.layout)
            if len(runs) > runs_before and runs[-1].get("ready") == "yes":
                return True
            time.sleep(0.02)
        return False

    def stop_left_running(self, what: str):
        """A second client's start got in after client 1's stop: one more stop,
        which must leave nothing running."""
        answer = self.ask("stop")
        view = settle(self.session, self.layout)
        if view.state != STOPPED or not view.agrees:
            if answer.outcome != "failed":  # else counted already
                self.failed_stops.append(f"{what}: a further {answer} left the service {view}")
            self.end_strays()

    def end_strays(self):
        """Ends the host and child that a disagreement left (by their ids),
        so that the next round starts from a stopped service. Wine's service
        manager keeps a service whose process was killed RUNNING (a stop then
        fails with 232, later ones with 1061) but starts it again: one more
        cycle brings it back to STOPPED. If even that fails, the soak ends."""
        wanted = {self.layout.host.lower(), self.layout.child.lower()}
        for pid, image in prefix_process_ids().items():
            if image.lower() in wanted:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        view = settle(self.session, self.layout)
        if view.state != STOPPED or not view.agrees:
            runs_before = len(child_runs(self.layout))
            request(self.session, self.layout, "start")
            self.wait_for_child(runs_before)
            request(self.session, self.layout, "stop")
            view = settle(self.session, self.layout)
        if view.state != STOPPED or not view.agrees:
            self.aborted = f"round {self.rounds}: no stopped service after ending the strays: {view}"

    def finish(self):
        """What is left once every round is over: processes from the
        service's directory, console hosts beyond those there were before."""
        ours = str(PureWindowsPath(self.layout.host).parent).lower() + "\\"
        wait_until_gone(self.layout.host, self.layout.child)
        deadline = time.monotonic() + 15
        while console_hosts() > self.consoles_before and time.monotonic() < deadline:
            time.sleep(0.1)
        self.leftovers = [p for p in prefix_process_ids().values() if p.lower().startswith(ours)]
        self.leftovers += ["conhost.exe"] * max(0, console_hosts() - self.consoles_before)
        self.seconds = time.monotonic() - self.began

    def failed(self) -> List[str]:
        return (self.disagreements + self.failed_stops + self.failed_requests
                + [f"left running: {p}" for p in self.leftovers] + ([self.aborted] if self.aborted else []))

    def summary(self) -> str:
        def kind_line(kind):
            outcomes = [f"{n} {o}" for (k, o), n in sorted(self.actions.items()) if k == kind]
            return f"{kind} {sum(n for (k, _), n in self.actions.items() if k == kind)}" + (
                f" ({', '.join(outcomes)})" if outcomes else "")

        by_kind = ", ".join(kind_line(kind) for kind in ACTIONS)
        stops = self.stop_seconds
        return "\n".join([
            f"rounds: {self.rounds}",
            f"second client: {by_kind}",
            f"stops done: {len(stops)}" + (f", {min(stops):.1f}-{max(stops):.1f} s each" if stops else ""),
            f"disagreements: {len(self.disagreements)}",
            f"failed stops: {len(self.failed_stops)}",
            f"failed starts or interrogations: {len(self.failed_requests)}",
            f"leftovers: {len(self.leftovers)}" + (f" ({', '.join(self.leftovers)})" if self.leftovers else ""),
            f"wall time: {self.seconds:.0f} s",
        ] + ([f"aborted: {self.aborted}"] if self.aborted else []))


def main() -> int:
    parser = argparse.ArgumentParser(description="Two clients on one service, round after round.")
    parser.add_argument("rounds", type=int)
    parser.add_argument("--seed", type=int, default=None, help="repeat the choices of an earlier run")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)
    log(f"seed {seed}")
    scratch = make_scratch("soak")
    with start_session(scratch) as session:
        soak = Soak(session, "C:\\e2e\\soak\\", seed)
        try:
            for _ in range(args.rounds):
                soak.round()
            soak.finish()
        finally:
            session.sc("delete", soak.layout.name)
    for problem in soak.failed():
        log(problem)
    print(f"seed: {seed}\n{soak.summary()}")
    return 1 if soak.failed() else 0


if __name__ == "__main__":
    sys.exit(main())

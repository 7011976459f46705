"""What the host costs, measured under Wine, printed as one table.

Every figure is measured in the same run, and where it has a baseline, in the
same Wine session and close in time to that baseline:

  start latency  StartServiceW to the child's main having its console (its
                 first console call answered),
                 against the pair of bare CreateProcessW starts of the same
                 child made in the same round by the same helper, round by
                 round; for this host and for a baseline interleaved in the
                 same rounds: the least possible host
                 (tests/helpers/least_host.cpp), or the host built from an
                 earlier revision (--baseline REV)
                 (tests/helpers/bench_start.cpp, stamp_child.cpp);
  idle host      CPU time, wake-ups and threads of the host while its child
                 runs, read from Linux (/proc) and from Windows' own view
                 (GetProcessTimes, a toolhelp snapshot), against a Wine process
                 that only sleeps, over the same window;
  executable     size and import list (objdump -p), of both hosts;
  scale          N services, each a host beside its own child, installed,
                 started, stopped and uninstalled together
                 (tests/helpers/bench_scale.cpp).

Exits non-zero when anything failed: a service that did not install, start,
show its child, stop or uninstall; a host that woke up while idle; any process
of the bench left running at the end.

    scripts/bench.py                  # the full run (a few minutes), against the least possible host
    scripts/bench.py --baseline REV   # against the host of another revision instead
    scripts/bench.py --quick          # a short run of this host alone, for the test suite
    scripts/bench.py --beside 200     # with 200 more files beside the program, which the host judges
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path, PureWindowsPath

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from wine_harness import (helper_exe, host_exe, make_scratch, prefix_dir,  # noqa: E402
                          start_session, to_windows_path)

STAMP = "benchStamp"   # stamp_child as benchStamp.exe, beside the hosts as
PLACES = ("benchStampSvc.exe", "benchStampAlt.exe")  # both start their stem less three characters
IDLE = "benchIdle"     # loop_child as benchIdle.exe, the host as benchIdleSvc.exe
BASELINE = "benchSleeper.exe"  # session_keeper: a Wine process that only sleeps
SCALE = "benchScale"   # benchScale01\benchScale01Svc.exe beside benchScale01.exe, ...
SERVICES_KEY = "HKLM\\System\\CurrentControlSet\\Services"
# What the full run compares the host with unless told otherwise: a host
# that does only what any host must (tests/helpers/least_host.cpp).
LEAST_HOST = "the least possible host"


class BenchError(RuntimeError):
    pass


def log(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


# --- Linux's view of Wine processes -------------------------------------------

def wine_processes():
    """{Linux pid: Windows path of the image} for the processes of our prefix.
    Wine puts the Windows path of the image in argv[0]."""
    found = {}
    want = f"WINEPREFIX={prefix_dir()}".encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            argv = Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")
            environ = Path(f"/proc/{entry}/environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if want in environ and argv and argv[0]:
            found[int(entry)] = argv[0].decode("utf-8", "replace")
    return found


def linux_pid(windows_path):
    matches = [pid for pid, image in wine_processes().items() if image.lower() == windows_path.lower()]
    if len(matches) != 1:
        raise BenchError(f"{len(matches)} Linux processes run {windows_path}, expected one")
    return matches[0]


def thread_sample(pid):
    """Per thread: name, CPU time in ns (schedstat), and the number of times it
    went to sleep (voluntary context switches: one per wake-up) or was
    preempted."""
    sample = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        base = f"/proc/{pid}/task/{tid}"
        try:
            status = dict(line.split(":\t", 1) for line in Path(base, "status").read_text().splitlines()
                          if ":\t" in line)
            sample[int(tid)] = dict(
                name=Path(base, "comm").read_text().strip(),
                cpu_ns=int(Path(base, "schedstat").read_text().split()[0]),
                sleeps=int(status["voluntary_ctxt_switches"]),
                preempted=int(status["nonvoluntary_ctxt_switches"]))
        except (OSError, KeyError):
            continue  # a thread that ended between listing and reading
    return sample


def difference(before, after):
    """Totals over the threads of `after`; a thread new since `before`
    counts from zero."""
    total = dict(cpu_ns=0, sleeps=0, preempted=0)
    for tid, now in after.items():
        then = before.get(tid, dict(cpu_ns=0, sleeps=0, preempted=0))
        for key in total:
            total[key] += now[key] - then[key]
    return total


def key_values(text):
    return dict(line.strip().split("=", 1) for line in text.splitlines() if "=" in line)


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise BenchError(f"{what}: not within {timeout} s")
        time.sleep(0.05)


# --- the parts -----------------------------------------------------------------

def image_figures(host):
    """Size and imports of a host, from objdump -p."""
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(host)], check=True,
                          capture_output=True, text=True).stdout
    imports, current = {}, None
    for line in dump.splitlines():
        name = re.match(r"\s*DLL Name: (\S+)", line)
        if name:
            current = name.group(1)
            imports[current] = 0
        elif current and re.match(r"\s+[0-9a-f]+\s+\d+\s+\S+$", line):
            imports[current] += 1
        elif current and not line.strip():
            current = None
    if not imports:
        raise BenchError(f"no import table read from {host}")
    return dict(size=host.stat().st_size, imports=imports)


def build_baseline(revision, target):
    """The host of an earlier revision, copied to `target`: its tree from git
    archive, configured in a temporary directory with this tree's toolchain
    file and built (the host alone); the directory is removed afterwards.
    Returns the revision's short name."""
    commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", f"{revision}^{{commit}}"],
                            capture_output=True, text=True)
    if commit.returncode != 0:
        raise BenchError(f"no revision {revision}: {commit.stderr.strip()}")
    with tempfile.TemporaryDirectory(prefix="svcshim-baseline-") as temporary:
        source, build = Path(temporary, "source"), Path(temporary, "build")
        source.mkdir()
        archive = Path(temporary, "source.tar")
        for step in (["git", "-C", REPO, "archive", "--format=tar", "-o", archive, commit.stdout.strip()],
                     ["tar", "-xf", archive, "-C", source],
                     ["cmake", "-S", source, "-B", build, "-G", "Ninja",
                      "--toolchain", REPO / "cmake" / "mingw-w64.cmake", "-DCMAKE_BUILD_TYPE=Release",
                      f"-DSVCSHIM_DIST_DIR={Path(temporary, 'dist')}"],
                     ["cmake", "--build", build, "--target", "svcshim"]):
            run = subprocess.run([str(arg) for arg in step], capture_output=True, text=True)
            if run.returncode != 0:
                raise BenchError(f"building {revision}: {' '.join(map(str, step))}:\n{run.stdout}{run.stderr}")
        shutil.copyfile(Path(temporary, "dist", "svcshim.exe"), target)
    return commit.stdout.strip()


def remove_stale_services(session):
    """Services of an earlier, interrupted bench would keep their old paths
    (/install leaves an existing service alone): delete them first."""
    listing = session.wine("reg", "query", SERVICES_KEY).stdout
    stale = re.findall(r"\\Services\\(%sAlt|(?:%s|%s|%s\d+)Svc)\s*$" % (STAMP, STAMP, IDLE, SCALE), listing, re.M)
    for name in stale:
        log(f"deleting the service {name} left by an earlier run")
        session.sc("stop", name, timeout=60)
        session.sc("delete", name)


def install(session, host, name, query):
    session.run(host, "/install")
    record = key_values(session.wine(query, name).stdout)
    if record.get("binary_path", "").strip('"').lower() != host.lower():
        raise BenchError(f"/install did not register {name} for {host}: {record or 'missing'}")


def uninstall(session, host, name, query):
    session.run(host, "/uninstall")
    if session.wine(query, name).stdout.strip() != "missing":
        raise BenchError(f"/uninstall left the service {name}")


def start_latency(session, scratch, query, rounds, hosts):
    """Start times of the hosts of `hosts` ({label: Linux path}, one or two),
    each installed as a service beside the one child, interleaved round by
    round with bare starts of that child. Two copies of one host were not
    started equally fast in the two places (file and service name, order of
    install, place in bench_start's cycle): the one in the second place was
    the slower, by a median of 2 to 34 ms a round in the runs here. So with two
    hosts, half of the rounds run with them in one place each and the other
    half with the places swapped. Returns, in ms and in the same order of
    rounds, the bare starts under "bare_console" and "bare_plain", and under
    each label its starts and when StartServiceW returned; under "redone", the
    rounds bench_start ran again."""
    child = scratch.copy_helper("stamp_child", STAMP + ".exe")
    bench = scratch.copy_helper("bench_start")
    labels = list(hosts)
    arrangements = [labels] if len(labels) == 1 else [labels, labels[::-1]]
    starts = dict(bare_console=[], bare_plain=[], redone=[])
    starts.update({label: dict(service=[], returned=[]) for label in labels})
    for arrangement in arrangements:
        services = {}
        for place, label in zip(PLACES, arrangement):
            services[label] = (scratch.copy_host(place, hosts[label]), PureWindowsPath(place).stem)
            install(session, *services[label], query)
        part = rounds // len(arrangements)
        run = session.run(bench, child, part, *(name for _, name in services.values()),
                          timeout=60 + 5 * len(labels) * part)
        for host, name in services.values():
            uninstall(session, host, name, query)
        lines = run.stdout.splitlines()  # splitlines also drops the C runtime's \r
        errors = [line for line in lines if line.startswith("error=")]
        if run.exit_code != 0 or errors:
            raise BenchError(f"bench_start failed ({errors or run.exit_code}); see {run.out_path}")
        measured = [key_values(line.replace(" ", "\n")) for line in lines if line.startswith("round=")]
        if len(measured) != part:
            raise BenchError(f"bench_start printed {len(measured)} rounds of {part}; see {run.out_path}")
        starts["redone"] += [line for line in lines if line.startswith("redone=")]
        starts["bare_console"] += [int(r["bare_console_us"]) / 1000.0 for r in measured]
        starts["bare_plain"] += [int(r["bare_plain_us"]) / 1000.0 for r in measured]
        for number, label in enumerate(arrangement, 1):
            starts[label]["service"] += [int(r[f"service{number}_us"]) / 1000.0 for r in measured]
            starts[label]["returned"] += [int(r[f"returned{number}_us"]) / 1000.0 for r in measured]
    for line in starts["redone"]:
        log(f"start latency: a round run again after a failed start: {line}")
    return starts


def idle_host(session, scratch, query, stats, window):
    child = scratch.copy_helper("loop_child", IDLE + ".exe")
    host = scratch.copy_host(IDLE + "Svc.exe")
    sleeper = scratch.copy_helper("session_keeper", BASELINE)
    install(session, host, IDLE + "Svc", query)
    baseline = session.start(sleeper)
    try:
        started = session.sc("start", IDLE + "Svc")
        if started.exit_code != 0:
            raise BenchError(f"sc start {IDLE}Svc: {started.stdout}{started.stderr}")
        child_log = scratch.win_dir / (IDLE + ".exe.log")
        wait_for(lambda: child_log.exists() and "ready=yes" in child_log.read_text(), 30, "the idle child")
        record = key_values(session.wine(query, IDLE + "Svc").stdout)
        if record.get("state") != "4":
            raise BenchError(f"{IDLE}Svc is not running: {record}")
        pids = {"host": linux_pid(host), "child": linux_pid(child), "sleeper": linux_pid(sleeper)}
        time.sleep(1)  # let start-up work end before the window opens
        windows_before = key_values(session.wine(stats, record["pid"]).stdout)
        before = {who: thread_sample(pid) for who, pid in pids.items()}
        began = time.monotonic()
        time.sleep(window)
        after = {who: thread_sample(pid) for who, pid in pids.items()}
        measured_for = time.monotonic() - began
        windows_after = key_values(session.wine(stats, record["pid"]).stdout)
        still = key_values(session.wine(query, IDLE + "Svc").stdout)
        if still.get("state") != "4" or still.get("pid") != record["pid"]:
            raise BenchError(f"{IDLE}Svc did not keep running through the window: {still}")
        if windows_after.get("image", "").lower() != (IDLE + "Svc.exe").lower():
            raise BenchError(f"process_stats did not find the host: {windows_after}")
        if "user_100ns" not in windows_after or "user_100ns" not in windows_before:
            raise BenchError(f"GetProcessTimes failed on the host: {windows_after}")
        stopped = session.sc("stop", IDLE + "Svc")
        wait_for(lambda: not ({pids["host"], pids["child"]} & set(wine_processes())), 30,
                 "the idle host and child ending after sc stop")
        if key_values(session.wine(query, IDLE + "Svc").stdout).get("state") != "1":
            raise BenchError(f"{IDLE}Svc did not stop: sc stop said {stopped.stdout}{stopped.stderr}")
        if stopped.exit_code != 0:  # stopped all the same: the reply was lost (see bench_scale.cpp)
            log(f"sc stop {IDLE}Svc failed although the service stopped: {stopped.stdout.strip()}")
    finally:
        baseline.process.kill()  # the sleeper: a process this bench started
        baseline.process.wait()
    uninstall(session, host, IDLE + "Svc", query)

    def names(sample):
        return sorted(t["name"] for t in sample.values())

    def process_times_ms(sample):
        return (int(sample["user_100ns"]) + int(sample["kernel_100ns"])) / 10000.0
    return dict(
        window=measured_for,
        use={who: difference(before[who], after[who]) for who in pids},
        threads={who: names(after[who]) for who in pids},
        toolhelp_threads=int(windows_after["threads"]),
        process_times_ms=(process_times_ms(windows_before), process_times_ms(windows_after)))


def scale(session, scratch, count):
    root = scratch.win_dir / "scale"
    for i in range(1, count + 1):
        stem = f"{SCALE}{i:02d}"
        (root / stem).mkdir(parents=True)
        shutil.copyfile(helper_exe("loop_child"), root / stem / (stem + ".exe"))
        shutil.copyfile(host_exe(), root / stem / (stem + "Svc.exe"))
    bench = scratch.copy_helper("bench_scale")
    run = session.run(bench, to_windows_path(root), SCALE, count, timeout=600)
    out = run.stdout.replace("\r\n", "\n")  # the C runtime's text mode
    phases = {m.group(1): dict(seconds=int(m.group(2)) / 1000.0, failures=int(m.group(3)))
              for m in re.finditer(r"^phase=(\w+) ms=(\d+) failures=(\d+)$", out, re.M)}
    totals = key_values("\n".join(line for line in out.splitlines() if not line.startswith(("phase=", "failure="))))
    expected = {"failures", "left_running", "children_quit", "start_locked_retries", "start_failed_retries",
                "stop_broken_pipes"}
    if set(phases) != {"install", "start", "stop", "uninstall"} or not expected <= set(totals):
        raise BenchError(f"bench_scale printed no complete result (exit {run.exit_code}); see {run.out_path}")
    for line in out.splitlines():
        if line.startswith(("failure=", "left=", "broken_pipe=")):
            log(f"scale: {line}")
    return dict(count=count, phases=phases, failures=int(totals["failures"]),
                left=int(totals["left_running"]), quit=int(totals["children_quit"]),
                retries=int(totals["start_locked_retries"]),
                failed_starts=int(totals["start_failed_retries"]), broken_pipes=int(totals["stop_broken_pipes"]),
                exit_code=run.exit_code)


# --- the table -------------------------------------------------------------------

def machine():
    cpus = os.cpu_count()
    memory = next(int(line.split()[1]) for line in Path("/proc/meminfo").read_text().splitlines()
                  if line.startswith("MemTotal:"))
    debian = Path("/etc/debian_version").read_text().strip() if Path("/etc/debian_version").exists() else "?"
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return f"{cpus} CPUs ({platform.machine()}), {memory / 1048576:.1f} GiB, Debian {debian}, {wine}"


def count(n, one, many=None):
    return f"{n} {one if n == 1 else many or one + 's'}"


def summary(values):
    """The median, least and greatest of a figure measured round by round."""
    return dict(median=statistics.median(values), min=min(values), max=max(values))


def spread(figure, sign=""):
    return f"{figure['median']:{sign}.0f} ms (min {figure['min']:{sign}.0f}, max {figure['max']:{sign}.0f})"


def ratios(figure):
    return f"{figure['median']:.2f}x (min {figure['min']:.2f}, max {figure['max']:.2f})"


def start_figures(hosts, starts):
    """What start_latency's rounds come to: each start, the pair of bare
    starts, each host against that pair round by round, and the host under
    test (the last of `hosts`) against the baseline before it, if any."""
    console, plain = starts["bare_console"], starts["bare_plain"]
    pair = [c + p for c, p in zip(console, plain)]
    figures = dict(rounds=len(pair), redone=len(starts["redone"]), console=summary(console), plain=summary(plain),
                   pair=summary(pair), hosts={}, against=None)
    for label in hosts:
        hosted, returned = starts[label]["service"], starts[label]["returned"]
        figures["hosts"][label] = dict(start=summary(hosted), ratio=summary([h / b for h, b in zip(hosted, pair)]),
                                       returned=summary(returned),
                                       early=sum(r < h for r, h in zip(returned, hosted)))
    *others, tested = hosts
    if others:
        base, new = starts[others[0]]["service"], starts[tested]["service"]
        figures["against"] = dict(baseline=others[0], difference=summary([b - a for a, b in zip(base, new)]),
                                  ratio=summary([b / a for a, b in zip(base, new)]))
    return figures


def start_rows(hosts, started):
    rows = []
    n, again = started["rounds"], started["redone"]
    rows.append((f"bare starts of the child, {n} rounds"
                 + (f" ({count(again, 'round')} run again after a failed start)" if again else ""),
                 f"CREATE_NEW_CONSOLE, as the host starts its child: {spread(started['console'])}; no flags "
                 f"(no console is made for the host either): {spread(started['plain'])}",
                 "", f"the pair, added up round by round: {spread(started['pair'])}"))
    for label, figure in started["hosts"].items():
        rows.append((f"start latency, {label}: StartServiceW to the child's main on its console",
                     spread(figure["start"]), "the two bare starts of the same round",
                     f"{ratios(figure['ratio'])} two bare starts, round by round"))
    if started["against"]:
        against, tested = started["against"], list(hosts)[-1]
        baseline = against["baseline"]
        rows.append((f"start latency, {tested} against {baseline}", spread(against["difference"], "+"),
                     f"{baseline}'s start of the same round",
                     f"{ratios(against['ratio'])} {baseline}'s start, round by round"))
    for label, figure in started["hosts"].items():
        rows.append((f"StartServiceW returned, {label}", spread(figure["returned"]), "",
                     f"before the child's main was on its console in {figure['early']} of {n} starts"))
    return rows


def idle_rows(idle):
    host, sleeper, child = idle["use"]["host"], idle["use"]["sleeper"], idle["use"]["child"]

    def use(u):
        return f"{u['cpu_ns'] / 1e6:.3f} ms CPU, {u['sleeps']} wake-ups, {u['preempted']} preemptions"
    return [(f"host CPU while its child runs {idle['window']:.1f} s",
             f"{use(host)} (/proc, all threads); Wine's GetProcessTimes user+kernel: "
             f"{idle['process_times_ms'][0]:.0f} ms before, {idle['process_times_ms'][1]:.0f} ms after",
             f"a Wine process that only sleeps: {use(sleeper)}; the child (GetMessageW): {use(child)}",
             "idle" if host["sleeps"] <= idle["window"] else "WAKES UP: polling?"),
            ("host threads",
             f"{len(idle['threads']['host'])} in /proc ({', '.join(idle['threads']['host'])}); "
             f"{idle['toolhelp_threads']} in a toolhelp snapshot",
             f"a Wine process that only sleeps: {len(idle['threads']['sleeper'])}; "
             f"the child: {len(idle['threads']['child'])}",
             "wine_sechost_se(rvice) is Wine's own control thread"
             if "wine_sechost_se" in idle["threads"]["host"] else "")]


def image_rows(hosts):
    *others, tested = hosts
    baseline = others[0] if others else None
    image = hosts[tested]["image"]
    base = hosts[baseline]["image"] if baseline else None

    def imports(i):
        return ", ".join(f"{dll} ({count})" for dll, count in i["imports"].items())
    return [(f"executable size, {tested}", f"{image['size']:,} bytes",
             f"{baseline}: {base['size']:,} bytes" if base else "",
             f"{image['size'] - base['size']:+,} bytes" if base else ""),
            (f"imports, {tested}", imports(image), f"{baseline}: {imports(base)}" if base else "",
             "functions per DLL in ()")]


def scale_rows(scaled):
    rows = []
    phases = scaled["phases"]
    for phase in ("install", "start", "stop", "uninstall"):
        detail = {"install": f"{scaled['count']} x /install at once",
                  "start": f"StartServiceW x {scaled['count']}, until every child ran "
                           f"({count(scaled['retries'], 'retry', 'retries')} on 'database locked', "
                           f"{count(scaled['failed_starts'], 'retry', 'retries')} after Wine failed to start "
                           "the process)",
                  "stop": f"ControlService(STOP) x {scaled['count']}, until every host and child ended "
                          f"({scaled['quit']} children quit on WM_QUIT; {count(scaled['broken_pipes'], 'call')} "
                          "answered 'broken pipe' although the service stopped)",
                  "uninstall": f"{scaled['count']} x /uninstall at once, until no record was left"}[phase]
        rows.append((f"scale, {scaled['count']} services: {phase}",
                     f"{phases[phase]['seconds']:.1f} s wall", detail,
                     count(phases[phase]["failures"], "failure")))
    rows.append((f"scale, {scaled['count']} services: total", "",
                 f"left running afterwards: {scaled['left']}", count(scaled["failures"], "failure")))
    return rows


def table(hosts, started, idle, scaled, quick, load):
    """The measured figures printed as one Markdown table. `hosts`: {label:
    dict(path, source, image)}, the baseline first when there is one, the host
    under test last; `started`: start_figures."""
    rows = start_rows(hosts, started) + idle_rows(idle) + image_rows(hosts) + scale_rows(scaled)
    header = ("figure", "measured", "baseline, same run", "comparison")
    commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip() or "?"
    # Markdown as it stands: the lines above the table in a code block, so
    # that the whole output can go into docs/performance.md unchanged.
    lines = ["```",
             f"svcshim bench{' (quick)' if quick else ''}, {datetime.date.today().isoformat()}, "
             f"commit {commit}: {machine()}",
             f"load average before and after: {load[0]} / {load[1]}",
             "hosts: " + "; ".join(f"{label} {host['path']}" for label, host in reversed(hosts.items())),
             "```",
             "",
             "| " + " | ".join(header) + " |",
             "| " + " | ".join("---" for _ in header) + " |"]
    lines += ["| " + " | ".join(cell.replace("|", "/") for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def load_average():
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="3 start rounds of this host alone, a 5 s idle window, 5 services "
                             "(well under a minute)")
    parser.add_argument("--baseline", metavar="REV",
                        help="the revision whose host is measured beside this one, built here "
                             f"(default: {LEAST_HOST}; none with --quick unless given)")
    parser.add_argument("--beside", metavar="N", type=int, default=0,
                        help="N more files beside the program in the start rounds (each judged at every start)")
    args = parser.parse_args()
    rounds, window, count = (3, 5, 5) if args.quick else (96, 10, 50)

    began = time.monotonic()
    load = [load_average()]
    scratch = make_scratch("bench-quick" if args.quick else "bench")
    hosts = {}
    if args.baseline:
        log(f"building the host of {args.baseline}")
        path = scratch.dir / "old-svcshim.exe"
        commit = build_baseline(args.baseline, path)
        hosts[f"the host of {commit}"] = dict(path="built in this run from git archive", source=path)
    elif not args.quick:
        hosts[LEAST_HOST] = dict(path=helper_exe("least_host"), source=helper_exe("least_host"))
    hosts["the host"] = dict(path=host_exe(), source=host_exe())
    for host in hosts.values():
        host["image"] = image_figures(host["source"])
    query = scratch.copy_helper("service_query")
    stats = scratch.copy_helper("process_stats")
    problems = []
    with start_session(scratch) as session:
        remove_stale_services(session)
        before = set(wine_processes().items())
        for number in range(args.beside):
            (scratch.win_dir / f"beside{number:03}.dll").write_bytes(b"MZ")
        log(f"start latency: {rounds} rounds of {len(hosts) + 2} starts, {args.beside} more files beside the program")
        starts = start_latency(session, scratch, query, rounds,
                               {label: host["source"] for label, host in hosts.items()})
        log(f"idle host: a {window} s window")
        idle = idle_host(session, scratch, query, stats, window)
        log(f"scale: {count} services")
        scaled = scale(session, scratch, count)
        # Nothing of the bench may outlive it: every Wine process now running
        # was running before it began (the session's own: service manager,
        # device and plug-and-play services).
        time.sleep(0.5)
        left = sorted(image for pid, image in set(wine_processes().items()) - before)
        load.append(load_average())
    print(table(hosts, start_figures(hosts, starts), idle, scaled, args.quick, load))

    if scaled["failures"] or scaled["left"] or scaled["exit_code"]:
        problems.append(f"scale: {scaled['failures']} failures, {scaled['left']} processes left")
    if idle["use"]["host"]["sleeps"] > idle["window"]:
        problems.append(f"the idle host woke {idle['use']['host']['sleeps']} times in {idle['window']:.0f} s")
    if left:
        problems.append("left running: " + ", ".join(left))
    print(f"\nbench: {time.monotonic() - began:.0f} s, {'FAILED: ' + '; '.join(problems) if problems else 'no failures'}")
    return 1 if problems else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as error:
        print(f"bench: FAILED: {error}", file=sys.stderr)
        sys.exit(1)

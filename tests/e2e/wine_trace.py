"""Turns Wine's debug trace back into the events and box texts it shows.

Wine 8 has no event log of its own: with WINEDEBUG=+timestamp,+pid,
fixme+advapi,trace+eventlog (and warn+eventlog) its advapi32 stubs print what
the program asked for, one line each, prefixed by time, process id and thread
id (hex):

  1457.636:0020:0024:fixme:advapi:RegisterEventSourceW ((null),L"notepadSvc"): stub
  1457.636:0020:0024:fixme:advapi:ReportEventW (00000000CAFE4242,0x0004,0x0000,0x00000000,0000000000000000,0x0001,0x00000000,000000000021FCA8,0000000000000000): stub
  1457.636:0020:0024:trace:eventlog:ReportEventW L"Register Service Main Function Error!"
  1457.636:0020:0024:fixme:advapi:DeregisterEventSource (00000000CAFE4242) stub

ReportEventW's fixme line gives handle, type, category, event id, user SID,
string count, data size; then each string follows as a line of its own
(channel eventlog; class trace for information events, warn or err for the
other types). RegisterEventSourceW always hands out the same handle value, so
an event belongs to the source registered last on the same thread.

With trace+msgbox, a message box prints its text (not its caption) as
``trace:msgbox:MSGBOX_OnInit L"..."`` when it opens.

Strings are printed by Wine's debugstr_wn: inside L"...", the units \\n, \\r,
\\t, \\" and \\\\ are written as those escapes, every other unit below 0x20
or from 0x7f up as a backslash and four lowercase hex digits (a surrogate pair
as two such escapes). The output is cut when it reaches about 290 characters;
a cut string ends in "... after its closing quote. A cut text is kept as the
prefix it is, and marked truncated.

Every service writes to the session's one standard error, so a record need
not begin a line. Wine's debug channels write each record whole, newline
included, in one write(); but other output is not written that way: a thread
that loses the server prints "wine client error:NNN: " in one write and the
reason (perror's "read: Connection reset by peer") in another, and a record
of another process lands between them:

  wine client error:388: 546.932:0374:032c:fixme:advapi:RegisterEventSourceW ((null),L"soak_loopSvc"): stub

So a record is read wherever it begins in its line, and what stands before
it is not ours. A line that names one of the functions read here but holds
no record that reads fails the parse, as does an event whose source is not
known: a lost line would otherwise drop an event from its source's list.
"""

import re
from dataclasses import dataclass, field
from typing import List, Optional


class TraceFormatError(ValueError):
    """A line looked like one of ours but did not read as Wine prints it."""


class TruncatedText(ValueError):
    """The exact text was asked for, but Wine's trace shows only its start."""


# [timestamp:]pid:tid:class:channel:function message, where it begins in the line
_RECORD = re.compile(
    r"(?<![0-9a-f.])(?:(?P<time>\d+\.\d+):)?(?P<pid>[0-9a-f]{4,8}):(?P<tid>[0-9a-f]{4,8}):"
    r"(?P<cls>fixme|err|warn|trace):(?P<channel>[A-Za-z0-9_]+):(?P<function>[A-Za-z0-9_]+) (?P<message>.*)$"
)
# What names a record that parse_trace reads.
_OURS = re.compile(r":(?:advapi:(?:RegisterEventSourceW|ReportEventW|DeregisterEventSource)|eventlog:ReportEventW"
                   r"|msgbox:)")

_SIMPLE_ESCAPES = {"n": 0x0A, "r": 0x0D, "t": 0x09, '"': 0x22, "\\": 0x5C}
_HEX4 = re.compile(r"[0-9a-fA-F]{4}")


def decode_debugstr(line: str, pos: int = 0):
    """Reads one L"..." string of debugstr_wn starting at line[pos].

    Returns (text, end, truncated): the UTF-16 text as a Python str (surrogate
    pairs joined, lone surrogates kept as they are), the index just past the
    string (and past a "..." cut mark), and whether Wine cut the string.
    "(null)" reads as None.
    """
    if line.startswith("(null)", pos):
        return None, pos + len("(null)"), False
    if not line.startswith('L"', pos):
        raise TraceFormatError(f"no L\"...\" string at column {pos}: {line!r}")
    units = []
    i = pos + 2
    while True:
        if i >= len(line):
            raise TraceFormatError(f"unterminated string: {line!r}")
        ch = line[i]
        if ch == '"':
            i += 1
            break
        if ch == "\\":
            escape = line[i + 1:i + 2]
            if escape in _SIMPLE_ESCAPES:
                units.append(_SIMPLE_ESCAPES[escape])
                i += 2
            elif _HEX4.fullmatch(line[i + 1:i + 5]):
                units.append(int(line[i + 1:i + 5], 16))
                i += 5
            else:
                raise TraceFormatError(f"unknown escape at column {i}: {line!r}")
        else:
            if not " " <= ch < "\x7f":
                raise TraceFormatError(f"unescaped character {ch!r} at column {i}: {line!r}")
            units.append(ord(ch))
            i += 1
    truncated = line.startswith("...", i)
    if truncated:
        i += 3
    text = b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le", "surrogatepass")
    return text, i, truncated


@dataclass
class TraceLine:
    timestamp: Optional[float]  # seconds, Wine's clock; None without +timestamp
    pid: int
    tid: int
    cls: str  # fixme, err, warn, trace
    channel: str
    function: str
    message: str


def parse_line(raw: str) -> Optional[TraceLine]:
    """The debug record (with +pid) in a line, wherever it begins, or None
    for a line without one (program output, Wine's start-up notes). A line
    that names a function read here but holds no record raises."""
    text = raw.rstrip("\r\n")
    m = _RECORD.search(text)
    if not m:
        if _OURS.search(text):
            raise TraceFormatError(f"a record that does not read: {raw!r}")
        return None
    return TraceLine(
        timestamp=float(m["time"]) if m["time"] else None,
        pid=int(m["pid"], 16),
        tid=int(m["tid"], 16),
        cls=m["cls"],
        channel=m["channel"],
        function=m["function"],
        message=m["message"],
    )


@dataclass
class Event:
    source: str  # from RegisterEventSourceW on the same thread (or the process's only other one)
    type: int
    category: int
    event_id: int
    count: int  # strings the program passed
    strings: List[str] = field(default_factory=list)  # as far as the trace shows them
    truncated: bool = False  # a string or the source name was cut by Wine's trace
    handle: int = 0
    pid: int = 0
    tid: int = 0
    timestamp: Optional[float] = None

    @property
    def complete(self) -> bool:
        """All strings have been seen (a log still being written may end
        between the fixme line and the string lines)."""
        return len(self.strings) == self.count

    @property
    def text(self) -> str:
        """The one string of a one-string event, exactly; raises rather than
        return a text Wine cut short."""
        if self.count != 1 or not self.complete:
            raise ValueError(f"event has {len(self.strings)} of {self.count} strings, not one: {self}")
        if self.truncated:
            raise TruncatedText(f"trace shows only the start of this event: {self}")
        return self.strings[0]


@dataclass
class BoxText:
    text: str
    truncated: bool
    pid: int
    tid: int
    timestamp: Optional[float]
    function: str


@dataclass
class Trace:
    lines: List[TraceLine]
    events: List[Event]
    boxes: List[BoxText]

    def events_from(self, source: str) -> List[Event]:
        return [e for e in self.events if e.source == source]


_REPORT_ARGS = re.compile(r"^\(([^)]*)\): stub$")


def _parse_report_event(message: str):
    m = _REPORT_ARGS.match(message)
    fields = m.group(1).split(",") if m else []
    if len(fields) != 9:
        raise TraceFormatError(f"ReportEventW line with unexpected arguments: {message!r}")
    handle, etype, category, event_id, _sid, count, _size, _strings, _data = fields
    return int(handle, 16), int(etype, 16), int(category, 16), int(event_id, 16), int(count, 16)


def _parse_register(message: str):
    # ((null),L"name"): stub  or  (L"server",L"name"): stub
    if not message.startswith("("):
        raise TraceFormatError(f"RegisterEventSourceW line: {message!r}")
    _server, pos, _ = decode_debugstr(message, 1)
    if not message.startswith(",", pos):
        raise TraceFormatError(f"RegisterEventSourceW line: {message!r}")
    name, _, truncated = decode_debugstr(message, pos + 1)
    return name, truncated


def parse_trace(text: str) -> Trace:
    """Parses a whole trace log (several processes and threads may be
    interleaved line by line)."""
    lines: List[TraceLine] = []
    events: List[Event] = []
    boxes: List[BoxText] = []
    sources = {}  # (pid, tid) -> (name, truncated): registered, not yet deregistered
    pending = {}  # (pid, tid) -> Event still waiting for string lines

    for raw in text.split("\n"):
        line = parse_line(raw)
        if line is None:
            continue
        lines.append(line)
        thread = (line.pid, line.tid)

        if line.channel == "eventlog" and line.function == "ReportEventW" and line.message.startswith('L"'):
            event = pending.get(thread)
            if event is None:
                raise TraceFormatError(f"event string without its ReportEventW line: {raw!r}")
            string, _, truncated = decode_debugstr(line.message)
            event.strings.append(string)
            event.truncated |= truncated
            if event.complete:
                del pending[thread]
            continue

        # Any other line of the thread ends the strings of its open event.
        pending.pop(thread, None)

        if line.channel == "advapi" and line.function == "RegisterEventSourceW":
            sources[thread] = _parse_register(line.message)
        elif line.channel == "advapi" and line.function == "DeregisterEventSource":
            sources.pop(thread, None)
        elif line.channel == "advapi" and line.function == "ReportEventW":
            handle, etype, category, event_id, count = _parse_report_event(line.message)
            source, source_cut = sources.get(thread, (None, False))
            if source is None:
                # A handle registered on another thread of the process: only
                # if that is unambiguous.
                others = {v for (pid, _), v in sources.items() if pid == line.pid}
                if len(others) != 1:
                    raise TraceFormatError(f"an event whose source is not known: {raw!r}")
                source, source_cut = others.pop()
            event = Event(source=source, type=etype, category=category, event_id=event_id, count=count,
                          truncated=source_cut, handle=handle, pid=line.pid, tid=line.tid,
                          timestamp=line.timestamp)
            events.append(event)
            if count > 0:
                pending[thread] = event
        elif line.channel == "msgbox" and line.message.startswith('L"'):
            box_text, _, truncated = decode_debugstr(line.message)
            boxes.append(BoxText(text=box_text, truncated=truncated, pid=line.pid, tid=line.tid,
                                 timestamp=line.timestamp, function=line.function))

    return Trace(lines=lines, events=events, boxes=boxes)


def parse_trace_file(path) -> Trace:
    with open(path, "rb") as f:
        # Wine's own output is ASCII; anything else in the log is not ours.
        return parse_trace(f.read().decode("utf-8", "replace"))

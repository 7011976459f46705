"""The trace parser against what Wine really prints, and the harness's
session log against a process the service manager starts."""

import unittest

from wine_harness import helper_exe, make_scratch, start_session
from wine_trace import TraceFormatError, TruncatedText, parse_trace

SOURCE = "e2e trace \u4e2d\u6587"

# Texts whose every unit must come back exactly from Wine's escapes.
EXACT_TEXTS = [
    "Register Service Main Function Error!",
    'back\\slash "quoted" \\0041 not an escape',
    "line one\nline two\r\n\ttabbed",
    "controls \x01\x1b\x1f del \x7f c1 \x80\x9f nbsp \xa0 end",
    "caf\xe9 \u4e2d\u6587 \u65e5\u672c\u8a9e",
    "pair \U0001F600 and \U00020000",
    "lone \ud83d high, lone \ude00 low",
    "ends with a newline\n",
    "",
    "%s %% %d",
    "a" * 255,  # the longest text one event carries, all ASCII: shown whole
    "\u4e2d" * 57,
]

# Texts Wine cuts: the parser keeps the start and says so.
CUT_TEXTS = [
    "b" * 300,
    "\u6587" * 255,
]


class RealTrace(unittest.TestCase):
    """Events reported by a helper with known texts, read back from Wine's trace."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = make_scratch("trace-parser")
        reporter = cls.scratch.copy_helper("event_reporter")
        texts = cls.scratch.write_utf16("texts.bin", "".join(t + "\0" for t in [SOURCE] + EXACT_TEXTS + CUT_TEXTS))
        with start_session(cls.scratch) as session:
            cls.run_result = session.run(reporter, texts)
        cls.events = cls.run_result.events()

    def test_each_text_comes_back_exactly_under_its_source(self):
        self.assertEqual(self.run_result.exit_code, 0)
        self.assertEqual(len(self.events), len(EXACT_TEXTS) + len(CUT_TEXTS), self.run_result.log_path)
        for expected, event in zip(EXACT_TEXTS, self.events):
            with self.subTest(text=expected[:40]):
                self.assertEqual((event.source, event.type, event.category, event.event_id, event.count),
                                 (SOURCE, 4, 0, 0, 1))
                self.assertFalse(event.truncated)
                self.assertEqual(event.text, expected)

    def test_cut_texts_are_marked_and_keep_their_start(self):
        for expected, event in zip(CUT_TEXTS, self.events[len(EXACT_TEXTS):]):
            with self.subTest(text=expected[:10]):
                self.assertTrue(event.truncated)
                shown = event.strings[0]
                self.assertTrue(expected.startswith(shown) and 0 < len(shown) < len(expected), shown)
                with self.assertRaises(TruncatedText):
                    event.text


class ServiceTraceInSessionLog(unittest.TestCase):
    """A process started by the service manager writes into the session log,
    not into the stderr of the `sc start` that asked for it."""

    def test_service_process_events_reach_the_session_log(self):
        scratch = make_scratch("trace-session-log")
        reporter = scratch.copy_helper("event_reporter")
        texts = scratch.write_utf16("texts.bin", "e2eTraceSvc\0started by the service manager\0")
        with start_session(scratch) as session:
            created = session.sc("create", "e2eTraceSvc", "binPath=", f"{reporter} {texts}")
            self.assertEqual(created.exit_code, 0, created.stdout + created.stderr)
            try:
                # The helper never talks to the service manager: the start fails,
                # but only after the process has run.
                session.sc("start", "e2eTraceSvc", timeout=90)
                event = session.wait_for_event("e2eTraceSvc", "started by the service manager", timeout=30)
                self.assertEqual((event.type, event.count), (4, 1))
            finally:
                session.sc("delete", "e2eTraceSvc")


def _line(pid, tid, rest, time="100.000"):
    return f"{time}:{pid:04x}:{tid:04x}:{rest}"


def _register(pid, tid, name):
    return _line(pid, tid, f'fixme:advapi:RegisterEventSourceW ((null),L"{name}"): stub')


def _report(pid, tid, etype=4, count=1):
    return _line(pid, tid, f"fixme:advapi:ReportEventW (00000000CAFE4242,0x{etype:04x},0x0000,0x00000000,"
                           f"0000000000000000,0x{count:04x},0x00000000,000000000021FCA8,0000000000000000): stub")


def _string(pid, tid, literal, cls="trace"):
    return _line(pid, tid, f"{cls}:eventlog:ReportEventW {literal}")


def _deregister(pid, tid):
    return _line(pid, tid, "fixme:advapi:DeregisterEventSource (00000000CAFE4242) stub")


class InterleavedLog(unittest.TestCase):
    """A session log holds several processes and threads line by line; each
    event must keep its own thread's source and strings."""

    def test_events_follow_their_own_thread(self):
        log = "\n".join([
            "it looks like wine32 is missing, you should install it.",
            _register(0x20, 0x24, "alpha"),
            _register(0x30, 0x34, "beta"),
            _report(0x20, 0x24),
            _report(0x30, 0x34, count=2),
            _string(0x30, 0x34, 'L"beta one"'),
            _string(0x20, 0x24, 'L"alpha \\4e2d"'),
            _string(0x30, 0x34, 'L"beta two"'),
            _report(0x20, 0x28),  # another thread of alpha's process uses its handle
            _string(0x20, 0x28, 'L"alpha again"'),
            _report(0x30, 0x34, etype=1),
            _string(0x30, 0x34, 'L"beta error"', cls="err"),
        ])
        events = parse_trace(log).events
        self.assertEqual([(e.source, e.pid, e.tid, e.type, e.strings) for e in events], [
            ("alpha", 0x20, 0x24, 4, ["alpha \u4e2d"]),
            ("beta", 0x30, 0x34, 4, ["beta one", "beta two"]),
            ("alpha", 0x20, 0x28, 4, ["alpha again"]),
            ("beta", 0x30, 0x34, 1, ["beta error"]),
        ])
        self.assertEqual(events[0].timestamp, 100.0)

    def test_a_record_behind_another_processs_unfinished_line(self):
        # As Wine wrote it in a soak: a process losing the server printed the
        # start of its message, and another process's record landed after it.
        log = "\n".join([
            'wine client error:388: 546.932:0374:032c:fixme:advapi:RegisterEventSourceW ((null),L"soak_loopSvc"): stub',
            _report(0x374, 0x32c),
            _string(0x374, 0x32c, 'L"Service stopped"'),
            "read: Connection reset by peer",
        ])
        (event,) = parse_trace(log).events
        self.assertEqual((event.source, event.pid, event.text), ("soak_loopSvc", 0x374, "Service stopped"))

    def test_a_record_lost_or_unreadable_fails_the_parse(self):
        for lines in ([_register(0x20, 0x24, "alpha"), _deregister(0x20, 0x24), _report(0x20, 0x24)],
                      [_report(0x20, 0x24)],
                      ["0024:fixme:advapi:RegisterEventSourceW ((null),L\"alpha\"): stub"]):
            with self.subTest(last=lines[-1][:50]):
                with self.assertRaises(TraceFormatError):
                    parse_trace("\n".join(lines))

    def test_a_log_cut_before_the_strings_leaves_the_event_incomplete(self):
        events = parse_trace("\n".join([_register(0x20, 0x24, "alpha"), _report(0x20, 0x24)])).events
        self.assertEqual(len(events), 1)
        self.assertFalse(events[0].complete)
        with self.assertRaises(ValueError):
            events[0].text

    def test_unknown_escape_is_an_error_not_a_guess(self):
        for literal in ['L"\\x41"', 'L"\\101"', 'L"\\12"', 'L"no end']:
            with self.subTest(literal=literal):
                log = "\n".join([_register(0x20, 0x24, "alpha"), _report(0x20, 0x24), _string(0x20, 0x24, literal)])
                with self.assertRaises(TraceFormatError):
                    parse_trace(log)

    def test_message_box_texts(self):
        log = _line(0x20, 0x24, 'trace:msgbox:MSGBOX_OnInit L"Caf\\00e9 \\4e2d \\"q\\" a\\\\b\\nline2"')
        boxes = parse_trace(log).boxes
        self.assertEqual([(b.text, b.truncated) for b in boxes], [('Caf\xe9 \u4e2d "q" a\\b\nline2', False)])


if __name__ == "__main__":
    unittest.main()

"""SplitPath, compiled into a helper, against the C runtime's _wsplitpath_s
under Wine (msvcrt.dll, the runtime the host links) on generated paths."""

import re
import unittest

from wine_harness import make_scratch, start_session

LEAST_COMPARED = 2000


class SplitPathAgainstRuntime(unittest.TestCase):
    def test_agrees_on_every_generated_path(self):
        scratch = make_scratch("split-path")
        check = scratch.copy_helper("split_path_check")
        with start_session(scratch) as session:
            run = session.run(check, 3000, timeout=120)
        output = run.stdout
        summary = re.search(r"^paths (\d+) compared (\d+) mismatches (\d+) runtime-errors (\d+)\s*$", output,
                            re.MULTILINE)
        self.assertIsNotNone(summary, f"no closing count line; output in {run.out_path}")
        _, compared, mismatches, _ = map(int, summary.groups())
        self.assertEqual(mismatches, 0, "\n".join(output.splitlines()[:40]))
        self.assertGreaterEqual(compared, LEAST_COMPARED)
        self.assertEqual(run.exit_code, 0, output[-2000:])


if __name__ == "__main__":
    unittest.main()

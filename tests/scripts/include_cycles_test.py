#!/usr/bin/env python3
"""The include-cycle check on tiny trees: which trees fail, and that it names the cycle."""

import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                     "include_cycles.py")


def run_on(files):
    """Writes {path: text} into a fresh tree and runs the check on it."""
    with tempfile.TemporaryDirectory() as tree:
        for path, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
            with open(os.path.join(tree, path), "w") as out:
                out.write(text)
        done = subprocess.run([sys.executable, CHECK, tree], capture_output=True, text=True)
        return done.returncode, done.stdout


def reported_cycle(output):
    """"a -> b -> a" from the edge lines ("  a -> b  (why)") of the first cycle reported."""
    edges = [line.split() for line in output.splitlines()[1:] if line.startswith("  ")]
    return " -> ".join([edge[0] for edge in edges] + [edges[-1][2]])


# Each case: a tree, and the cycle the check must report (None: it must pass).
CASES = {
    "a header and its own source are one component": (
        {"dravo/src/core/a.hpp": "",
         "dravo/src/core/a.cpp": '#include "core/a.hpp"\n#include "a.hpp"\n'},
        None),
    "a chain through every root is no cycle": (
        {"dravo/src/core/a.cpp": '#include "shell/b.hpp"\n#include <string>\n',
         "dravo/src/shell/b.hpp": '#include "platform/c.hpp"\n',
         "platform/c.hpp": '#include "protocol/d.hpp"\n',
         "protocol/d.hpp": "",
         "tests/road/t.cpp": '#include "fakes/f.hpp"\n#include "core/a.hpp"\n',
         "tests/fakes/f.hpp": '#include "pelko.h"\n',
         "pelko/include/pelko.h": ""},
        None),
    "sources that include each other's headers form a cycle": (
        {"dravo/src/core/server.hpp": "", "dravo/src/core/server.cpp": '#include "shell/shell.hpp"\n',
         "dravo/src/shell/shell.hpp": "", "dravo/src/shell/shell.cpp": '#include "core/server.hpp"\n'},
        "dravo/src/core/server -> dravo/src/shell/shell"),
    "a cycle through the own folder and the project root": (
        {"platform/x.hpp": '  #  include "y.hpp"\n',
         "platform/y.cpp": '#include "platform/z.hpp"\n', "platform/y.hpp": "",
         "platform/z.hpp": '#include "x.hpp"\n'},
        "platform/x -> platform/y -> platform/z -> platform/x"),
    # Resolved against the other library first, dravo's b would need pelko's a, which needs b.
    "a name both libraries define resolves to the including library's own": (
        {"dravo/src/core/b.hpp": '#include "core/a.hpp"\n', "dravo/src/core/a.hpp": "",
         "pelko/src/core/a.hpp": '#include "core/b.hpp"\n'},
        None),
    # Taken by file name alone, the two util components would need each other.
    "same names in two folders are two components": (
        {"tests/fakes/util.hpp": '#include "support/helper.hpp"\n',
         "tests/support/helper.hpp": '#include "support/util.hpp"\n',
         "tests/support/util.hpp": "", "tests/support/util.cpp": '#include "util.hpp"\n'},
        None),
    "a commented-out or bracketed include is no dependency": (
        {"dravo/src/a/x.hpp": '// #include "b/y.hpp"\n#include <b/y.hpp>\n',
         "dravo/src/b/y.hpp": '#include "a/x.hpp"\n'},
        None),
}


class IncludeCycles(unittest.TestCase):
    def test_cases(self):
        for name, (files, cycle) in CASES.items():
            with self.subTest(name):
                status, output = run_on(files)
                if cycle is None:
                    self.assertEqual(status, 0, output)
                    self.assertIn("no include cycles", output)
                else:
                    self.assertEqual(status, 1, output)
                    self.assertIn("include cycle among", output)
                    self.assertIn(cycle, reported_cycle(output))

    def test_names_the_file_that_closes_the_cycle(self):
        status, output = run_on({"dravo/src/a/x.hpp": "", "dravo/src/a/x.cpp": '#include "b/y.hpp"\n',
                                 "dravo/src/b/y.hpp": '#include "a/x.hpp"\n'})
        self.assertEqual(status, 1)
        self.assertIn('dravo/src/a/x.cpp includes "b/y.hpp"', output)
        self.assertIn('dravo/src/b/y.hpp includes "a/x.hpp"', output)


if __name__ == "__main__":
    unittest.main()

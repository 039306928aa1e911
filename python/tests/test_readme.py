"""The README's Python examples, run in order as one script against the
built module, so that the README fails the tests when it goes stale."""

import os
import pathlib
import re
import unittest

SOURCE_DIR = pathlib.Path(os.environ.get("VOSTREL_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parents[2]))
README = SOURCE_DIR / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def readme_script(text):
    """The fenced python blocks of `text` joined into one script, each at its
    own line number, so that a traceback points into the README."""
    lines = []
    for block in FENCE.finditer(text):
        first = text.count("\n", 0, block.start(1))
        lines += [""] * (first - len(lines))
        lines += block.group(1).splitlines()
    return "\n".join(lines) + "\n"


class ReadmeExamples(unittest.TestCase):
    def test_blocks_run_as_one_script(self):
        text = README.read_text(encoding="utf-8")
        script = readme_script(text)
        self.assertGreaterEqual(len(FENCE.findall(text)), 2)
        exec(compile(script, str(README), "exec"), {"__name__": "readme"})


if __name__ == "__main__":
    unittest.main()

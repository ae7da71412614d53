"""The examples are what a new user runs first: each must run to its end."""
import os
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


@pytest.mark.parametrize("name, needs", [("blog.py", None), ("sqlite_host.py", None),
                                         ("blog_end_to_end.py", "mongomock_ng")])
def test_example_runs(name, needs):
    if needs:
        pytest.importorskip(needs)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True, env=env,
                         timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip()

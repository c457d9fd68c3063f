import os
import subprocess

import pytest

murel = pytest.importorskip("murel")


@pytest.fixture(scope="session")
def cli():
    """Runs the murel command line built beside the module."""
    program = os.environ["MUREL"]

    def run(*args):
        return subprocess.run([program, *map(str, args)], check=True, capture_output=True, text=True)

    return run

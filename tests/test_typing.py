"""The type stubs: stubtest compares them with the compiled module; mypy --strict accepts typical
use of the package, and rejects a wrong call."""

import os
import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).parent / "typing" / "uses_the_api.py"


def run_mypy(folder, *arguments):
    # run in a scratch folder, where any cache mypy keeps is left
    return subprocess.run(
        [sys.executable, "-m", *arguments],
        capture_output=True,
        text=True,
        cwd=folder,
        env={**os.environ, "MYPY_CACHE_DIR": os.devnull},
    )


def test_stubs_match_the_native_module(tmp_path):
    result = run_mypy(tmp_path, "mypy.stubtest", "tarna_mesh._tarna_mesh")
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_accepts_the_api_and_rejects_a_wrong_call(tmp_path):
    result = run_mypy(tmp_path, "mypy", "--strict", "--ignore-missing-imports", "--no-incremental", str(EXAMPLE))
    assert result.returncode == 0, result.stdout
    wrong = tmp_path / "wrong.py"
    wrong.write_text("from tarna_mesh import Mesher\nMesher().get('seven')\n")
    result = run_mypy(tmp_path, "mypy", "--strict", "--no-incremental", str(wrong))
    assert result.returncode == 1 and 'incompatible type "str"' in result.stdout

"""The hand-written stub matches the built module, and the package type-checks strictly."""
import os
import pathlib
import subprocess
import sys

import pytest

import _tolq

pytest.importorskip("mypy")

PYTHON_DIR = pathlib.Path(__file__).resolve().parent.parent / "python"


def run_mypy_tool(args, tmp_path):
    env = dict(os.environ, MYPYPATH=str(PYTHON_DIR), PYTHONPATH=os.pathsep.join(
        [os.path.dirname(_tolq.__file__), *filter(None, [os.environ.get("PYTHONPATH")])]))
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=600)


def test_stubtest(tmp_path):
    result = run_mypy_tool(["mypy.stubtest", "_tolq", "--allowlist",
                            str(PYTHON_DIR / "stubtest_allowlist.txt")], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_is_strictly_typed(tmp_path):
    result = run_mypy_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                            "-p", "tolq", "-m", "_tolq"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr

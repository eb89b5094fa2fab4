"""Every python block of README.md runs, each alone, and so does its command-line block."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tolq
from builders import child_env

README = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README, flags=re.M | re.S)


def commands(block):
    """The block's commands without their comments, continuation lines joined."""
    text = re.sub(r"\\\n\s*", " ", block)
    return [line.split("#")[0].strip() for line in text.splitlines() if line.strip()]


CLI = [b for b in blocks("sh") if all(c.startswith("python -m tolq") for c in commands(b))]


def test_the_readme_has_the_blocks_it_promises():
    assert len(blocks("python")) >= 6 and len(CLI) == 1


@pytest.mark.parametrize("code", blocks("python"),
                         ids=lambda code: code.splitlines()[-1][:40])
def test_python_block_runs_alone(code, tmp_path, monkeypatch, capsys):
    for module in ("sklearn",):
        if f"from {module}" in code or f"import {module}" in code:
            pytest.importorskip(module)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {"__name__": "__readme__"})
    assert capsys.readouterr().out  # every block shows something


def test_command_line_block_runs(tmp_path):
    # The shell finds `python` beside this interpreter, which imports this tolq.
    env = dict(child_env(), PATH=os.pathsep.join([os.path.dirname(sys.executable),
                                                  os.environ.get("PATH", "")]))
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", CLI[0]], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert tolq.Model.load(tmp_path / "model.json").categorical == ("store",)
    assert len((tmp_path / "predictions.csv").read_text().splitlines()) == 5001
    assert tolq.Model.load(tmp_path / "found.json").expression in done.stdout

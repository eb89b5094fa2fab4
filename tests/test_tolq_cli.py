"""``python -m tolq`` end to end, in a child process, on small CSV files."""
import csv
import ctypes
import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest

import tolq
from builders import EXPR, python_child


def run(*args, cwd, preexec_fn=None, first=()):
    return python_child("-m", "tolq", *args, first=first, cwd=cwd, timeout=120,
                        preexec_fn=preexec_fn)


def write_csv(path, header, rows):
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)


def untrained_model(path):
    tolq.Model.from_expression("linear(x0, store)", categorical=["store"]).save(path)


@pytest.fixture
def folder(tmp_path):
    rng = np.random.default_rng(3)
    n = 300
    x0, x1 = rng.uniform(-2, 2, n), rng.uniform(-2, 2, n)
    store = rng.choice(["north", "south", "east"], n)
    y = np.sin(x0 * x1) + (store == "north")
    write_csv(tmp_path / "data.csv", ["x0", "x1", "store", "y"],
              [[repr(float(a)), repr(float(b)), s, repr(float(t))]
               for a, b, s, t in zip(x0, x1, store, y)])
    return tmp_path


def test_fit_then_predict(folder):
    fit = run("fit", "data.csv", "--target", "y", "--expr", EXPR, "--categorical", "store",
              "--epochs", "3", "--no-progress", "--out", "model.json", cwd=folder)
    assert fit.returncode == 0, fit.stderr
    assert fit.stdout.count("training loss") == 3
    model = tolq.Model.load(folder / "model.json")
    assert model.categorical == ("store",) and model.target == "y"
    assert f"\ny = {model.formula(digits=4)}\n" in fit.stdout

    to_file = run("predict", "model.json", "data.csv", "--out", "p.csv", cwd=folder)
    to_stdout = run("predict", "model.json", "data.csv", cwd=folder)
    assert to_file.returncode == 0 and to_stdout.returncode == 0, to_file.stderr
    lines = (folder / "p.csv").read_text().splitlines()
    assert lines == to_stdout.stdout.splitlines() and lines[0] == "y" and len(lines) == 301

    # The text written reads back to the very float32 values the model predicts.
    with open(folder / "data.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    X = {"x0": np.array([float(r["x0"]) for r in rows]),
         "x1": np.array([float(r["x1"]) for r in rows]),
         "store": np.array([r["store"] for r in rows], dtype=object)}
    expected = model.predict(X)
    assert np.array(lines[1:], dtype=np.float32).view(np.uint32).tolist() == \
           expected.view(np.uint32).tolist()


FIT = ["fit", "data.csv", "--target", "y", "--out", "m.json", "--expr"]


@pytest.mark.parametrize("args, message", [
    (FIT + ["sin(x0)"], "unknown function 'sin'"),
    (FIT + ["sine(x0, x1)"], "sine takes 1 argument but 2 were given at position 0"),
    (FIT + ["sine(x9)"], "missing column 'x9'"),
    (FIT + ["sine(store)"], "line 2: column 'store' holds"),
    (FIT + ["sine(x0)", "--categorical", "zz"], "'zz' does not appear"),
    (FIT + ["sine(x0)", "--epochs", "-1"], "epochs"),
    (["fit", "absent.csv", "--target", "y", "--out", "m.json", "--expr", "sine(x0)"],
     "absent.csv: No such file"),
    (["fit", "data.csv", "--target", "y", "--out", "no/such/m.json", "--expr", "sine(x0)"],
     "no such folder"),
    (["fit", "bad.csv", "--target", "y", "--out", "m.json", "--expr", "sine(x0)"],
     "bad.csv, line 3: column 'x0' holds 'n/a', not a number"),
    (["fit", "ragged.csv", "--target", "y", "--out", "m.json", "--expr", "sine(x0)"],
     "ragged.csv, line 3: 1 fields, the header has 2"),
    (["predict", "absent.json", "data.csv"], "absent.json: No such file"),
    (["predict", "data.csv", "data.csv"], "not a tolq model file"),
    (["predict", "model.json", "other.csv"], "missing column 'store'"),
])
def test_errors_are_one_line_without_traceback(folder, args, message):
    write_csv(folder / "bad.csv", ["x0", "y"], [["1", "2"], ["n/a", "3"]])
    write_csv(folder / "ragged.csv", ["x0", "y"], [["1", "2"], ["3"]])
    write_csv(folder / "other.csv", ["x0", "x1"], [["1", "2"]])
    untrained_model(folder / "model.json")
    result = run(*args, cwd=folder)
    assert result.returncode == 1
    assert "Traceback" not in result.stderr
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr


def test_demo_runs(tmp_path):
    result = run("demo", "--rows", "400", "--epochs", "2", "--no-progress", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "epoch   2: training loss" in result.stdout and "validation loss" in result.stdout
    assert "predicting the mean gives" in result.stdout


def test_demo_plot(tmp_path):
    result = run("demo", "--rows", "100", "--epochs", "1", "--no-progress",
                 "--plot", "out.png", cwd=tmp_path)
    if importlib.util.find_spec("matplotlib") is None:
        assert result.returncode == 1 and "needs matplotlib" in result.stderr
        assert result.stderr.count("\n") == 1 and not (tmp_path / "out.png").exists()
    else:
        assert result.returncode == 0, result.stderr
        assert (tmp_path / "out.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_predict_out_that_cannot_be_written_whole_keeps_the_old_file(folder):
    resource = pytest.importorskip("resource")
    assert run(*FIT, "linear(x0)", "--epochs", "1", "--no-progress", cwd=folder).returncode == 0
    (folder / "p.csv").write_text("old\n")

    def small_files():  # the interpreter ignores SIGXFSZ: an oversized write raises EFBIG
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))

    result = run("predict", "m.json", "data.csv", "--out", "p.csv", cwd=folder,
                 preexec_fn=small_files)
    assert result.returncode == 1 and "File too large" in result.stderr, result.stderr
    assert sorted(p.name for p in folder.iterdir()) == ["data.csv", "m.json", "p.csv"]
    assert (folder / "p.csv").read_text() == "old\n"


def test_fit_with_validation_rate_level_and_version(folder):
    result = run(*FIT, "linear(tanh(x0, x1), store)", "--categorical", "store", "--epochs", "30",
                 "--validation-fraction", "0.3", "--early-stopping", "--patience", "2",
                 "--rate-level", "3", cwd=folder)
    assert result.returncode == 0, result.stderr
    lines = [line for line in result.stdout.splitlines() if line.startswith("epoch")]
    assert lines and all("validation loss" in line for line in lines)
    assert "kept the parameters of epoch" in result.stdout
    assert tolq.Model.load(folder / "m.json").rate_level == 3
    assert result.stderr == ""  # no bar: nobody watches a pipe
    version = run("--version", cwd=folder)
    assert version.returncode == 0 and version.stdout.strip() == f"tolq {tolq.__version__}"


def test_search_prints_the_front_and_saves_the_best(folder):
    done = run("search", "data.csv", "--target", "y", "--categorical", "store",
               "--generations", "2", "--formulas", "--front-out", "front", "--out", "best.json",
               cwd=folder)
    assert done.returncode == 0, done.stderr
    model = tolq.Model.load(folder / "best.json")
    assert "* " in done.stdout and model.expression in done.stdout
    assert f"y = {model.formula(digits=4)}" in done.stdout
    assert "saved" in done.stdout.splitlines()[-1]
    assert done.stderr.count("generation ") == 2  # one line a generation, as asked
    front = tolq.SearchResult.load(folder / "front")
    assert front.best.to_dict() == model.to_dict()
    (folder / "front" / "mine.txt").write_text("not a search's")
    refused = run("search", "data.csv", "--target", "y", "--categorical", "store",
                  "--front-out", "front", "--out", "other.json", cwd=folder)
    assert refused.returncode == 1 and "not part of a search result" in refused.stderr
    assert not (folder / "other.json").exists()
    for args, message in [((), "use --categorical store"),
                          (("--categorical", "store", "--target", "z"), "missing column 'z'")]:
        bad = run("search", "data.csv", "--target", "y", "--out", "m.json", *args, cwd=folder)
        assert bad.returncode == 1 and message in bad.stderr


def test_empty_cells_follow_the_missing_policy(folder):
    lines = (folder / "data.csv").read_text().splitlines()
    x0, x1, store, y = lines[5].split(",")
    lines[5] = f",{x1},{store},{y}"
    (folder / "holes.csv").write_text("\n".join(lines) + "\n")
    refused = run(*FIT[:1], "holes.csv", *FIT[2:], "linear(x0, store)", "--categorical", "store",
                  cwd=folder)
    assert refused.returncode == 1 and "line 6: column 'x0' is empty; --missing" in \
        refused.stderr and "categorical column?" not in refused.stderr
    done = run(*FIT[:1], "holes.csv", *FIT[2:], "linear(x0, store)", "--categorical", "store",
               "--missing", "mean", "--epochs", "2", cwd=folder)
    assert done.returncode == 0, done.stderr
    assert tolq.Model.load(folder / "m.json").missing == "mean"
    predicted = run("predict", "m.json", "holes.csv", cwd=folder)
    assert predicted.returncode == 0 and len(predicted.stdout.splitlines()) == 301
    lines[7] = ",".join(lines[7].split(",")[:3] + [""])
    (folder / "holes.csv").write_text("\n".join(lines) + "\n")
    no_target = run(*FIT[:1], "holes.csv", *FIT[2:], "linear(x0, store)", "--categorical",
                    "store", "--missing", "zero", cwd=folder)
    assert no_target.returncode == 1 and "line 8: the target 'y' is empty" in no_target.stderr


def small_files():
    """In the child: files of at most 200 bytes (the interpreter ignores SIGXFSZ, so an
    oversized write raises EFBIG), as on a full disk."""
    import resource
    resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200))


def obey_permissions():
    """In the child: a folder's permission bits bind even the superuser."""
    if os.geteuid() == 0:
        libc = ctypes.CDLL(None, use_errno=True)
        for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
            if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
                raise OSError(ctypes.get_errno(), "prctl")


WORK = {"fit": FIT + ["linear(x0)", "--epochs", "1", "--no-progress"],
        "search": ["search", "data.csv", "--target", "y", "--categorical", "store",
                   "--generations", "1", "--no-progress", "--out", "m.json"],
        "predict": ["predict", "model.json", "data.csv", "--out", "m.json"],
        "search --front-out": ["search", "data.csv", "--target", "y", "--categorical", "store",
                               "--generations", "1", "--no-progress", "--out", "m.json",
                               "--front-out", "front"]}


def with_out(command, out):
    args = list(WORK[command])
    args[args.index("--front-out" if "--front-out" in args else "--out") + 1] = out
    return args


@pytest.mark.parametrize("command, out, message", [
    (command, out, message) for command in WORK
    for out, message in [("taken", "taken: Is a directory"),
                         ("locked/m.json", "locked/m.json: Permission denied")]
    if not (command.endswith("front-out") and out == "taken")])  # an empty folder takes a front
def test_output_that_cannot_be_written_is_refused_before_the_work(folder, command, out, message):
    if out.startswith("locked") and os.geteuid() == 0 and not sys.platform.startswith("linux"):
        pytest.skip("the superuser writes anywhere")
    untrained_model(folder / "model.json")
    (folder / "taken").mkdir()
    (folder / "locked").mkdir()
    (folder / "locked").chmod(0o555)
    try:
        result = run(*with_out(command, out), cwd=folder, preexec_fn=obey_permissions)
    except subprocess.SubprocessError:  # prctl refused: no way to bind the superuser
        pytest.skip("the superuser's file capabilities cannot be dropped here")
    finally:
        (folder / "locked").chmod(0o755)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == f"tolq {command.split()[0]}: error: {message}\n"
    assert not list((folder / "taken").iterdir()) and not list((folder / "locked").iterdir())


@pytest.mark.parametrize("command", ["fit", "search"])
def test_full_disk_keeps_the_old_output(folder, command):
    pytest.importorskip("resource")
    (folder / "m.json").write_text("old\n")
    result = run(*WORK[command], cwd=folder, preexec_fn=small_files)
    assert result.returncode == 1 and "m.json: File too large" in result.stderr, result.stderr
    assert sorted(p.name for p in folder.iterdir()) == ["data.csv", "m.json"]
    assert (folder / "m.json").read_text() == "old\n"


FAKE_PYPLOT = """
class Axes:
    def __getattr__(self, name):
        return lambda *args, **kwargs: None

class Figure:
    def savefig(self, file, format=None, **kwargs):
        if DRAWS:
            file.write(b"picture in " + format.encode())
        else:
            raise ValueError("Format %r is not supported" % format)

def subplots(*args, **kwargs):
    return Figure(), Axes()

def close(figure):
    pass
"""


@pytest.mark.parametrize("draws", [True, False])
def test_fit_writes_the_plot_and_the_model_only_when_both_are_made(folder, draws):
    # A stand-in for matplotlib: whether the picture can be drawn is what matters here.
    fake = folder / "fake" / "matplotlib"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("def use(backend):\n    pass\n")
    (fake / "pyplot.py").write_text(f"DRAWS = {draws}\n" + FAKE_PYPLOT)
    (folder / "m.json").write_text("old\n")
    result = run(*WORK["fit"], "--plot", "curves.xyz", cwd=folder,
                 first=[str(folder / "fake")])
    if draws:
        assert result.returncode == 0, result.stderr
        assert (folder / "curves.xyz").read_bytes() == b"picture in xyz"
        assert tolq.Model.load(folder / "m.json").expression == "linear(x0)"
    else:
        assert result.returncode == 1 and "'xyz' is not supported" in result.stderr
        assert (folder / "m.json").read_text() == "old\n"
        assert sorted(p.name for p in folder.iterdir()) == ["data.csv", "fake", "m.json"]

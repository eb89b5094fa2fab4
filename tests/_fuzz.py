"""Settings shared by the fuzz tests: a short deterministic run in the suite, a long one
under `make fuzz` (TOLQ_FUZZ=large), whose figures go to the file TOLQ_FUZZ_REPORT."""
import os
import tempfile

from hypothesis import HealthCheck, settings
from hypothesis.configuration import set_hypothesis_home_dir
from hypothesis.stateful import run_state_machine_as_test

# Hypothesis keeps caches beside the database; neither belongs in the source tree.
set_hypothesis_home_dir(os.path.join(tempfile.gettempdir(), "tolq-hypothesis"))

LARGE = os.environ.get("TOLQ_FUZZ", "") == "large"
# Calls into the module a large state-machine run goes on for; `make fuzz FUZZ_OPS=...`.
OPS = int(os.environ.get("TOLQ_FUZZ_OPS", "1000000"))
# Operations on models (fit, predict, save, ...) a large run of the package's fuzz goes on
# for; `make fuzz PACKAGE_FUZZ_OPS=...`.
PACKAGE_OPS = int(os.environ.get("TOLQ_FUZZ_PACKAGE_OPS", "20000"))


def hypothesis_settings(examples, steps, **extra):
    """Derandomised and without a database in the suite, so CI runs the same cases every
    time and writes nothing into the tree; random seeds under `make fuzz`."""
    return settings(max_examples=examples, stateful_step_count=steps, deadline=None,
                    database=None, derandomize=not LARGE, print_blob=LARGE,
                    suppress_health_check=list(HealthCheck), **extra)


def run_machine(machine, small, large, enough):
    """Runs the state machine with `small` (examples, steps) in the suite; under `make fuzz`
    with `large`, again and again until enough() holds. Returns how many runs it made."""
    runs = 0
    while True:
        run_state_machine_as_test(machine,
                                  settings=hypothesis_settings(*(large if LARGE else small)))
        runs += 1
        if not LARGE or enough():
            return runs


def report(line):
    """One line of figures for `make fuzz` to print at the end."""
    path = os.environ.get("TOLQ_FUZZ_REPORT")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write(line + "\n")
    print(line)

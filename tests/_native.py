"""The loss derivatives and the Adam step of the module's sources, built with
native_shim.cpp into a small shared object that the tests call through ctypes."""
import ctypes
import os
import pathlib
import subprocess
import sysconfig

import numpy as np

from builders import LOSS_NAMES

ROOT = pathlib.Path(__file__).resolve().parent.parent


class Adam(ctypes.Structure):
    _fields_ = [("m1", ctypes.c_float), ("m2", ctypes.c_float)]


def load(tmp_path_factory):
    out = tmp_path_factory.mktemp("native") / "shim.so"
    cmd = ["g++", "-std=c++17", "-O2", "-ffp-contract=off", "-shared", "-fPIC",
           "-I" + sysconfig.get_paths()["include"], "-I" + np.get_include(),
           "-I" + str(ROOT / "src"), str(ROOT / "tests" / "native_shim.cpp"),
           str(ROOT / "src" / "opt_adam.cpp"), str(ROOT / "src" / "losses.cpp"),
           "-o", str(out)]
    # A sanitizer runtime preloaded into the test process has no business in the compiler.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    lib = ctypes.CDLL(str(out))
    lib.shim_adam_step.argtypes = [ctypes.POINTER(Adam), ctypes.c_int, ctypes.c_float]
    lib.shim_adam_step.restype = ctypes.c_float
    for name in LOSS_NAMES:
        f = getattr(lib, "shim_" + name)
        f.argtypes = [ctypes.c_float, ctypes.c_float]
        f.restype = ctypes.c_float
    return lib

"""Module start-up: the NumPy import step, with stand-in numpy packages and the real one."""
import subprocess
import sys
import textwrap

import pytest

IMPORT_FAILED = "ImportError: numpy.core.multiarray failed to import"
PUBLIC = {"Graph", "Interaction", "DEFAULT_LOSS"}

CAPSULES = """
import ctypes
api = ctypes.pythonapi
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
"""

# A stand-in table: only the three entries the import step may call are filled
# (ABI version at 0, endianness at 210, feature version at 211); calling any other
# entry would crash the child, which fails the test as well.
TABLE = CAPSULES + """
# Callbacks and table stay referenced here so they outlive the import.
_entries = {{
    0: ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: {abi}),
    210: ctypes.CFUNCTYPE(ctypes.c_int)(lambda: {endian}),
    211: ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: {feature}),
}}
_table = (ctypes.c_void_p * 212)()
for _i, _f in _entries.items():
    _table[_i] = ctypes.cast(_f, ctypes.c_void_p)
_ARRAY_API = api.PyCapsule_New(ctypes.addressof(_table), None, None)
"""

# PyCapsule_New refuses a null pointer, so a capsule that yields one to an unnamed
# lookup is made either with a name of its own or by clearing its pointer field.
NAMED_CAPSULE = CAPSULES + """
_anchor = ctypes.c_int()
_name = b"not_the_array_api"  # the capsule keeps only a pointer to these bytes
_ARRAY_API = api.PyCapsule_New(ctypes.addressof(_anchor), _name, None)
"""
CLEARED_CAPSULE = CAPSULES + """
_anchor = ctypes.c_int()
_ARRAY_API = api.PyCapsule_New(ctypes.addressof(_anchor), None, None)
ctypes.c_void_p.from_address(id(_ARRAY_API) + object.__basicsize__).value = None
"""


def table(abi, feature, endian):
    return TABLE.format(abi=abi, feature=feature, endian=endian)


def run_child(tmp_path, files):
    """Import _tolq in a fresh interpreter with the stand-in numpy first on sys.path."""
    for rel, text in {"numpy/__init__.py": "", **files}.items():
        path = tmp_path / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import _tolq
        assert sys.modules["numpy"].__file__.startswith({str(tmp_path)!r})
        print(sorted(n for n in vars(_tolq) if not (n.startswith("__") and n.endswith("__"))))
    """)
    # The environment is inherited, so the built module and any sanitizer preload carry over.
    return subprocess.run([sys.executable, "-c", script], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)


def assert_import_failed(proc, underlying):
    assert proc.returncode == 1, proc.stderr
    # The underlying error is printed on its own before the ImportError is raised,
    # not chained to it.
    printed, sep, raised = proc.stderr.rpartition("Traceback (most recent call last):")
    assert sep, proc.stderr
    assert underlying in printed.splitlines(), proc.stderr
    assert raised.rstrip().splitlines()[-1] == IMPORT_FAILED, proc.stderr
    assert "above exception" not in proc.stderr


@pytest.mark.parametrize("files, underlying", [
    pytest.param({}, "ModuleNotFoundError: No module named 'numpy.core'", id="no-core"),
    pytest.param({"numpy/core/__init__.py": ""},
                 "ModuleNotFoundError: No module named 'numpy.core._multiarray_umath'",
                 id="no-umath"),
    # Only a missing module falls back to numpy.core; any other import error is reported.
    pytest.param({"numpy/_core/__init__.py": "",
                  "numpy/_core/_multiarray_umath.py": "raise ImportError('stand-in is broken')"},
                 "ImportError: stand-in is broken", id="umath-raises"),
])
def test_umath_not_importable(tmp_path, files, underlying):
    assert_import_failed(run_child(tmp_path, files), underlying)


@pytest.mark.parametrize("package", ["_core", "core"])
@pytest.mark.parametrize("umath, underlying", [
    pytest.param("", "AttributeError: _ARRAY_API not found", id="no-api"),
    pytest.param("_ARRAY_API = 42", "RuntimeError: _ARRAY_API is not PyCapsule object", id="int"),
    pytest.param(NAMED_CAPSULE, "RuntimeError: _ARRAY_API is NULL pointer", id="named-capsule"),
    pytest.param(CLEARED_CAPSULE, "RuntimeError: _ARRAY_API is NULL pointer", id="null-capsule"),
    pytest.param(table(0x1000009, 12, 1),
                 "RuntimeError: module compiled against API version 0xd "
                 "but this version of numpy is 0xc", id="feature-12"),
    pytest.param(table(0x2000000, 12, 1),
                 "RuntimeError: module compiled against API version 0xd "
                 "but this version of numpy is 0xc", id="numpy2-feature-12"),
    pytest.param(table(0x3000000, 13, 1),
                 "RuntimeError: module compiled against ABI version 0x1000009 "
                 "but this version of numpy is 0x3000000", id="abi-newer"),
    pytest.param(table(0x1000008, 13, 1),
                 "RuntimeError: module compiled against ABI version 0x1000009 "
                 "but this version of numpy is 0x1000008", id="abi-older"),
    pytest.param(table(0x2000000, 13, 0),
                 "RuntimeError: FATAL: module compiled as unknown endian", id="endian-unknown"),
    pytest.param(table(0x1000009, 13, 2),
                 "RuntimeError: FATAL: module compiled as little endian, but detected "
                 "different endianness at runtime", id="endian-big"),
])
def test_array_api_refused(tmp_path, package, umath, underlying):
    files = {f"numpy/{package}/__init__.py": "", f"numpy/{package}/_multiarray_umath.py": umath}
    assert_import_failed(run_child(tmp_path, files), underlying)


@pytest.mark.parametrize("package", ["_core", "core"])
@pytest.mark.parametrize("abi, feature", [(0x1000009, 13), (0x2000000, 13), (0x2000000, 21)])
def test_array_api_accepted(tmp_path, package, abi, feature):
    files = {f"numpy/{package}/__init__.py": "",
             f"numpy/{package}/_multiarray_umath.py": table(abi, feature, 1)}
    proc = run_child(tmp_path, files)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == repr(sorted(PUBLIC))


def test_real_numpy():
    import _tolq
    assert {n for n in vars(_tolq) if not (n.startswith("__") and n.endswith("__"))} == PUBLIC
    assert _tolq.DEFAULT_LOSS == "mean_squared_error"
    assert _tolq.__doc__ == "Tolq C Extension"

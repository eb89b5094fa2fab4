"""Ground-truth formulas of physics and engineering, with the ranges their inputs are drawn from.

Two lists that share no formula. ``BENCH`` is what `make bench-search` reports; ``DEV`` is
what the search's settings were tried on. Keeping them apart is the point: a search tuned
on the problems it is scored on proves little.

Each entry: (name, formula text, {input: (low, high)}, function of the columns).
"""
import math

import numpy as np

PI = math.pi

BENCH = [
    ("friction", "mu*N", {"mu": (0.1, 1.0), "N": (1, 5)},
     lambda c: c["mu"] * c["N"]),
    ("kinetic energy", "m*v**2/2", {"m": (1, 5), "v": (1, 5)},
     lambda c: c["m"] * c["v"] ** 2 / 2),
    ("centripetal force", "m*v**2/r", {"m": (1, 5), "v": (1, 5), "r": (1, 5)},
     lambda c: c["m"] * c["v"] ** 2 / c["r"]),
    ("Coulomb's law", "q1*q2/(4*pi*eps*r**2)",
     {"q1": (1, 5), "q2": (1, 5), "eps": (1, 5), "r": (1, 5)},
     lambda c: c["q1"] * c["q2"] / (4 * PI * c["eps"] * c["r"] ** 2)),
    ("gravitation", "G*m1*m2/r**2", {"G": (1, 2), "m1": (1, 5), "m2": (1, 5), "r": (1, 5)},
     lambda c: c["G"] * c["m1"] * c["m2"] / c["r"] ** 2),
    ("pendulum period", "2*pi*sqrt(L/g)", {"L": (0.1, 2), "g": (1, 10)},
     lambda c: 2 * PI * np.sqrt(c["L"] / c["g"])),
    ("ideal gas", "n*8.314*T/V", {"n": (1, 5), "T": (200, 400), "V": (1, 10)},
     lambda c: c["n"] * 8.314 * c["T"] / c["V"]),
    ("electric power", "V**2/R", {"V": (1, 10), "R": (1, 10)},
     lambda c: c["V"] ** 2 / c["R"]),
    ("capacitor energy", "q**2/(2*C)", {"q": (1, 5), "C": (1, 5)},
     lambda c: c["q"] ** 2 / (2 * c["C"])),
    ("parallel resistors", "R1*R2/(R1+R2)", {"R1": (1, 10), "R2": (1, 10)},
     lambda c: c["R1"] * c["R2"] / (c["R1"] + c["R2"])),
    ("thin lens", "f*d/(d-f)", {"f": (1, 2), "d": (3, 6)},
     lambda c: c["f"] * c["d"] / (c["d"] - c["f"])),
    ("relativistic mass", "m0/sqrt(1-v**2/c**2)", {"m0": (1, 5), "v": (1, 2), "c": (3, 10)},
     lambda c: c["m0"] / np.sqrt(1 - c["v"] ** 2 / c["c"] ** 2)),
    ("Gaussian with a width", "exp(-(x/s)**2/2)/(sqrt(2*pi)*s)", {"x": (1, 3), "s": (1, 3)},
     lambda c: np.exp(-((c["x"] / c["s"]) ** 2) / 2) / (math.sqrt(2 * PI) * c["s"])),
    ("weighted mean", "(m1*x1+m2*x2)/(m1+m2)",
     {"m1": (1, 5), "m2": (1, 5), "x1": (1, 5), "x2": (1, 5)},
     lambda c: (c["m1"] * c["x1"] + c["m2"] * c["x2"]) / (c["m1"] + c["m2"])),
    ("law of cosines", "sqrt(a**2+b**2-2*a*b*cos(t))", {"a": (1, 5), "b": (1, 5), "t": (0.5, 3)},
     lambda c: np.sqrt(c["a"] ** 2 + c["b"] ** 2 - 2 * c["a"] * c["b"] * np.cos(c["t"]))),
    ("Planck's law", "w**3/(pi**2*(exp(w/T)-1))", {"w": (1, 5), "T": (1, 5)},
     lambda c: c["w"] ** 3 / (PI ** 2 * (np.exp(c["w"] / c["T"]) - 1))),
    ("projectile range", "v**2*sin(2*t)/g", {"v": (1, 10), "t": (0.1, 1.4), "g": (1, 10)},
     lambda c: c["v"] ** 2 * np.sin(2 * c["t"]) / c["g"]),
    ("velocity addition", "(u+v)/(1+u*v/c**2)", {"u": (1, 5), "v": (1, 5), "c": (3, 10)},
     lambda c: (c["u"] + c["v"]) / (1 + c["u"] * c["v"] / c["c"] ** 2)),
]

DEV = [
    ("Carnot efficiency", "1-Tc/Th", {"Tc": (200, 300), "Th": (400, 600)},
     lambda c: 1 - c["Tc"] / c["Th"]),
    ("capacitor discharge", "V0*exp(-t/(R*C))",
     {"V0": (1, 5), "t": (0, 3), "R": (1, 3), "C": (1, 3)},
     lambda c: c["V0"] * np.exp(-c["t"] / (c["R"] * c["C"]))),
    ("magnetic force", "q*v*B*sin(t)", {"q": (1, 5), "v": (1, 5), "B": (1, 5), "t": (0.2, 1.5)},
     lambda c: c["q"] * c["v"] * c["B"] * np.sin(c["t"])),
    ("escape velocity", "sqrt(2*G*M/r)", {"G": (1, 2), "M": (1, 5), "r": (1, 5)},
     lambda c: np.sqrt(2 * c["G"] * c["M"] / c["r"])),
    ("resonant frequency", "1/(2*pi*sqrt(L*C))", {"L": (1, 5), "C": (1, 5)},
     lambda c: 1 / (2 * PI * np.sqrt(c["L"] * c["C"]))),
    ("heat conduction", "k*A*dT/d", {"k": (1, 5), "A": (1, 5), "dT": (1, 10), "d": (1, 5)},
     lambda c: c["k"] * c["A"] * c["dT"] / c["d"]),
    ("radiated power", "5.67*A*T**4", {"A": (1, 5), "T": (1, 3)},
     lambda c: 5.67 * c["A"] * c["T"] ** 4),
    ("spring energy", "k*x**2/2", {"k": (1, 5), "x": (-2, 2)},
     lambda c: c["k"] * c["x"] ** 2 / 2),
    ("Doppler shift", "f*(c+v)/(c-w)", {"f": (1, 5), "c": (10, 20), "v": (0, 3), "w": (0, 3)},
     lambda c: c["f"] * (c["c"] + c["v"]) / (c["c"] - c["w"])),
    ("dipole potential", "p*cos(t)/(4*pi*r**2)", {"p": (1, 5), "t": (0, 1.5), "r": (1, 5)},
     lambda c: c["p"] * np.cos(c["t"]) / (4 * PI * c["r"] ** 2)),
    ("damped oscillation", "exp(-g*t)*cos(w*t)", {"g": (0.1, 1), "t": (0, 5), "w": (1, 3)},
     lambda c: np.exp(-c["g"] * c["t"]) * np.cos(c["w"] * c["t"])),
    ("orbital period", "2*pi*sqrt(a**3/(G*M))", {"a": (1, 5), "G": (1, 2), "M": (1, 5)},
     lambda c: 2 * PI * np.sqrt(c["a"] ** 3 / (c["G"] * c["M"]))),
    ("sum of two waves", "sin(x)+sin(2*y)", {"x": (-3, 3), "y": (-3, 3)},
     lambda c: np.sin(c["x"]) + np.sin(2 * c["y"])),
    ("work against drag", "F*d-b*v**2", {"F": (1, 5), "d": (1, 5), "b": (0.1, 0.5), "v": (1, 5)},
     lambda c: c["F"] * c["d"] - c["b"] * c["v"] ** 2),
]


def make(entry, rows=2000, noise=0.0, seed=0):
    """Columns and target of ``entry``: inputs uniform over their ranges; with ``noise``,
    Gaussian noise of that share of the target's standard deviation is added to ``y``.
    Returns (columns, y, y_true)."""
    _, _, ranges, f = entry
    rng = np.random.default_rng(seed)
    cols = {name: rng.uniform(low, high, rows) for name, (low, high) in ranges.items()}
    truth = f(cols)
    y = truth + rng.normal(0.0, noise * float(np.std(truth)), rows) if noise else truth.copy()
    return cols, y, truth

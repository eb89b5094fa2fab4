"""A first tolq session: a model from an expression, then the same as a scikit-learn estimator.

Run it after `make demo` with the environment that made: `.venv/bin/python examples/quickstart.py`.
"""
import numpy as np

import tolq

rng = np.random.default_rng(0)
n = 5000
X = {"x0": rng.uniform(-2, 2, n), "x1": rng.uniform(-2, 2, n),
     "store": rng.choice(["north", "south", "east"], n)}
y = np.sin(X["x0"] * X["x1"]) + 0.5 * (X["store"] == "north")

# A model: its structure is the expression; every call is a node with its own parameters.
model = tolq.Model("linear(sine(multiply(x0, x1)), store)", target="y", categorical=["store"],
                   seed=0)
history = model.fit(X, y, epochs=10, validation_fraction=0.2)
print(f"training loss {history[-1]:.3g}, validation loss {history.validation[-1]:.3g}")
print(model)
print("one row:", model.predict_one({"x0": 1.0, "x1": 0.5, "store": "north"}))

# The same model as a scikit-learn estimator (pip install '.[sklearn]' in the clone).
try:
    from sklearn.model_selection import cross_val_score
except ImportError:
    print("scikit-learn is not installed: the estimator part is skipped")
else:
    table = np.column_stack([X["x0"], X["x1"]])  # a 2-D array's columns are x0, x1, ...
    estimator = tolq.TolqRegressor("linear(sine(multiply(x0, x1)))", epochs=10)
    scores = cross_val_score(estimator, table, np.sin(X["x0"] * X["x1"]), cv=3)
    print("cross-validated R^2:", np.round(scores, 3))

"""Public data sets for the benchmark: (name, X as dict of columns, y, categorical columns)."""
import numpy as np


def diabetes():
    from sklearn.datasets import load_diabetes
    d = load_diabetes()
    return {n: d.data[:, i] for i, n in enumerate(d.feature_names)}, d.target, ()


def cars():
    from vega_datasets import local_data
    df = local_data.cars().dropna(subset=["Miles_per_Gallon", "Horsepower"])
    X = {"cylinders": df["Cylinders"].to_numpy(float),
         "displacement": df["Displacement"].to_numpy(float),
         "horsepower": df["Horsepower"].to_numpy(float),
         "weight": df["Weight_in_lbs"].to_numpy(float),
         "acceleration": df["Acceleration"].to_numpy(float),
         "year": df["Year"].dt.year.to_numpy(float), "origin": df["Origin"].to_numpy(object)}
    return X, df["Miles_per_Gallon"].to_numpy(float), ("origin",)


def seattle_weather():
    from vega_datasets import local_data
    df = local_data.seattle_weather()
    X = {"precipitation": df["precipitation"].to_numpy(float),
         "temp_min": df["temp_min"].to_numpy(float),
         "wind": df["wind"].to_numpy(float), "day_of_year": df["date"].dt.dayofyear.to_numpy(float),
         "weather": df["weather"].to_numpy(object)}
    return X, df["temp_max"].to_numpy(float), ("weather",)


SETS = [("diabetes", diabetes), ("cars", cars), ("seattle weather", seattle_weather)]


def split(X, y, seed, test=0.25):
    n = len(y)
    order = np.random.default_rng(seed).permutation(n)
    cut = int(round(n * test))
    te, tr = order[:cut], order[cut:]
    return ({k: v[tr] for k, v in X.items()}, y[tr], {k: v[te] for k, v in X.items()}, y[te])


def ols(Xtr, ytr, Xte, categorical):
    """Least squares with one-hot categoricals (a category unseen in training adds nothing)."""
    def design(X, levels):
        cols = [np.ones(len(next(iter(X.values()))))]
        for k, v in X.items():
            if k in categorical:
                cols += [(v == lev).astype(float) for lev in levels[k][1:]]
            else:
                cols.append(np.asarray(v, float))
        return np.column_stack(cols)
    levels = {k: sorted(set(Xtr[k].tolist())) for k in categorical}
    coef, *_ = np.linalg.lstsq(design(Xtr, levels), ytr, rcond=None)
    return design(Xte, levels) @ coef


def r2(y, p):
    return 1.0 - float(np.mean((np.asarray(p, float) - y) ** 2)) / float(np.var(y))

"""``python -m tolq``: fit a model on a CSV file, predict with it, or run the demo."""
from __future__ import annotations

import argparse
import csv
import io
import os
import sys
from typing import Any, Dict, List, Optional, Sequence

import numpy as np
from numpy.typing import NDArray

from . import __version__, _data, _demo, _formula
from ._expression import ExpressionError, quote_name
from ._format import LOSSES, check_arg
from ._model import Model, check_writable, to_json, write_replacing


def _columns_from_csv(model: Model, path: str, with_target: bool, missing: str
                      ) -> tuple[Dict[str, NDArray[Any]], Optional[NDArray[np.float64]]]:
    header, cells, lines = _data.read_csv(path)
    wanted = list(model.inputs) + ([model.target] if with_target else [])
    for name in wanted:
        if name not in cells:
            raise _data.DataError(f"{path}: missing column {name!r} "
                                  f"(columns: {', '.join(header) or 'none'})")
    columns: Dict[str, NDArray[Any]] = {}
    for name in model.inputs:
        if name in model.categorical:
            columns[name] = np.array(cells[name], dtype=object)
            continue
        columns[name] = _numbers(cells[name], name, lines, path, missing, hint=with_target)
    target = (_data.csv_numeric(cells[model.target], model.target, lines, path, target=True)
              if with_target else None)
    return columns, target


def _numbers(cells: List[str], name: str, lines: List[int], path: str, missing: str,
             hint: bool = True) -> NDArray[np.float64]:
    try:
        return _data.csv_numeric(cells, name, lines, path, missing)
    except _data.DataError as exc:
        # Text, not an empty cell: perhaps a categorical column.
        text = hint and "not a number" in str(exc)
        raise _data.DataError(f"{exc} (a categorical column? use --categorical {name})"
                              if text else str(exc)) from None


def _categorical_names(values: Optional[List[str]]) -> List[str]:
    """--categorical may be repeated and may hold comma-separated names."""
    names: List[str] = []
    for value in values or ():
        names.extend(n.strip() for n in value.split(",") if n.strip())
    return names


def _check_outputs(*paths: Optional[str]) -> None:
    """Refuse, before any work, an output that could not be written after it."""
    for path in paths:
        if path is not None:
            folder = os.path.dirname(os.path.abspath(path))
            if not os.path.isdir(folder):
                raise _CliError(f"{path}: no such folder {folder}")
            check_writable(path)


def _fit(args: argparse.Namespace) -> int:
    check_arg(args.epochs, "--epochs", 0)
    _check_outputs(args.out, args.plot)
    check_arg(args.rate_level, "--rate-level", 0)
    check_arg(args.patience, "--patience", 1)
    check_arg(args.digits, "--digits", 1, 17)
    pyplot = _demo.load_pyplot() if args.plot else None
    model = Model.from_expression(args.expr, target=args.target,
                                  categorical=_categorical_names(args.categorical),
                                  loss=args.loss, rate_level=args.rate_level, seed=args.seed,
                                  missing=args.missing)
    columns, target = _columns_from_csv(model, args.data, with_target=True,
                                        missing=args.missing)
    assert target is not None
    if len(target) == 0:
        raise _data.DataError(f"{args.data}: no rows to train on")
    history = model.fit(columns, target, epochs=args.epochs, seed=args.seed,
                        progress=False if args.no_progress else None,
                        validation_fraction=args.validation_fraction,
                        early_stopping=args.early_stopping, patience=args.patience)
    _demo.print_history(history, sys.stdout)
    print(f"{_formula.quote(model.target)} = {model.formula(digits=args.digits)}")
    # Everything is made before anything is written, and the model is written last: a
    # failure leaves --out as it was.
    document = to_json(model.to_dict())
    picture = (_demo.plot_history(pyplot, history, args.plot,
                                  f"{quote_name(model.target)} = {model.expression}")
               if pyplot is not None else None)
    if picture is not None:
        write_replacing(args.plot, picture)
        print(f"wrote {args.plot}")
    write_replacing(args.out, document)
    print(f"trained {model!r} on {len(target)} rows; saved to {args.out}")
    return 0


def _predict(args: argparse.Namespace) -> int:
    _check_outputs(args.out)
    model = Model.load(args.model)
    missing = args.missing or model.missing
    columns, _ = _columns_from_csv(model, args.data, with_target=False, missing=missing)
    predicted = model.predict(columns, missing=missing)
    # str() of a float32 is the shortest text that reads back to the same float32.
    rows = [[str(v)] for v in predicted]
    if args.out is None:
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow([model.target])
        writer.writerows(rows)
    else:
        text = io.StringIO()
        writer = csv.writer(text)
        writer.writerow([model.target])
        writer.writerows(rows)
        write_replacing(args.out, text.getvalue())
        print(f"wrote {len(rows)} predictions to {args.out}")
    return 0


def _search(args: argparse.Namespace) -> int:
    from ._search import check_result_folder, search
    _check_outputs(args.out)
    if args.front_out is not None:
        check_result_folder(args.front_out)
    header, cells, lines = _data.read_csv(args.data)
    if args.target not in cells:
        raise _data.DataError(f"{args.data}: missing column {args.target!r} "
                              f"(columns: {', '.join(header) or 'none'})")
    categorical = _categorical_names(args.categorical)
    columns: Dict[str, NDArray[Any]] = {}
    for name in header:
        if name in categorical:
            columns[name] = np.array(cells[name], dtype=object)
        elif name != args.target:
            columns[name] = _numbers(cells[name], name, lines, args.data, args.missing)
    target = _data.csv_numeric(cells[args.target], args.target, lines, args.data, target=True)
    columns[args.target] = target
    result = search(columns, args.target, categorical=categorical, missing=args.missing,
                    time_budget=args.budget, generations=args.generations, epochs=args.epochs,
                    max_nodes=args.max_nodes, transforms=not args.no_transforms,
                    random_state=args.seed, workers=args.workers,
                    progress=not args.no_progress)
    print(result.table(formulas=args.formulas))
    if args.front_out is not None:
        result.save(args.front_out)
        print(f"saved the front to {args.front_out}")
    result.best.save(args.out)
    print(f"saved {result.best!r} to {args.out}")
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    _demo.run(sys.stdout, rows=args.rows, epochs=args.epochs, seed=args.seed,
              progress=False if args.no_progress else None, plot=args.plot, table=args.csv)
    return 0


class _CliError(Exception):
    pass


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tolq",
        description="Train graphs of small functions on CSV data, and predict with them.")
    parser.add_argument("--version", action="version", version=f"tolq {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    _fit_parser(sub)
    _predict_parser(sub)
    _search_parser(sub)
    _demo_parser(sub)
    return parser


def _fit_parser(sub: Any) -> None:
    fit = sub.add_parser("fit", help="train a model on a CSV file and save it as JSON")
    fit.add_argument("data", help="CSV file with a header row")
    fit.add_argument("--target", required=True, help="column to predict")
    fit.add_argument("--expr", required=True,
                     help='the graph, e.g. "sine(multiply(linear(x0, x1), x1))"')
    fit.add_argument("--categorical", action="append", metavar="NAME",
                     help="a categorical input column (repeatable, or comma-separated)")
    fit.add_argument("--missing", choices=_data.MISSING, default="error",
                     help="an empty numeric cell: refused (error, the default), the middle of "
                          "the column's range (zero) or its mean (mean); kept in the model")
    fit.add_argument("--epochs", type=int, default=10, help="passes over the data (10)")
    fit.add_argument("--loss", choices=LOSSES, default=LOSSES[0], help="training loss")
    fit.add_argument("--rate-level", type=int, default=0, metavar="N",
                     help="learning-rate level of every node: 0 (the default) is the "
                          "fastest, higher levels learn more slowly")
    fit.add_argument("--validation-fraction", type=float, default=0.0, metavar="F",
                     help="share of the rows held out to report a validation loss (0)")
    fit.add_argument("--early-stopping", action="store_true",
                     help="stop when the validation loss has not improved for --patience "
                          "epochs, keeping the best epoch's parameters")
    fit.add_argument("--patience", type=int, default=5, help="see --early-stopping (5)")
    fit.add_argument("--plot", metavar="PNG", help="draw the learning curves (matplotlib)")
    fit.add_argument("--seed", type=int, default=0,
                     help="seed of the starting parameters and the shuffling (0)")
    fit.add_argument("--digits", type=int, default=4, metavar="N",
                     help="significant digits of the formula printed after training (4; "
                          "17 reproduce the predictions)")
    fit.add_argument("--no-progress", action="store_true", help="no progress bars")
    fit.add_argument("--out", required=True, help="where to write the model (JSON)")
    fit.set_defaults(handler=_fit)


def _predict_parser(sub: Any) -> None:
    predict = sub.add_parser("predict", help="predict the rows of a CSV file")
    predict.add_argument("model", help="a model written by 'fit'")
    predict.add_argument("data", help="CSV file with the model's input columns")
    predict.add_argument("--out", help="CSV file for the predictions (default: standard output)")
    predict.add_argument("--missing", choices=_data.MISSING,
                         help="an empty numeric cell, as for fit (default: the model's own)")
    predict.set_defaults(handler=_predict)


def _search_parser(sub: Any) -> None:
    search = sub.add_parser("search", help="search for the expression, save the best model")
    search.add_argument("data", help="CSV file with a header row")
    search.add_argument("--target", required=True, help="column to predict")
    search.add_argument("--categorical", action="append", metavar="NAME",
                        help="a categorical input column (repeatable, or comma-separated)")
    search.add_argument("--missing", choices=_data.MISSING, default="error",
                        help="an empty numeric cell, as for fit (error)")
    search.add_argument("--budget", type=float, metavar="SECONDS",
                        help="the seconds the whole search may take (default: it stops when "
                             "the front has not improved for a few generations)")
    search.add_argument("--generations", type=int,
                        help="stop after this many generations (the first counts)")
    search.add_argument("--max-nodes", type=int, default=12, metavar="N",
                        help="the most graph nodes a model may have, inputs included (12)")
    search.add_argument("--no-transforms", action="store_true",
                        help="offer the columns and the target only as they are, not through "
                             "log, inv or sqrt")
    search.add_argument("--epochs", type=int, help="passes over the training rows per candidate")
    search.add_argument("--workers", type=int, help="training threads (default: one per core)")
    search.add_argument("--seed", type=int, default=0, help="seed of the search (0)")
    search.add_argument("--no-progress", action="store_true", help="no line per generation")
    search.add_argument("--formulas", action="store_true",
                        help="print each front model's formula under its line")
    search.add_argument("--out", required=True, help="where to write the best model (JSON)")
    search.add_argument("--front-out", metavar="DIR",
                        help="also write the whole front into DIR (tolq.SearchResult.load "
                             "reads it back)")
    search.set_defaults(handler=_search)


def _demo_parser(sub: Any) -> None:
    demo = sub.add_parser("demo", help="train on a synthetic table and report")
    demo.add_argument("--plot", metavar="PNG",
                      help="draw the learning curves and prediction against truth (matplotlib)")
    demo.add_argument("--csv", metavar="FILE",
                      help="also write the table to FILE, to try fit, predict and search on")
    demo.add_argument("--rows", type=int, default=20_000, help="rows to generate (20000)")
    demo.add_argument("--epochs", type=int, default=20, help="passes over the data (20)")
    demo.add_argument("--seed", type=int, default=3, help="seed of data and model (3)")
    demo.add_argument("--no-progress", action="store_true", help="no progress bars")
    demo.set_defaults(handler=_run_demo)


def _describe(exc: BaseException) -> str:
    if isinstance(exc, ExpressionError):
        return exc.message
    if isinstance(exc, OSError) and exc.strerror:
        name = exc.filename if exc.filename is not None else ""
        return f"{os.fspath(name)}: {exc.strerror}" if name else exc.strerror
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status instead of raising."""
    args = _parser().parse_args(argv)
    try:
        status: int = args.handler(args)
        return status
    except BrokenPipeError:
        # The reader went away (as with "| head"): nothing is left to say to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print("tolq: interrupted", file=sys.stderr)
        return 130
    except _demo.NoMatplotlib:
        print(f"tolq {args.command}: error: --plot needs matplotlib, which is not installed "
              "(pip install matplotlib)", file=sys.stderr)
        return 1
    except (_CliError, OSError, ValueError, RuntimeError, TypeError) as exc:
        sys.stdout.flush()
        print(f"tolq {args.command}: error: {_describe(exc)}", file=sys.stderr)
        return 1

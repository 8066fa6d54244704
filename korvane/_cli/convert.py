"""korvane convert: the table of observations of BUFR files (korvane.read_bufr),
written as CSV or Parquet."""

from __future__ import annotations

import os
import sys
import warnings

from korvane._cli import inputs
from korvane.cli import CliError, UsageError, definitions_root

_FORMATS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


def _scalar(text: str):
    """A filter value: an integer, a number, else the text itself (a key's text
    value, or a date-time such as 2019-12-22T22:00)."""
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def parse_filter(spec: str) -> tuple[str, object]:
    """KEY=VALUE, KEY=A,B (any of these) or KEY=LOW..HIGH (both ends included, either may be left out)."""
    key, eq, value = spec.partition("=")
    key = key.strip()
    if not eq or not key or not value:
        raise UsageError(f"--filter {spec!r}: write KEY=VALUE, KEY=A,B or KEY=LOW..HIGH")
    if ".." in value:
        low, _, high = value.partition("..")
        return key, slice(_scalar(low) if low else None, _scalar(high) if high else None)
    if "," in value:
        return key, [_scalar(v) for v in value.split(",")]
    return key, _scalar(value)


def _require(module: str, why: str):
    try:
        return __import__(module)
    except ImportError:
        raise CliError(f"{why} needs {module}, which is not installed: pip install {module}") from None


def required_columns(text: str | None):
    """--required: all (the default), none, or keys separated by commas."""
    if text is None or text.strip() == "all":
        return True
    if text.strip() == "none":
        return False
    return [k.strip() for k in text.split(",") if k.strip()]


def run(args) -> int:
    if not args.columns:
        raise UsageError("convert: give the columns with --columns K1,K2")
    columns = [c.strip() for c in args.columns.split(",") if c.strip()]
    filters = dict(parse_filter(f) for f in args.filter)
    fmt: str | None = "csv"
    if args.output is not None:
        fmt = _FORMATS.get(os.path.splitext(args.output)[1].lower())
        if fmt is None:
            raise UsageError(f"-o {args.output}: name a .csv or .parquet file")
    if fmt == "parquet":
        _require("pyarrow", "writing Parquet")
        import pyarrow as pa
        import pyarrow.parquet as pq
    else:
        pd = _require("pandas", "korvane convert")
    root = definitions_root(args.definitions)
    from korvane import frames

    # One plan for all the files: the names are checked before anything is
    # read, and a key is reported absent when no file has it.
    try:
        plan = frames._Plan(columns, filters, False, required_columns(args.required), root)
    except (KeyError, TypeError, ValueError) as e:
        raise CliError(str(e)) from None
    sources = inputs.sources(args.files, args.max_size)
    status = 0
    tables = []
    out = None
    header = True
    try:
        if fmt == "csv":
            out = sys.stdout if args.output is None else _output(args.output)
        failed: list = []
        for src, data in inputs.readable(inputs.progress(sources, stdout_used=args.output is None), failed):
            try:
                if data.find(b"BUFR") < 0:
                    if src.named:
                        inputs.error(inputs.no_messages(src, data))
                        status = 1
                    continue
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    try:
                        names, cols = frames._table(data, plan, root, "warn")
                    except (KeyError, TypeError, ValueError) as e:
                        raise CliError(f"{src.name}: {e}") from None
                for w in caught:
                    text = str(w.message)
                    if issubclass(w.category, RuntimeWarning):  # a message that could not be decoded
                        inputs.error(text)
                        status = 1
                    else:
                        inputs.error(f"warning: {text}")
            finally:
                inputs.release(data)
            if fmt == "parquet":
                tables.append(frames._arrow(pa, names, cols))
            else:
                table = frames._pandas(pd, names, cols)
                _write(args.output, lambda: table.to_csv(out, index=False, header=header))
                header = False
        for absent in plan.absent():
            inputs.error(f"warning: {absent}")
        if fmt == "parquet":
            if tables:
                whole = pa.concat_tables(tables, promote_options="permissive")
            else:
                whole = pa.table({c: pa.array([], type=pa.float64()) for c in columns})
            # Through a file of Python's own, whose errors say what failed (a full disk).
            def parquet() -> None:
                with open(args.output, "wb") as f:
                    pq.write_table(whole, f)

            _write(args.output, parquet)
        elif header:  # nothing read: the header alone
            assert out is not None  # the CSV output, opened above
            _write(args.output, lambda: out.write(",".join(columns) + "\n"))
        if failed:
            status = 1
    finally:
        if out is not None and out is not sys.stdout:
            _write(args.output, out.close)
    return status


def _output(path: str):
    try:
        return open(path, "w", encoding="utf-8", newline="")
    except OSError as e:
        raise CliError(f"cannot write {path}: {inputs.os_error_text(e)}") from None


def _write(path: str | None, write) -> None:
    """Runs `write`; a failure to write (a full disk) is one line naming the
    output, not a traceback."""
    try:
        write()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise CliError(f"cannot write {path or 'the output'}: {inputs.os_error_text(e)}") from None

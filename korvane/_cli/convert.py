"""korvane convert: the table of observations of BUFR files (korvane.read_bufr),
written as CSV or Parquet."""

from __future__ import annotations

import io
import os
import sys
import warnings

from korvane._cli import inputs
from korvane._cli.output import Outputs
from korvane._cli.select import parse_filter
from korvane.cli import CliError, UsageError, definitions_root

TYPE_CHECKING = False  # typing itself is not imported: it would add to the start-up
if TYPE_CHECKING:
    from typing import TextIO

_FORMATS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


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

    # -m and -w choose messages (their rows then pass --filter): the
    # positions of each file's chosen messages, as a filter on message_index.
    selection = chosen = None
    if args.where or args.message:
        from korvane._cli.messages import Scan
        from korvane._cli.select import Selection, _Positions

        if "message_index" in filters:
            raise UsageError("choose messages with -m or with --filter message_index=..., not both")
        selection = Selection(args, root)
        chosen = filters["message_index"] = _Positions()

    # One plan for all the files: the names are checked before anything is
    # read, and a key is reported absent when no file has it.
    try:
        plan = frames._Plan(columns, filters, False, required_columns(args.required), root)
    except (KeyError, TypeError, ValueError) as e:
        raise CliError(str(e)) from None
    sources = inputs.sources(args.files, args.max_size)
    status = 0
    tables = []
    header = True
    with Outputs() as outputs:
        # A file is written whole (a temporary file renamed into place) or not at all.
        target = outputs.get(args.output) if args.output is not None else None
        binary = target.binary() if target is not None else None
        out: TextIO = sys.stdout
        if fmt == "csv" and binary is not None:
            out = io.TextIOWrapper(binary, encoding="utf-8", newline="", write_through=True)
        failed: list = []
        for src, data in inputs.readable(inputs.progress(sources, stdout_used=args.output is None), failed):
            try:
                if data.find(b"BUFR") < 0:
                    if src.named:
                        inputs.error(inputs.no_messages(src, data))
                        status = 1
                    continue
                if selection is not None and chosen is not None:
                    import numpy as np

                    scan = Scan(data.view)
                    picked = selection.for_file(data, scan)
                    chosen.positions = np.array([p for p, h in enumerate(scan.headers) if h["index"] in picked],
                                                dtype=np.int64)
                    if selection.failed:
                        status = 1
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
            _write(args.output, lambda: pq.write_table(whole, binary))
        elif header:  # nothing read: the header alone
            assert out is not None  # the CSV output, opened above
            _write(args.output, lambda: out.write(",".join(columns) + "\n"))
        if out is not sys.stdout and isinstance(out, io.TextIOWrapper):
            _write(args.output, out.flush)
            out.detach()  # the file stays open for the rename
        if failed:
            status = 1
    return status


def _write(path: str | None, write) -> None:
    """Runs `write`; a failure to write (a full disk) is one line naming the
    output, not a traceback."""
    try:
        write()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise CliError(f"cannot write {path or 'the output'}: {inputs.os_error_text(e)}") from None

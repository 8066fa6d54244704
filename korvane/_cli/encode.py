"""korvane encode: a table of observations written as BUFR with a template
(korvane.write_bufr)."""

from __future__ import annotations

import os
import sys
from typing import Any

from korvane._cli import inputs
from korvane._cli.output import Outputs
from korvane._cli.select import assignments
from korvane.cli import CliError, UsageError, _parse_code, definitions_root


def _csv(stream, name: str) -> dict[str, list]:
    """The columns of a CSV table with a header line; empty cells are None.
    Cells stay text: write_bufr reads numbers from them, and texts as they are."""
    import csv
    import io

    reader = csv.reader(io.TextIOWrapper(stream, encoding="utf-8-sig", newline=""))
    try:
        names = next(reader)
    except StopIteration:
        raise CliError(f"{name}: the table is empty: it needs a header line naming its columns") from None
    except (csv.Error, UnicodeDecodeError) as e:
        raise CliError(f"{name}: {e}") from None
    if len(set(names)) != len(names):
        raise CliError(f"{name}: a column is named twice in the header line")
    columns: dict[str, list] = {n: [] for n in names}
    lists = list(columns.values())
    try:
        for line, row in enumerate(reader, start=2):
            if not row:
                continue
            if len(row) != len(names):
                raise CliError(f"{name}: line {line} has {len(row)} cells, the header line {len(names)}")
            for cells, cell in zip(lists, row):
                cells.append(cell if cell != "" else None)
    except (csv.Error, UnicodeDecodeError) as e:
        raise CliError(f"{name}: {e}") from None
    return columns


def _table(path: str):
    if path != "-" and os.path.splitext(path)[1].lower() in (".parquet", ".pq"):
        try:
            import pyarrow.parquet as pq
        except ImportError:
            raise CliError("reading Parquet needs pyarrow, which is not installed: pip install pyarrow") from None
        try:
            return pq.read_table(path)
        except OSError as e:
            raise CliError(f"{path}: {inputs.os_error_text(e) if e.errno else e}") from None
        except Exception as e:  # pyarrow's own errors for a file that is no Parquet
            raise CliError(f"{path}: {e}") from None
    if path == "-":
        return _csv(sys.stdin.buffer, "<stdin>")
    try:
        with open(path, "rb") as f:
            return _csv(f, path)
    except OSError as e:
        raise CliError(f"{path}: {inputs.os_error_text(e)}") from None


def run(args) -> int:
    from korvane._cli.set import header_fields

    if not args.template:
        raise UsageError("encode: give the descriptors of section 3 with --template, such as 307080")
    if not args.output:
        raise UsageError("encode: name the output with -o FILE (- for standard output)")
    try:
        template = [_parse_code(c.strip()) for c in args.template.split(",") if c.strip()]
    except CliError as e:
        raise UsageError(str(e)) from None
    header: dict[str, Any] = {}
    for text in args.set:
        for key, value in assignments(text, "-s"):
            fields = header_fields(key, value)
            if fields is None or "compressed_data" in fields:
                raise UsageError(f"-s {key}: no header field that encode sets"
                                 + (" (--compressed writes compressed data)" if fields else ""))
            header.update(fields)
    if args.subsets_per_message is not None and not 1 <= args.subsets_per_message <= 65535:
        raise UsageError("--subsets-per-message takes a number from 1 to 65535")
    table = _table(args.table)
    root = definitions_root(args.definitions)
    from korvane.writer import write_bufr

    with Outputs() as outputs:
        out: Any = outputs.get(args.output)  # a binary file to write_bufr
        try:
            n = write_bufr(table, template, out, compressed=args.compressed,
                           subsets_per_message=args.subsets_per_message, definitions=root, **header)
        except (KeyError, TypeError, ValueError) as e:
            raise CliError(f"{args.table}: {getattr(e, 'reason', e)}") from None
    if n == 0:
        inputs.error(f"warning: {args.table} has no rows: no message written")
    return 0

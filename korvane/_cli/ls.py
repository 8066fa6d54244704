"""korvane ls: one line per message, of fixed columns or of the keys -p names."""

from __future__ import annotations

import sys

from korvane._cli import inputs
from korvane._cli.messages import centre_name, scan_of, typical_datetime
from korvane.cli import UsageError, definitions_root

COLUMNS = ("offset", "edition", "length", "centre", "centre_name", "category", "datetime", "master", "local",
           "subsets", "compressed", "descriptors")


def _fixed(root, scan, h) -> dict:
    """The fixed columns of a message, as JSON gives them."""
    return {
        "offset": h["offset"], "edition": h["edition"], "length": h["total_length"],
        "centre": h["originating_centre"], "centre_name": centre_name(root, h["edition"], h["originating_centre"]),
        "category": h["data_category"], "datetime": typical_datetime(h),
        "master": h["master_tables_version_number"], "local": h["local_tables_version_number"],
        "subsets": h["number_of_subsets"], "compressed": bool(h["compressed_data"]),
        "descriptors": scan.descriptors(h),
    }


def _fixed_line(root, scan, h) -> str:
    return (f"{h['offset']}\t{h['edition']}\t{h['total_length']}\t{h['originating_centre']}\t"
            f"{centre_name(root, h['edition'], h['originating_centre'])}\t{h['data_category']}\t"
            f"{typical_datetime(h)}\t{h['master_tables_version_number']}\t{h['local_tables_version_number']}\t"
            f"{h['number_of_subsets']}\t{'yes' if h['compressed_data'] else 'no'}\t"
            + " ".join(f"{c:06d}" for c in scan.descriptors(h)) + "\n")


class _Writer:
    """The lines of one output format: tab-separated text, CSV or JSON lines."""

    def __init__(self, fmt: str, names: list[str] | None) -> None:
        self.fmt = fmt
        self.names = names
        self.header = False
        if fmt == "json":
            import json

            self.dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode
        elif fmt == "csv":
            import csv
            import io

            self.buffer = io.StringIO()
            self.csv = csv.writer(self.buffer, lineterminator="\n")

    def _csv(self, row: list) -> str:
        self.csv.writerow(row)
        line = self.buffer.getvalue()
        self.buffer.seek(0)
        self.buffer.truncate()
        return line

    def head(self) -> str:
        """The line naming the columns, before the first message."""
        if self.header or self.fmt == "json":
            return ""
        self.header = True
        names = list(self.names or COLUMNS)
        return self._csv(["file", "message", *names]) if self.fmt == "csv" else "\t".join(names) + "\n"

    def line(self, src, index: int, fixed, values: dict | None) -> str:
        from korvane._cli.select import jsonable, text

        if self.fmt == "json":
            record = {"file": src.name, "message": index}
            if values is None:
                record.update(fixed())
            else:
                record.update((k, text(k, v) if k == "typicalTime" else jsonable(v)) for k, v in values.items())
            return self.dumps(record) + "\n"
        if values is None:
            row = fixed()
            if self.fmt == "csv":
                row = dict(row, compressed="yes" if row["compressed"] else "no",
                           descriptors=" ".join(f"{c:06d}" for c in row["descriptors"]))
                return self._csv([src.name, index, *row.values()])
        assert values is not None  # the text of the fixed columns is _fixed_line's
        cells = [text(k, v, "" if self.fmt == "csv" else "missing") for k, v in values.items()]
        if self.fmt == "csv":
            return self._csv([src.name, index, *cells])
        return "\t".join(cells) + "\n"


def run(args) -> int:
    fmt = "json" if args.json else "csv" if args.csv else "text"
    names = None
    if args.keys is not None:
        names = list(dict.fromkeys(k.strip() for k in args.keys.split(",") if k.strip()))
        if not names:
            raise UsageError("-p names no key")
    # Centre names are a nicety: without installed tables the messages are
    # listed without them, rather than unpacking the carried tables for them.
    root = definitions_root(args.definitions, carried=False)
    selection = keys = None
    if args.where or args.message or names:
        from korvane._cli.select import Keys, Selection

        # Data keys need tables: from the carried ones if need be.
        def data_root():
            return definitions_root(args.definitions)

        selection = Selection(args, data_root)
        keys = Keys(names, data_root) if names else None
    sources = inputs.sources(args.files, args.max_size)
    many = len(sources) > 1
    writer = _Writer(fmt, names)
    write = sys.stdout.write
    status = 0
    named = None  # the file whose name was printed last
    failed: list = []
    for src, data in inputs.readable(inputs.progress(sources), failed):
        values: dict = {}
        try:
            scan = scan_of(src, data)
            if scan is None:
                status |= src.named
                continue
            chosen = None
            if selection is not None:
                file = None
                if selection.data or (keys is not None and keys.data):
                    from korvane._cli.select import open_file

                    file = open_file(data, selection.definitions if selection.data or keys is None
                                     else keys.definitions, None)
                chosen = selection.for_file(data, scan, file)
                if keys is not None:
                    values, _ = keys.for_file(data, scan, list(chosen), file)
                if selection.failed or (keys is not None and keys.failed):
                    status = 1
        finally:
            inputs.release(data)
        lines: list[str] = []
        for index, h, problem in scan.entries():
            if problem is not None:
                if selection is not None and not selection.number_chosen(index):
                    continue
                write("".join(lines))
                lines = []
                _, offset, _, _, text = problem
                inputs.error(f"{src.name}: message {index} at offset {offset}: {text}")
                status = 1
                continue
            if chosen is not None and index not in chosen:
                continue
            if keys is not None and index not in values:
                continue  # its data could not be read (reported)
            lines.append(writer.head())
            if fmt == "text" and many and src is not named:
                lines.append(f"# {src.name}\n")
                named = src
            if names is None and fmt == "text":
                lines.append(_fixed_line(root, scan, h))
            else:
                lines.append(writer.line(src, index, lambda: _fixed(root, scan, h),
                                         values[index] if names is not None else None))
        write("".join(lines))
    return 1 if failed else status

"""korvane ls: one line per message."""

from __future__ import annotations

import sys

from korvane._cli import inputs
from korvane._cli.messages import Scan, centre_name, typical_datetime
from korvane.cli import definitions_root

COLUMNS = ("offset", "edition", "length", "centre", "centre_name", "category", "datetime", "master", "local",
           "subsets", "compressed", "descriptors")


def run(args) -> int:
    # Centre names are a nicety: without installed tables the messages are
    # listed without them, rather than unpacking the carried tables for them.
    root = definitions_root(args.definitions, carried=False)
    sources = inputs.sources(args.files, args.max_size)
    many = len(sources) > 1
    write = sys.stdout.write
    status = 0
    header = False
    named = None  # the file whose name was printed last
    failed: list = []
    for src, data in inputs.readable(inputs.progress(sources), failed):
        try:
            scan = Scan(data.view)
        finally:
            inputs.release(data)
        if not scan.headers and not scan.problems:
            if src.named:
                inputs.error(inputs.no_messages(src, data))
                status = 1
            continue
        lines: list[str] = []
        for index, h, problem in scan.entries():
            if problem is not None:
                write("".join(lines))
                lines = []
                _, offset, _, _, text = problem
                inputs.error(f"{src.name}: message {index} at offset {offset}: {text}")
                status = 1
                continue
            if not header:
                lines.append("\t".join(COLUMNS) + "\n")
                header = True
            if many and src is not named:
                lines.append(f"# {src.name}\n")
                named = src
            lines.append(
                f"{h['offset']}\t{h['edition']}\t{h['total_length']}\t{h['originating_centre']}\t"
                f"{centre_name(root, h['edition'], h['originating_centre'])}\t{h['data_category']}\t"
                f"{typical_datetime(h)}\t{h['master_tables_version_number']}\t{h['local_tables_version_number']}\t"
                f"{h['number_of_subsets']}\t{'yes' if h['compressed_data'] else 'no'}\t"
                + " ".join(f"{c:06d}" for c in scan.descriptors(h)) + "\n"
            )
        write("".join(lines))
    return 1 if failed else status

"""The korvane command: inspect and decode BUFR files from the shell."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from korvane import _korvane


def _messages_with_offsets(path: str) -> list[tuple[int, _korvane.BufrMessage]]:
    with open(path, "rb") as f:
        data = f.read()
    messages = _korvane.parse_all_bytes(data)
    # Each message starts at the first marker after the end of the one before,
    # the rule by which parse_all_bytes found it.
    out = []
    pos = 0
    for m in messages:
        start = data.find(b"BUFR", pos)
        out.append((start, m))
        pos = start + (m.total_length or 4)
    return out


def _cmd_ls(args: argparse.Namespace) -> int:
    print("offset\tedition\tlength\tcentre\tsubcentre\tmaster_version\tsubsets\tcompressed\tdescriptors")
    status = 0
    for path in args.files:
        try:
            found = _messages_with_offsets(path)
        except (OSError, ValueError) as e:
            print(f"korvane: {path}: {e}", file=sys.stderr)
            status = 1
            continue
        if len(args.files) > 1:
            print(f"# {path}")
        for offset, m in found:
            print(
                f"{offset}\t{m.edition}\t{m.total_length}\t{m.originating_centre}\t"
                f"{m.originating_subcentre}\t{m.master_tables_version_number}\t"
                f"{m.number_of_subsets}\t{'yes' if m.compressed_data else 'no'}\t"
                + " ".join(f"{c:06d}" for c in m.unexpanded_descriptors)
            )
    return status


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="korvane", description="Decode WMO BUFR edition 4 files.")
    sub = parser.add_subparsers(dest="command", required=True)
    ls = sub.add_parser("ls", help="list the messages of BUFR files")
    ls.add_argument("files", nargs="+", metavar="FILE")
    ls.set_defaults(run=_cmd_ls)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except BrokenPipeError:
        return 1
    except KeyboardInterrupt:
        return 130

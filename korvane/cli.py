"""The korvane command: inspect and decode BUFR files from the shell."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence

from korvane import _korvane


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _messages_with_offsets(data: bytes) -> list[tuple[int, _korvane.BufrMessage]]:
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
            found = _messages_with_offsets(_read(path))
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


# ---- BUFR tables: where they come from ----------------------------------------

DEFAULT_DEFINITIONS = "/usr/share/eccodes/definitions"

NO_TABLES = (
    "no BUFR tables: give --tables DIR (an ecCodes-style table directory), --wmo-csv DIR "
    "(the WMO BUFR4 CSV files) or --definitions DIR (an ecCodes definitions root); "
    "on Debian and Ubuntu, 'apt-get install libeccodes-data' installs the definitions at "
    + DEFAULT_DEFINITIONS
)


class CliError(Exception):
    """A failure reported as "korvane: <text>" with exit status 1."""


def _add_table_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("tables (default: the definitions root " + DEFAULT_DEFINITIONS + ")")
    source = g.add_mutually_exclusive_group()
    source.add_argument("--tables", metavar="DIR", help="an ecCodes-style table directory")
    source.add_argument("--wmo-csv", metavar="DIR", help="a directory of WMO BUFR4 CSV table files")
    source.add_argument("--definitions", metavar="DIR", help="an ecCodes definitions root")
    g.add_argument("--master-table", type=int, default=0, metavar="N", help="master table number (default 0)")
    g.add_argument("--master-version", type=int, metavar="V",
                   help="master table version (default: the newest installed under the root)")
    g.add_argument("--local-version", type=int, default=0, metavar="L", help="local table version (default 0: none)")
    g.add_argument("--centre", type=int, default=0, metavar="C", help="originating centre (default 0)")
    g.add_argument("--subcentre", type=int, default=0, metavar="S", help="originating sub-centre (default 0)")


def _header_message(master_table: int, master_version: int, local_version: int,
                    centre: int, subcentre: int) -> _korvane.BufrMessage:
    """A minimal message whose header names the wanted tables: the definitions
    root picks its tables by the header of a message."""
    for name, value, limit in (("--master-table", master_table, 255), ("--master-version", master_version, 255),
                               ("--local-version", local_version, 255), ("--centre", centre, 65535),
                               ("--subcentre", subcentre, 65535)):
        if not 0 <= value <= limit:
            raise CliError(f"{name} must lie in 0..{limit}, not {value}")
    sec1 = (bytes([0, 0, 22, master_table]) + centre.to_bytes(2, "big") + subcentre.to_bytes(2, "big")
            + bytes([0, 0, 0, 0, 0, master_version, local_version]) + (2000).to_bytes(2, "big") + bytes(5))
    sec3 = bytes([0, 0, 9, 0, 0, 1, 0x80, 0, 0])
    sec4 = bytes([0, 0, 4, 0])
    body = sec1 + sec3 + sec4 + b"7777"
    return _korvane.parse_bytes(b"BUFR" + (8 + len(body)).to_bytes(3, "big") + b"\x04" + body)


def _newest_version(root: str, master_table: int) -> int:
    base = os.path.join(root, "bufr", "tables", str(master_table), "wmo")
    try:
        versions = [int(n) for n in os.listdir(base) if n.isdigit()]
    except OSError as e:
        raise CliError(f"{base}: {e.strerror}") from None
    if not versions:
        raise CliError(f"no WMO table versions under {base}")
    return max(versions)


def load_tables(args: argparse.Namespace, message: _korvane.BufrMessage | None = None) -> _korvane.TableSet:
    """The tables that the table options name. With a definitions root, the
    tables of `message` when given, else of the --master-version etc. options."""
    try:
        if args.tables:
            return _korvane.TableSet.from_eccodes(args.tables)
        if args.wmo_csv:
            return _korvane.TableSet.from_bufr4_45(args.wmo_csv)
        root = args.definitions
        if root is None:
            if not os.path.isdir(os.path.join(DEFAULT_DEFINITIONS, "bufr", "tables")):
                raise CliError(NO_TABLES)
            root = DEFAULT_DEFINITIONS
        if message is None:
            version = args.master_version
            if version is None:
                version = _newest_version(root, args.master_table)
            message = _header_message(args.master_table, version, args.local_version, args.centre, args.subcentre)
        return _korvane.TableSet.from_definitions(root, message)
    except ValueError as e:
        raise CliError(str(e)) from None


def _parse_code(text: str) -> int:
    """A descriptor code: 301001, or F-XX-YYY such as 3-01-001."""
    parts = text.split("-")
    try:
        if len(parts) == 3:
            f, x, y = (int(p) for p in parts)
            if 0 <= f <= 3 and 0 <= x <= 63 and 0 <= y <= 255:
                return f * 100000 + x * 1000 + y
        elif text.isdigit() and int(text) < 2**32:
            return int(text)
    except ValueError:
        pass
    raise CliError(f"invalid descriptor code {text!r}: write it as 301001 or 3-01-001")


def _code_line(tables: _korvane.TableSet, code: int) -> str:
    if code == 999999:
        return f"{code:06d}  (associated field)"
    e = tables.get_element(code) if code < 100000 else None
    return f"{code:06d}  {e.name}" if e is not None else f"{code:06d}"


def _cmd_expand(args: argparse.Namespace) -> int:
    codes = [_parse_code(c) for c in args.codes]
    tables = load_tables(args)
    try:
        expanded = tables.expand(codes)
    except ValueError as e:
        raise CliError(str(e)) from None
    for code in expanded:
        print(_code_line(tables, code))
    return 0


def _cmd_table(args: argparse.Namespace) -> int:
    code = _parse_code(args.code)
    tables = load_tables(args)
    if args.raw is not None:
        if not args.raw.isdigit() or int(args.raw) >= 2**64:
            raise CliError(f"invalid raw value {args.raw!r}: give an unsigned integer")
        meaning = tables.get_meaning(code, int(args.raw))
        if meaning is None:
            raise CliError(f"no meaning for {args.raw} in the code table of {code:06d}")
        print(meaning)
        return 0
    element = tables.get_element(code)
    if element is not None:
        print(f"element {code:06d}")
        for field in ("abbreviation", "element_type", "name", "unit", "scale", "reference", "width"):
            print(f"  {field:<13} {getattr(element, field)}")
        return 0
    sequence = tables.get_sequence(code)
    if sequence is not None:
        members = sequence.members
        print(f"sequence {code:06d}: {len(members)} member{'' if len(members) == 1 else 's'}")
        for member in members:
            print("  " + _code_line(tables, member))
        return 0
    raise CliError(f"descriptor {code:06d} is neither in Table B nor in Table D of these tables")


# ---- korvane dump: decoded values ----------------------------------------------

# Operator 2 41 255 reads nothing and changes nothing, but leaves a placeholder
# value: put before the descriptors of an uncompressed message, it marks where
# each subset's values begin in the flat list the decoder returns.
_SUBSET_MARK = 241255


def _with_subset_marks(message: bytes, m: _korvane.BufrMessage) -> bytes | None:
    total = m.total_length + 2
    if total >= 1 << 24:
        return None
    sec3 = 8 + m.section1_length + m.section2_length
    out = bytearray(message)
    out[4:7] = total.to_bytes(3, "big")
    out[sec3:sec3 + 3] = (m.section3_length + 2).to_bytes(3, "big")
    out[sec3 + 7:sec3 + 7] = bytes([(2 << 6) | 41, 255])
    return bytes(out)


def _split_subsets(decode, message: bytes, m: _korvane.BufrMessage) -> list[list[_korvane.DecodedValue]]:
    """The values of a message, subset by subset."""
    n = m.number_of_subsets
    if n <= 1 or m.compressed_data:
        values = decode(message)
        if n <= 1:
            return [values] if n == 1 else []
        per = len(values) // n  # compressed subsets all hold the same items
        return [values[i * per:(i + 1) * per] for i in range(n)]
    marked = _with_subset_marks(message, m)
    if marked is not None:
        values = decode(marked)
        starts = [i for i, v in enumerate(values) if v.descriptor == _SUBSET_MARK and v.name == "operator"]
        if len(starts) == n and starts[0] == 0:
            bounds = starts + [len(values)]
            return [values[bounds[i] + 1:bounds[i + 1]] for i in range(n)]
    # Should the message itself hold 2 41 255 placeholders, keep one block.
    return [decode(message)]


def _finite(x: float | None) -> float | str | None:
    return x if x is None or x == x and abs(x) != float("inf") else repr(x)


def _value_json(v: _korvane.DecodedValue) -> dict:
    return {"descriptor": v.descriptor, "name": v.name, "value": _finite(v.raw_value), "raw": v.raw,
            "text": v.raw_text, "meaning": v.raw_meaning}


def _value_line(v: _korvane.DecodedValue) -> str:
    if v.raw_text is not None:
        shown = json.dumps(v.raw_text, ensure_ascii=False)
    elif v.raw_value is None:
        shown = "missing"
    else:
        shown = repr(v.raw_value)
    meaning = v.raw_meaning
    return f"{v.descriptor:06d}\t{v.name}\t{shown}" + ("" if meaning is None else f"\t{meaning}")


def _dump_decoder(args: argparse.Namespace):
    """decode(message bytes) -> values, with the tables the options name."""
    try:
        if args.tables:
            tables = _korvane.TableSet.from_eccodes(args.tables)
        elif args.wmo_csv:
            tables = _korvane.TableSet.from_bufr4_45(args.wmo_csv)
        else:
            root = args.definitions
            if root is None:
                if not os.path.isdir(os.path.join(DEFAULT_DEFINITIONS, "bufr", "tables")):
                    raise CliError(NO_TABLES)
                root = DEFAULT_DEFINITIONS
            return lambda message: _korvane.decode_values_with_definitions(message, root)
    except ValueError as e:
        raise CliError(str(e)) from None
    return lambda message: _korvane.decode_values_with_tables(message, tables)


def _cmd_dump(args: argparse.Namespace) -> int:
    decode = _dump_decoder(args)
    status = 0
    for path in args.files:
        try:
            data = _read(path)
            found = _messages_with_offsets(data)
        except OSError as e:
            print(f"korvane: {path}: {e.strerror or e}", file=sys.stderr)
            status = 1
            continue
        except ValueError as e:
            print(f"korvane: {path}: {e}", file=sys.stderr)
            status = 1
            continue
        for number, (offset, m) in enumerate(found, 1):
            try:
                subsets = _split_subsets(decode, data[offset:offset + m.total_length], m)
            except ValueError as e:
                print(f"korvane: {path}: message {number}: {e}", file=sys.stderr)
                status = 1
                continue
            if args.json:
                print(json.dumps({"file": path, "message": number, "offset": offset,
                                  "subsets": [[_value_json(v) for v in s] for s in subsets]},
                                 ensure_ascii=False))
                continue
            print(f"# {path} message {number} at offset {offset}: {m.number_of_subsets} subsets, "
                  f"{'compressed' if m.compressed_data else 'uncompressed'}")
            for i, values in enumerate(subsets, 1):
                if len(subsets) > 1:
                    print(f"## subset {i}")
                for v in values:
                    print(_value_line(v))
    return status


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="korvane", description="Decode WMO BUFR edition 4 files.")
    sub = parser.add_subparsers(dest="command", required=True)
    ls = sub.add_parser("ls", help="list the messages of BUFR files")
    ls.add_argument("files", nargs="+", metavar="FILE")
    ls.set_defaults(run=_cmd_ls)
    expand = sub.add_parser("expand", help="expand descriptors: sequences replaced, replications unrolled")
    expand.add_argument("codes", nargs="+", metavar="CODE", help="descriptor codes, as 301001 or 3-01-001")
    _add_table_options(expand)
    expand.set_defaults(run=_cmd_expand)
    table = sub.add_parser("table", help="show an element, a sequence or a code-table meaning")
    table.add_argument("code", metavar="CODE", help="a descriptor code, as 001001 or 0-01-001")
    table.add_argument("raw", nargs="?", metavar="RAW", help="a raw value to look up in the element's code table")
    _add_table_options(table)
    table.set_defaults(run=_cmd_table)
    dump = sub.add_parser("dump", help="decode BUFR files: every value of every message, subset by subset")
    dump.add_argument("files", nargs="+", metavar="FILE")
    dump.add_argument("--json", action="store_true", help="one JSON object per message")
    g = dump.add_argument_group("tables (default: the tables each message names, from " + DEFAULT_DEFINITIONS + ")")
    source = g.add_mutually_exclusive_group()
    source.add_argument("--tables", metavar="DIR", help="an ecCodes-style table directory")
    source.add_argument("--wmo-csv", metavar="DIR", help="a directory of WMO BUFR4 CSV table files")
    source.add_argument("--definitions", metavar="DIR",
                        help="an ecCodes definitions root: each message decoded with the tables its header names")
    dump.set_defaults(run=_cmd_dump)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except CliError as e:
        print(f"korvane: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return 1
    except KeyboardInterrupt:
        return 130

"""The korvane command: inspect, decode, convert, copy, set and compare BUFR files from the shell.

Start-up time matters for a command run once per file from scripts, so this
module imports nothing beyond what the interpreter has already loaded: the
options are read by a small parser of our own (argparse and the regular
expressions it needs take longer to import than ecCodes' bufr_dump takes to
run), and each subcommand imports its own module when it runs. `ls` and
`dump` never import NumPy, nor does any command that chooses, names or sets
messages by header keys alone (-m, -w, ls -p, copy, split, set); what reads
data keys or writes with the encoder does.
"""

from __future__ import annotations

import os
import sys

from korvane import __version__, _korvane

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

DEFAULT_DEFINITIONS = "/usr/share/eccodes/definitions"



class CliError(Exception):
    """A failure reported as "korvane: <text>" with exit status 1."""


class UsageError(CliError):
    """Wrong options or arguments: exit status 2."""


# ---- options -------------------------------------------------------------------------


class Option:
    """One option: a switch, or an option taking a value (int, str, or a list of str when repeated)."""

    __slots__ = ("flags", "dest", "metavar", "help", "type", "default", "group")

    def __init__(self, flags, dest, help, metavar=None, type=str, default=None, group=None):
        self.flags = flags
        self.dest = dest
        self.metavar = metavar
        self.help = help
        self.type = type
        self.default = default
        self.group = group


class Command:
    __slots__ = ("name", "summary", "description", "positionals", "options", "module")

    def __init__(self, name, summary, description, positionals, options, module):
        self.name = name
        self.summary = summary
        self.description = description
        self.positionals = positionals  # (dest, metavar, nargs "1" | "?" | "+")
        self.options = options
        self.module = module  # "korvane.x:function"


class Args:
    """The parsed options of a command, as attributes."""

    run: str  # the command's function, "module:function"

    def __init__(self, command: str) -> None:
        self.command = command

    if TYPE_CHECKING:
        # One attribute per option and positional, set by parse_args.
        def __getattr__(self, name: str) -> Any: ...

    def __repr__(self) -> str:
        return f"Args({vars(self)})"


def _table_options(default_note: str) -> list[Option]:
    return [
        Option(("--tables",), "tables", "an ecCodes-style table directory", "DIR", group="tables"),
        Option(("--wmo-csv",), "wmo_csv", "a directory of WMO BUFR4 CSV table files", "DIR", group="tables"),
        Option(("--definitions",), "definitions", "an ecCodes definitions root" + default_note, "DIR",
               group="tables"),
    ]


_HEADER_OPTIONS = [
    Option(("--master-table",), "master_table", "master table number (default 0)", "N", int, 0),
    Option(("--master-version",), "master_version",
           "master table version (default: the newest installed under the root)", "V", int),
    Option(("--local-version",), "local_version", "local table version (default 0: none)", "L", int, 0),
    Option(("--centre",), "centre", "originating centre (default 0)", "C", int, 0),
    Option(("--subcentre",), "subcentre", "originating sub-centre (default 0)", "S", int, 0),
]

_DEFINITIONS = Option(("--definitions",), "definitions",
                      "an ecCodes definitions root (default: $ECCODES_DEFINITION_PATH, else "
                      + DEFAULT_DEFINITIONS + ")", "DIR")

_DEFAULT_ROOTS = (" (default: $ECCODES_DEFINITION_PATH, else " + DEFAULT_DEFINITIONS
                  + ", else the tables korvane carries)")

_FILES = ("files", "FILE", "+")
_WHERE = Option(("-w", "--where"), "where",
                "only the messages where KEY=VALUE (repeatable; KEY=A,B: any of these; KEY=LOW..HIGH: a range, "
                "both ends included; KEY!=...: the contrary); header keys (dataCategory, "
                "typicalDate, ...) or data keys (airTemperature, #2#pressure, 012101, WMO_station_id)",
                "KEY=VALUE", list)
_MESSAGE = Option(("-m", "--message"), "message",
                  "only messages N, M, A to B (counted from 0 in each file, as Message.index and errors count "
                  "them)", "N,M,A..B", list)
_SELECT = [_WHERE, _MESSAGE]
_MAX_SIZE = Option(("--max-size",), "max_size",
                   "the most bytes read from standard input or a URL, and the most that decompressing a file may "
                   "give (default 4GiB)", "SIZE")
_FILES_HELP = (
    "FILE may be a file, a directory (read recursively; files in it without any BUFR message "
    "are passed over, special files skipped with a note), a glob pattern such as 'data/**/*.bufr', "
    "a URL (with fsspec installed: pip install 'korvane[remote]'), or - for standard input. Files "
    "compressed with gzip, bzip2, xz or zstd are decompressed."
)

COMMANDS = {
    c.name: c
    for c in (
        Command(
            "ls", "list the messages of BUFR files",
            "One line per message: offset, edition, length, originating centre (number and name from "
            "the common code table C-11, C-1 before edition 4), data category, typical date and time, "
            "master and local table versions, subsets, compression and descriptors; or with -p the keys "
            "named (data keys from the first subset). Every readable message is listed; each damaged one is "
            "reported on stderr, and the exit status is then 1.",
            [_FILES],
            [
                Option(("-p", "--keys"), "keys", "print these keys instead: header keys (typicalDate, dataCategory, "
                       "...) and data keys (their value in the first subset), separated by commas", "K1,K2"),
                Option(("--json",), "json", "one JSON object per message and line", type=None, default=False,
                       group="format"),
                Option(("--csv",), "csv", "CSV with a header line, the file and message first", type=None,
                       default=False, group="format"),
                *_SELECT, _DEFINITIONS, _MAX_SIZE,
            ],
            "korvane._cli.ls:run"),
        Command(
            "dump", "decode BUFR files: every item of every subset",
            "Per subset, one line per item: code, key, name, value, unit and, for code and flag "
            "tables, the meaning. Messages count from 0, subsets from 1. --json writes one JSON document "
            "per message (one per line); --json --compact writes, per message, one array per key "
            "across the subsets.",
            [_FILES],
            [
                Option(("--subset",), "subset", "only subset N of each message (counted from 1)", "N", int),
                Option(("--keys",), "keys",
                       "only these items: keys (airTemperature), six-digit codes (012101) or ranks "
                       "within the subset (#2#airTemperature), separated by commas", "K1,K2"),
                Option(("--json",), "json", "one JSON document per message", type=None, default=False),
                Option(("--compact",), "compact", "with --json: one array per key across the subsets",
                       type=None, default=False),
                *_SELECT,
                _MAX_SIZE,
                *_table_options(" (default: the tables each message names, from $ECCODES_DEFINITION_PATH, "
                                "else " + DEFAULT_DEFINITIONS + ", else the tables korvane carries)"),
            ],
            "korvane._cli.dump:run"),
        Command(
            "convert", "write the observations of BUFR files as a CSV or Parquet table",
            "The table korvane.read_bufr makes, one column per key of --columns, written as CSV to "
            "standard output or to -o FILE (.csv, or .parquet with pyarrow installed).",
            [_FILES],
            [
                Option(("--columns",), "columns", "the columns: keys, codes or ranks, separated by commas",
                       "K1,K2"),
                Option(("--filter",), "filter", "keep rows whose KEY equals VALUE (repeatable; "
                       "KEY=A,B: any of these; KEY=LOW..HIGH: a range, both ends included)", "KEY=VALUE", list),
                Option(("--required",), "required", "the columns a row must have an item of to be kept: all "
                       "(the default), none, or keys separated by commas", "KEYS"),
                Option(("-o", "--output"), "output", "write to FILE (.csv or .parquet) instead of stdout",
                       "FILE"),
                *_SELECT,
                _DEFINITIONS,
                _MAX_SIZE,
            ],
            "korvane._cli.convert:run"),
        Command(
            "copy", "copy chosen messages of BUFR files, byte for byte",
            "Writes the messages that -w and -m choose to OUT, each as its bytes were, in the order read. "
            "OUT may name keys in square brackets, as in out_[dataCategory]_[typicalDate].bufr: each message "
            "goes to the file its own values name (data keys: their value in the first subset). With "
            "--subsets, a message is written with only the subsets that the conditions on data keys choose, "
            "encoded again. Damaged messages are reported on stderr and not copied, and the exit status is "
            "then 1. OUT - is standard output.",
            [_FILES, ("output", "OUT", "1")],
            [*_SELECT,
             Option(("--subsets",), "subsets", "keep only the subsets that -w chooses in each message (encoded "
                    "again; messages whose subsets all pass are copied as they are)", type=None, default=False),
             _DEFINITIONS, _MAX_SIZE],
            "korvane._cli.copy:run_copy"),
        Command(
            "split", "write each chosen message to a file of its own",
            "Writes each message that -w and -m choose, byte for byte, to DIR (made when missing) as "
            "NAME_N.bufr: NAME is the input's file name without its extensions, N the message's number in "
            "it, counted from 0 and written with as many digits as the file's last number needs. Inputs of "
            "the same NAME are told apart as NAME-2, NAME-3, ... in the order read.",
            [_FILES, ("directory", "DIR", "1")],
            [*_SELECT, _DEFINITIONS, _MAX_SIZE],
            "korvane._cli.copy:run_split"),
        Command(
            "set", "set header or data keys of BUFR messages",
            "Writes every message to OUT with the keys of -s set in those that -w and -m choose (the others "
            "are copied as they are). Header keys are set in section 1 alone, the other sections keeping their "
            "bytes; data keys (airTemperature, #2#pressure, 012101: every item of the key in every subset, or "
            "of that rank), and the header keys edition, compressedData and observedData, are set by encoding "
            "the message again. A value that cannot be set fails the command, and then no output is written. "
            "VALUE is a number, a text, or missing. OUT - is standard output.",
            [_FILES, ("output", "OUT", "1")],
            [Option(("-s", "--set"), "set", "set KEY to VALUE (repeatable; several separated by commas)",
                    "KEY=VALUE", list),
             *_SELECT, _DEFINITIONS, _MAX_SIZE],
            "korvane._cli.set:run"),
        Command(
            "compare", "compare two BUFR files message by message and item by item",
            "Prints one line per difference: the message's number, and for an item its subset (counted from "
            "1, as dump --subset counts) and its key ranked within the subset (#2#airTemperature); the header "
            "fields and descriptors, the items' codes, values, missing values and texts are compared, and "
            "then the numbers of differences. The exit status is 0 when the files are equal, 1 when they "
            "differ (as bufr_compare's), 2 when one cannot be read. A and B are each one file, URL or - for "
            "standard input, compressed with gzip, bzip2, xz or zstd or not.",
            [("first", "A", "1"), ("second", "B", "1")],
            [Option(("--tolerance",), "tolerance", "values equal when they differ by at most X; KEY=X for one "
                    "key (repeatable)", "X|KEY=X", list),
             Option(("--brief",), "brief", "only the numbers of differences", type=None, default=False),
             *_SELECT, _MAX_SIZE,
             *_table_options(" (default: the tables each message names, from $ECCODES_DEFINITION_PATH, "
                             "else " + DEFAULT_DEFINITIONS + ", else the tables korvane carries)")],
            "korvane._cli.compare:run"),
        Command(
            "encode", "write a table of observations as BUFR messages with a template",
            "The command form of korvane.write_bufr: each row of TABLE (CSV with a header line, or Parquet; "
            "- reads CSV from standard input) becomes a subset of the template, its columns named as "
            "convert and read_bufr name them; empty cells are missing. Header fields are given with -s "
            "(bufrHeaderCentre=98, dataCategory=0, ...); the typical date and time default to the first "
            "row's.",
            [("table", "TABLE", "1")],
            [Option(("--template",), "template", "the descriptors of section 3, such as 307080, separated by "
                    "commas", "CODES"),
             Option(("-o", "--output"), "output", "the BUFR file to write (- for standard output)", "OUT"),
             Option(("-s", "--set"), "set", "a header field (repeatable; several separated by commas)",
                    "KEY=VALUE", list),
             Option(("--compressed",), "compressed", "write compressed data", type=None, default=False),
             Option(("--subsets-per-message",), "subsets_per_message", "rows per message (default: all, up to "
                    "65535)", "N", int),
             _DEFINITIONS],
            "korvane._cli.encode:run"),
        Command(
            "expand", "expand descriptors: sequences replaced, replications unrolled",
            "Prints each descriptor of the expansion with its element name.",
            [("codes", "CODE", "+")],
            _table_options(_DEFAULT_ROOTS) + _HEADER_OPTIONS,
            "korvane.cli:_cmd_expand"),
        Command(
            "table", "show an element, a sequence or a code-table meaning",
            "An element of Table B, a sequence of Table D, or with RAW the meaning of a code-table entry.",
            [("code", "CODE", "1"), ("raw", "RAW", "?")],
            _table_options(_DEFAULT_ROOTS) + _HEADER_OPTIONS,
            "korvane.cli:_cmd_table"),
    )
}


def _usage(c: Command) -> str:
    shown = {"1": "{}", "?": "[{}]", "+": "{}..."}
    return f"usage: korvane {c.name} [options] " + " ".join(shown[n].format(m) for _, m, n in c.positionals)


def _wrap(text: str, width: int = 96, indent: str = "") -> list[str]:
    """Words of `text` in lines of at most `width` characters (textwrap would import re)."""
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width - len(indent):
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    return [indent + text_line for text_line in lines + [line]]


def _help(c: Command) -> str:
    lines = [_usage(c), "", c.summary[0].upper() + c.summary[1:] + ".", "", *_wrap(c.description)]
    if c.positionals[0][1] == "FILE":
        lines += ["", *_wrap(_FILES_HELP)]
    lines += ["", "options:", "  -h, --help".ljust(28) + "show this help"]
    for o in c.options:
        flags = ", ".join(o.flags) + (f" {o.metavar}" if o.metavar else "")
        first, *rest = _wrap(o.help, indent=" " * 28)
        lines.append(f"  {flags}".ljust(28) + first.lstrip() if len(flags) < 25 else f"  {flags}")
        if len(flags) >= 25:
            rest.insert(0, first)
        lines += rest
    return "\n".join(lines) + "\n"


def _main_help() -> str:
    lines = ["usage: korvane [--version] COMMAND [options] ...", "",
             "Decode WMO FM 94 BUFR files (editions 2 to 4).", "", "commands:"]
    lines += [f"  {c.name:<10}{c.summary}" for c in COMMANDS.values()]
    lines += ["", "'korvane COMMAND --help' describes a command."]
    return "\n".join(lines) + "\n"


def _negative_number(a: str) -> bool:
    return len(a) > 1 and a[0] == "-" and a[1:].isdigit()


def parse_args(argv: list[str]) -> Args:
    """The command and its options; UsageError when they are wrong, SystemExit(0) after --help or --version."""
    if not argv or argv[0] in ("-h", "--help"):
        sys.stdout.write(_main_help())
        raise SystemExit(0 if argv else 2)
    if argv[0] == "--version":
        sys.stdout.write(f"korvane {__version__}\n")
        raise SystemExit(0)
    c = COMMANDS.get(argv[0])
    if c is None:
        raise UsageError(f"unknown command {argv[0]!r} (choose from {', '.join(COMMANDS)})")
    args = Args(c.name)
    by_flag = {}
    for o in c.options:
        setattr(args, o.dest, [] if o.type is list else o.default)
        for flag in o.flags:
            by_flag[flag] = o
    given: dict[str, str] = {}  # exclusive group -> the flag given
    positional: list[str] = []
    i, rest = 1, False
    value: str | int  # an option's text, or the int it gives
    while i < len(argv):
        a = argv[i]
        i += 1
        if rest or a == "-" or not a.startswith("-") or _negative_number(a):
            positional.append(a)
            continue
        if a == "--":
            rest = True
            continue
        if a in ("-h", "--help"):
            sys.stdout.write(_help(c))
            raise SystemExit(0)
        flag, eq, value = a.partition("=") if a.startswith("--") else (a, "", "")
        o = by_flag.get(flag)
        if o is None:
            raise UsageError(f"{c.name}: unknown option {flag}")
        if o.group is not None:
            other = given.setdefault(o.group, flag)
            if other != flag:
                raise UsageError(f"argument {flag}: not allowed with argument {other}")
        if o.type is None:
            if eq:
                raise UsageError(f"option {flag} takes no value")
            setattr(args, o.dest, True)
            continue
        if not eq:
            if i >= len(argv):
                raise UsageError(f"option {flag} needs a value ({o.metavar})")
            value = argv[i]
            i += 1
        if o.type is int:
            try:
                value = int(value)
            except ValueError:
                raise UsageError(f"option {flag} takes an integer, not {value!r}") from None
        if o.type is list:
            getattr(args, o.dest).append(value)
        else:
            setattr(args, o.dest, value)
    for k, (dest, metavar, nargs) in enumerate(c.positionals):
        if nargs == "+":
            # Those after a list (its output) are the last arguments.
            after = len(c.positionals) - k - 1
            if len(positional) <= after:
                raise UsageError(f"{c.name}: give at least one {metavar}"
                                 + (f" and {c.positionals[-1][1]}" if after else ""))
            setattr(args, dest, positional[: len(positional) - after])
            positional = positional[len(positional) - after:]
        elif nargs == "1":
            if not positional:
                raise UsageError(f"{c.name}: give {metavar}")
            setattr(args, dest, positional.pop(0))
        else:
            setattr(args, dest, positional.pop(0) if positional else None)
    if positional:
        raise UsageError(f"{c.name}: unexpected argument {positional[0]!r}")
    args.run = c.module
    return args


# ---- BUFR tables: where they come from ----------------------------------------


def definitions_root(given: str | None, carried: bool = True) -> str | None:
    """The definitions root to read tables from, as the reader chooses it
    (korvane._tables): the one given (checked once, so that a wrong one is
    reported once and not for every message), else $ECCODES_DEFINITION_PATH,
    else the system's ecCodes definitions, else the tables korvane carries,
    unpacked on first use; without `carried`, None rather than those."""
    from korvane import _tables

    try:
        _, root = _tables._resolve(given, carried)
    except FileNotFoundError as e:
        if given is None:  # the carried tables are missing
            raise CliError(str(e)) from None
        raise CliError(f"--definitions {given}: no BUFR tables there "
                       f"(expected {os.path.join(given, 'bufr', 'tables')})") from None
    except OSError as e:
        raise CliError(str(e)) from None
    return None if root is None else str(root)


def _checked_header(args: Args) -> None:
    for name, value, limit in (("--master-table", args.master_table, 255), ("--master-version", args.master_version, 255),
                               ("--local-version", args.local_version, 255), ("--centre", args.centre, 65535),
                               ("--subcentre", args.subcentre, 65535)):
        if value is not None and not 0 <= value <= limit:
            raise CliError(f"{name} must lie in 0..{limit}, not {value}")


def load_tables(args: Args) -> _korvane.TableSet:
    """The tables that the table options name: one directory, the WMO CSV
    files, or the tables a definitions root gives the --master-version etc.
    options (the newest master version by default), as the reader loads them."""
    try:
        if args.tables:
            return _korvane.TableSet.from_eccodes(args.tables)
        if args.wmo_csv:
            return _korvane.TableSet.from_bufr4_45(args.wmo_csv)
        _checked_header(args)
        root = definitions_root(args.definitions)
        assert root is not None  # the carried tables stand behind every other root
        from korvane import _tables

        version = args.master_version
        if version is None:
            versions = _tables.installed_master_versions(root, args.master_table)
            if not versions:
                raise CliError(f"no WMO table versions under {os.path.join(root, 'bufr', 'tables')}")
            version = versions[-1]
        # The version asked for, never another in its place.
        from korvane import _columns

        return _columns.load_tables(root, args.master_table, version, args.local_version, args.centre,
                                    args.subcentre, fallback=False)[2]
    except ValueError as e:
        # The per-value module's texts do not name the directory; dump's do.
        where = f"{args.tables or args.wmo_csv}: " if args.tables or args.wmo_csv else ""
        raise CliError(where + getattr(e, "reason", str(e))) from None


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


def _cmd_expand(args: Args) -> int:
    codes = [_parse_code(c) for c in args.codes]
    tables = load_tables(args)
    try:
        expanded = tables.expand(codes)
    except ValueError as e:
        raise CliError(str(e)) from None
    sys.stdout.write("".join(_code_line(tables, code) + "\n" for code in expanded))
    return 0


def _cmd_table(args: Args) -> int:
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


# ---- running ---------------------------------------------------------------------


def _quiet_stdout() -> None:
    """After a broken pipe: point stdout at /dev/null, so that flushing it at exit
    cannot fail a second time (the reader of our output has simply gone)."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        args = parse_args(argv)
        module, _, function = args.run.partition(":")
        run = getattr(__import__(module, fromlist=[function]), function)
        status = int(run(args) or 0)
        sys.stdout.flush()
        return status
    except UsageError as e:
        command = f" {argv[0]}" if argv and argv[0] in COMMANDS else ""
        print(f"korvane: {e} (see 'korvane{command} --help')", file=sys.stderr)
        return 2
    except CliError as e:
        print(f"korvane: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # `korvane dump FILE | head -1`: the reader stopped reading, as it may.
        _quiet_stdout()
        return 0
    except OSError as e:
        # Most often the output could not be written (a full disk): what is
        # still buffered goes nowhere, so that the exit does not fail again.
        import errno

        _quiet_stdout()
        if e.errno in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
            print(f"korvane: cannot write the output: {e.strerror}", file=sys.stderr)
        else:
            print(f"korvane: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


def console() -> None:
    """The installed `korvane` command (and `python -m korvane`): main(), then
    an exit that skips the interpreter's teardown. Every file the command
    writes is closed by then and its output is flushed here; tearing down the
    modules and freeing the table sets would only add a tenth of the run time
    of a command on one small file."""
    status = main()
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        _quiet_stdout()
    except (OSError, ValueError) as e:
        print(f"korvane: cannot write the output: {e}", file=sys.stderr)
        status = status or 1
    try:
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    os._exit(status)

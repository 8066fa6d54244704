"""korvane copy and korvane split: chosen messages written again as their
bytes were, to one file, to files named by their keys' values, or one file
each."""

from __future__ import annotations

import os

from korvane._cli import inputs
from korvane._cli.messages import scan_of
from korvane._cli.output import Outputs
from korvane._cli.select import Keys, Selection, open_file, text
from korvane.cli import CliError, UsageError, definitions_root


def template(name: str) -> list[tuple[bool, str]]:
    """The parts of an output name: (False, literal text) and (True, key) for
    each [key] in it, as bufr_copy reads them."""
    parts: list[tuple[bool, str]] = []
    rest = name
    while True:
        start = rest.find("[")
        end = rest.find("]", start + 1) if start >= 0 else -1
        if start < 0 or end < 0:
            break
        if start:
            parts.append((False, rest[:start]))
        key = rest[start + 1 : end].strip()
        if key[-2:] in (":s", ":l", ":i", ":d"):  # bufr_copy's type of the value: the command's own is kept
            key = key[:-2]
        if not key:
            raise UsageError(f"{name}: name a key between [ and ]")
        parts.append((True, key))
        rest = rest[end + 1 :]
    if rest:
        parts.append((False, rest))
    return parts


def _in_name(key: str, value) -> str:
    """A value as part of a file name: no directory separators, no NULs."""
    return text(key, value).replace("/", "_").replace("\0", "_")


class _Copy:
    """What copy and split share: the selection, the keys of the output names,
    and the messages of each input written out."""

    def __init__(self, args, keys: list[str], subsets: bool = False) -> None:
        def root():
            return definitions_root(args.definitions)

        self.args = args
        self.selection = Selection(args, root)
        if subsets and not self.selection.data:
            raise UsageError("--subsets keeps the subsets that -w chooses by data keys (or by subset=N): give "
                             "such a -w")
        self.subsets = subsets
        self.keys = Keys(keys, root) if keys else None
        self.status = 0
        self.count = 0  # the messages found in the source being read

    def messages(self, src, data):
        """(index, header, bytes, key values) of each message chosen in a
        source, in order; damaged ones are reported."""
        scan = scan_of(src, data)
        if scan is None:
            self.status |= src.named
            return
        self.count = len(scan.headers) + len(scan.problems)
        keys = self.keys
        file = None
        if self.selection.data or self.subsets or (keys is not None and keys.data):
            root = self.selection.definitions if self.selection.data else keys.definitions if keys else None
            file = open_file(data, root if root is not None else definitions_root(self.args.definitions), None)
        chosen = self.selection.for_file(data, scan, file)
        values: dict = {}
        if keys is not None:
            values, _ = keys.for_file(data, scan, list(chosen), file)
        if self.selection.failed or (keys is not None and keys.failed):
            self.status = 1
        positions = {h["index"]: p for p, h in enumerate(scan.headers)}
        for index, h, problem in scan.entries():
            if problem is not None:
                if self.selection.number_chosen(index):
                    _, offset, _, _, reason = problem
                    inputs.error(f"{src.name}: message {index} at offset {offset}: {reason}")
                    self.status = 1
                continue
            if index not in chosen or (keys is not None and index not in values):
                continue
            start = h["offset"]
            message = data.view[start : start + h["total_length"]]
            subsets = chosen[index]
            if self.subsets and file is not None and subsets is not None and len(subsets) < h["number_of_subsets"]:
                try:
                    message = file[positions[index]].select_subsets(subsets)
                except (ValueError, IndexError) as e:
                    said = str(e)
                    where = f"{src.name}: message {index} at offset {start}: "
                    inputs.error(said if said.startswith(where) else where + f"its subsets cannot be written: {e}")
                    self.status = 1
                    continue
            yield index, h, message, values.get(index)


def run_copy(args) -> int:
    parts = template(args.output)
    job = _Copy(args, [key for is_key, key in parts if is_key], args.subsets)
    sources = inputs.sources(args.files, args.max_size)
    failed: list = []
    with Outputs() as outputs:
        if job.keys is None:
            outputs.get(args.output)  # written even when no message is chosen
        for src, data in inputs.readable(inputs.progress(sources, stdout_used=args.output == "-"), failed):
            try:
                for _, _, message, values in job.messages(src, data):
                    path = args.output if values is None else \
                        "".join(_in_name(part, values[part]) if is_key else part for is_key, part in parts)
                    outputs.write(path, message)
            finally:
                inputs.release(data)
    return 1 if failed else job.status


_COMPRESSION = (".gz", ".gzip", ".bz2", ".xz", ".zst", ".zstd")


def stem(name: str) -> str:
    """The name of an input without its directory and extensions (those of
    compression, then one more: synop.bufr.gz gives synop)."""
    if name == "<stdin>":
        return "stdin"
    base = name.rstrip("/").rsplit("/", 1)[-1]
    for ext in _COMPRESSION:
        if base.lower().endswith(ext) and len(base) > len(ext):
            base = base[: -len(ext)]
            break
    root, ext = os.path.splitext(base)
    return root or base


def run_split(args) -> int:
    job = _Copy(args, [])
    try:
        os.makedirs(args.directory, exist_ok=True)
    except OSError as e:
        raise CliError(f"cannot make the directory {args.directory}: {inputs.os_error_text(e)}") from None
    sources = inputs.sources(args.files, args.max_size)
    failed: list = []
    used: set[str] = set()
    with Outputs() as outputs:
        for src, data in inputs.readable(inputs.progress(sources, stdout_used=False), failed):
            try:
                name = stem(src.name)
                n = 1
                while name in used:
                    n += 1
                    name = f"{stem(src.name)}-{n}"
                used.add(name)
                for index, _, message, _ in job.messages(src, data):
                    width = len(str(max(job.count - 1, 0)))
                    outputs.write(os.path.join(args.directory, f"{name}_{index:0{width}d}.bufr"), message)
            finally:
                inputs.release(data)
    return 1 if failed else job.status


"""Files the commands write, never half written: each output goes to a
temporary file beside it, which replaces it (a rename) only once complete.
Until then an existing file of that name keeps its old contents; a command
that fails, or is interrupted, leaves no output of its own behind.
"""

from __future__ import annotations

import os
import sys
from typing import BinaryIO

from korvane._cli import inputs
from korvane.cli import CliError

# Outputs kept open at once; those past it are closed and opened again to append.
MAX_OPEN = 64

_serial = 0


def _cannot(path: str, e: OSError) -> CliError:
    return CliError(f"cannot write {path}: {inputs.os_error_text(e)}")


class Output:
    """One output file, written to a temporary file in its directory. A
    symbolic link is followed, the file it names replaced; a special file
    (a device such as /dev/null, a FIFO) is written to directly."""

    def __init__(self, path: str) -> None:
        global _serial
        self.path = path
        self.mode = None  # the permissions of the file replaced, kept
        self.size = 0
        target = os.path.realpath(path) if os.path.islink(path) else path
        try:
            st = os.stat(target)
        except FileNotFoundError:
            pass
        except OSError as e:
            raise _cannot(path, e) from None
        else:
            import stat

            if stat.S_ISDIR(st.st_mode):
                raise CliError(f"cannot write {path}: it is a directory")
            if not stat.S_ISREG(st.st_mode):
                self.temporary = None
                self.target = path
                self.file: BinaryIO | None = self._open(0)
                return
            self.mode = st.st_mode & 0o7777
        directory, name = os.path.split(target)
        _serial += 1
        self.target = target
        self.temporary = os.path.join(directory, f".{name[:200]}.{os.getpid()}.{_serial}.tmp")
        self.file = self._open(os.O_CREAT | os.O_EXCL | os.O_TRUNC)

    def _open(self, flags: int) -> BinaryIO:
        try:
            fd = os.open(self.temporary or self.target, os.O_WRONLY | os.O_CLOEXEC | flags, 0o666)
        except OSError as e:
            raise _cannot(self.path, e) from None
        return os.fdopen(fd, "wb")

    def _file(self) -> BinaryIO:
        """The temporary file, opened again to append when it was suspended."""
        if self.file is None:
            self.file = self._open(os.O_APPEND)
        return self.file

    def binary(self) -> BinaryIO:
        """The file to write to directly (a writer of its own, such as parquet's)."""
        return self._file()

    def write(self, data) -> None:
        try:
            self._file().write(data)
        except OSError as e:
            raise _cannot(self.path, e) from None
        self.size += len(data)

    def suspend(self) -> None:
        """Closes the temporary file, to be opened again on the next write."""
        if self.file is not None:
            try:
                self.file.close()
            except OSError as e:
                raise _cannot(self.path, e) from None
            self.file = None

    def close(self, sync: bool = True) -> None:
        """Closes the complete temporary file, first flushed to the disk when `sync`."""
        try:
            if self.file is None and not sync:
                return
            file = self._file()
            file.flush()
            if sync and self.temporary is not None:
                os.fsync(file.fileno())
            file.close()
            self.file = None
        except OSError as e:
            raise _cannot(self.path, e) from None

    def commit(self) -> None:
        """The closed file into place: renamed over the old one."""
        if self.temporary is None:
            return
        try:
            if self.mode is not None:
                os.chmod(self.temporary, self.mode)
            os.replace(self.temporary, self.target)
        except OSError as e:
            raise _cannot(self.path, e) from None

    def abort(self) -> None:
        try:
            if self.file is not None:
                self.file.close()
        except OSError:
            pass
        self.file = None
        if self.temporary is None:
            return
        try:
            os.unlink(self.temporary)
        except OSError:
            pass


class Stdout:
    """Standard output as an output (refused when it is a terminal: BUFR is binary)."""

    path = "standard output"

    def __init__(self) -> None:
        if inputs._isatty(sys.stdout):
            raise CliError("standard output is a terminal: name an output file, or redirect it")
        sys.stdout.flush()
        self.stream = sys.stdout.buffer
        self.size = 0

    def binary(self) -> BinaryIO:
        return self.stream

    def write(self, data) -> None:
        self.stream.write(data)
        self.size += len(data)

    def suspend(self) -> None:
        pass

    def close(self, sync: bool = True) -> None:
        self.stream.flush()

    def commit(self) -> None:
        pass

    def abort(self) -> None:
        pass


class Outputs:
    """The outputs of one command, by path: all committed at the end, or all
    given up when the command fails. Use as a context manager."""

    def __init__(self) -> None:
        self.files: dict[str, Output | Stdout] = {}
        self._open: list[str] = []  # opened files, the least recently used first

    def get(self, path: str) -> Output | Stdout:
        out = self.files.get(path)
        if out is None:
            out = self.files[path] = Stdout() if path == "-" else Output(path)
        if path != "-":
            if path in self._open:
                if self._open[-1] != path:
                    self._open.remove(path)
                    self._open.append(path)
            else:
                self._open.append(path)
                if len(self._open) > MAX_OPEN:
                    self.files[self._open.pop(0)].suspend()
        return out

    def write(self, path: str, data) -> None:
        self.get(path).write(data)

    def __enter__(self) -> Outputs:
        return self

    def __exit__(self, kind, value, traceback) -> None:
        if kind is not None:
            for out in self.files.values():
                out.abort()
            return
        try:
            # Each file reaches the disk before it replaces another, so that
            # a crash leaves the old file or the new one. Many small files
            # (split) are flushed by one sync of the system rather than one
            # each, which would cost far more than writing them.
            few = len(self.files) <= MAX_OPEN
            for out in self.files.values():
                out.close(sync=few)
            if not few:
                os.sync()
            for out in self.files.values():
                out.commit()
        except BaseException:
            for out in self.files.values():
                out.abort()
            raise

"""Every source a user has (korvane._sources): compressed files, file objects,
URLs, directories and patterns, each read as the plain file is; special files
refused without blocking; files that change under the reader; decompression
bombs; a full disk; a closed file."""

from __future__ import annotations

import bz2
import functools
import gzip
import http.server
import io
import lzma
import os
import subprocess
import sys
import textwrap
import threading
import warnings

import numpy as np
import pytest

import korvane
from clirun import korvane as cli
from shared_data import ED3, ED4

UNDER_SANITIZER = bool(os.environ.get("KORVANE_EXPECT_STAGE"))
PLAIN = [ED4 / "ISMD01_OKPR.bufr", ED3 / "amda_144.bufr"]
COLUMNS = ["message_index", "latitude", "longitude"]


def _zstd():
    try:
        from compression import zstd
    except ImportError:
        from backports import zstd
    return zstd


COMPRESS = {"gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress,
            "zstd": lambda data: _zstd().compress(data)}


def messages(f) -> list[tuple[int, bytes]]:
    return [(m.offset, bytes(m.bytes)) for m in f]


def same_as_plain(f, plain) -> None:
    with korvane.open(plain) as p:
        assert messages(f) == messages(p) and len(f) > 0
        np.testing.assert_array_equal(f[-1].decode().value, p[-1].decode().value)


def run_child(code: str, *args: str, timeout: float = 60) -> str:
    """Runs `code` in a fresh interpreter; its last line of output. A hang
    (a FIFO opened for reading) fails the test instead of blocking it."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, f"child died with {done.returncode}: {done.stderr[-2000:]}"
    return done.stdout.strip().splitlines()[-1]


@pytest.fixture(scope="module")
def http_root(tmp_path_factory):
    """A directory served over HTTP on the loopback address, and its URL."""
    root = tmp_path_factory.mktemp("www")

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=str(root)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield root, f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


# ---- compressed files, file objects, URLs ------------------------------------------------


@pytest.mark.parametrize("plain", PLAIN, ids=lambda p: p.name)
@pytest.mark.parametrize("kind", sorted(COMPRESS))
def test_compressed_files_read_as_the_plain_file(tmp_path, plain, kind):
    data = COMPRESS[kind](plain.read_bytes())
    path = tmp_path / "named-without-a-suffix"  # known by its first bytes, not its name
    path.write_bytes(data)
    with korvane.open(path) as f:
        assert f.compression == kind
        same_as_plain(f, plain)
    # Streams in a row, as `cat a.gz b.gz` makes them, are read in a row.
    with korvane.open(data + data) as f:
        with korvane.open(plain) as p:
            assert messages(f) == messages(p) + [(o + len(plain.read_bytes()), b) for o, b in messages(p)]


@pytest.mark.parametrize("plain", PLAIN, ids=lambda p: p.name)
@pytest.mark.parametrize("how", ["BytesIO", "BytesIO of gzip", "open file", "file://", "memory://", "http://"])
def test_file_objects_and_urls_read_as_the_plain_file(tmp_path, http_root, plain, how):
    fsspec = pytest.importorskip("fsspec")
    data = plain.read_bytes()
    (http_root[0] / plain.name).write_bytes(data)
    memory = fsspec.filesystem("memory")
    memory.pipe(f"/korvane-test/{plain.name}", data)
    try:
        if how == "open file":
            with open(plain, "rb") as handle, korvane.open(handle) as f:
                assert f.name == str(plain)
                same_as_plain(f, plain)
            return
        source = {"BytesIO": lambda: io.BytesIO(data), "BytesIO of gzip": lambda: io.BytesIO(gzip.compress(data)),
                  "file://": lambda: f"file://{plain}", "memory://": lambda: f"memory://korvane-test/{plain.name}",
                  "http://": lambda: f"{http_root[1]}/{plain.name}"}[how]()
        with korvane.open(source) as f:
            same_as_plain(f, plain)
    finally:
        memory.rm("/korvane-test", recursive=True)


def test_tables_read_from_urls_and_patterns(tmp_path, http_root):
    fsspec = pytest.importorskip("fsspec")
    plain = PLAIN[0]
    (http_root[0] / "a.bufr.xz").write_bytes(lzma.compress(plain.read_bytes()))
    memory = fsspec.filesystem("memory")
    for name in ("x1.bufr", "x2.bufr"):
        memory.pipe(f"/korvane-test/{name}", plain.read_bytes())
    try:
        got = korvane.read_bufr([f"{http_root[1]}/a.bufr.xz", "memory://korvane-test/x*.bufr"], COLUMNS + ["source"])
    finally:
        memory.rm("/korvane-test", recursive=True)
    one = korvane.read_bufr(plain, COLUMNS)
    assert len(got) == 3 * len(one)
    np.testing.assert_array_equal(got["latitude"], np.tile(one["latitude"], 3))
    assert got["source"].unique().tolist() == [f"{http_root[1]}/a.bufr.xz", "memory:///korvane-test/x1.bufr",
                                               "memory:///korvane-test/x2.bufr"]


def test_the_command_reads_compressed_files_and_urls(tmp_path, http_root):
    plain = PLAIN[0]
    (tmp_path / "a.gz").write_bytes(gzip.compress(plain.read_bytes()))
    (http_root[0] / "b.bz2").write_bytes(bz2.compress(plain.read_bytes()))
    expected = cli("ls", str(plain)).stdout.splitlines()[1:]
    r = cli("ls", str(tmp_path / "a.gz"), f"{http_root[1]}/b.bz2")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[1:] == [f"# {tmp_path / 'a.gz'}", *expected, f"# {http_root[1]}/b.bz2", *expected]
    r = cli("ls", "-", stdin=lzma.compress(plain.read_bytes()))
    assert r.returncode == 0 and r.stdout.splitlines()[1:] == expected


@pytest.mark.parametrize("kind", ["gzip", "xz"])
def test_data_without_messages_after_decompression_are_reported(tmp_path, kind):
    path = tmp_path / "notes.txt.z"
    path.write_bytes(COMPRESS[kind](b"no messages here\n" * 100))
    with pytest.raises(ValueError, match=f"no BUFR message after {kind} decompression"):
        korvane.open(path)
    with pytest.warns(RuntimeWarning, match=f"no BUFR message after {kind} decompression"):
        assert len(korvane.open(path, errors="warn")) == 0
    r = cli("ls", str(path))
    assert (r.returncode, r.stderr) == (1, f"korvane: no BUFR messages found in {path} after {kind} decompression\n")


@pytest.mark.parametrize("cut", [0.3, 0.9])
def test_compressed_data_cut_short_give_the_messages_before(tmp_path, cut):
    plain = PLAIN[0]
    data = gzip.compress(plain.read_bytes())
    with korvane.open(data[: int(len(data) * cut)], errors="skip") as f:
        full = korvane.open(plain)
        assert messages(f) == messages(full)[: len(f)] and len(f) < len(full)
        assert f.errors[-1].reason.startswith("the gzip data are cut short")
    f = korvane.open(data[: int(len(data) * cut)])
    with pytest.raises(korvane.DecodeError, match="cut short"):
        list(f)


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator aborts when memory runs out instead of throwing")
@pytest.mark.parametrize("kind", ["gzip", "bzip2"])
def test_a_decompression_bomb_is_a_clear_error_in_bounded_memory(tmp_path, kind):
    # 4 GiB of zeros as 64 compressed streams of 64 MiB in a row, read by a
    # process whose address space has room for 512 MiB more than it uses.
    member = COMPRESS[kind](bytes(64 << 20))
    bomb = tmp_path / "bomb"
    bomb.write_bytes(member * 64)
    outcome = run_child(
        """
        import resource, sys
        import korvane
        size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20),) * 2)
        try:
            korvane.open(sys.argv[1], max_size="256MiB")
        except Exception as e:
            print(type(e).__name__, e)
        """, str(bomb), timeout=120)
    assert outcome == (f"ValueError {bomb}: {kind} data that decompress to more than {256 << 20} bytes (max_size): "
                       "a decompression bomb, or pass a larger max_size (--max-size) to read them")
    r = cli("ls", "--max-size", "1MiB", str(bomb))
    assert r.returncode == 1 and "decompression bomb" in r.stderr and len(r.stderr.splitlines()) == 1


def test_zstd_without_its_module_names_the_extra(tmp_path):
    path = tmp_path / "a.zst"
    path.write_bytes(COMPRESS["zstd"](PLAIN[0].read_bytes()))
    outcome = run_child(
        """
        import sys
        sys.modules["compression.zstd"] = sys.modules["backports.zstd"] = None
        import korvane
        try:
            korvane.open(sys.argv[1])
        except ImportError as e:
            print(e)
        """, str(path))
    assert "pip install 'korvane[zstd]'" in outcome


def test_streams_are_bounded_too():
    with pytest.raises(ValueError, match="more than 1000 bytes"):
        korvane.open(io.BytesIO(bytes(5000)), max_size=1000)
    with pytest.raises(TypeError, match="binary mode"):
        korvane.open(io.StringIO("BUFR"))


def test_bytes_are_data_and_a_file_name_in_bytes_is_refused(definitions_root):
    plain = PLAIN[0]
    with pytest.raises(TypeError, match="spells the file name .*pass a path as a str"):
        korvane.open(os.fsencode(plain))
    # Where a path is meant, bytes are a path.
    with korvane.open(plain, definitions=os.fsencode(definitions_root)) as f:
        assert f.definitions == definitions_root and len(f[0].decode()) > 0


# ---- special files -------------------------------------------------------------------------


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "feed"
    os.mkfifo(path)
    return path


def test_special_files_are_refused_by_every_reader(fifo):
    # In a child with a timeout: each of these once blocked on the FIFO or read /dev/zero until memory ran out.
    outcome = run_child(
        """
        import sys, warnings
        import korvane, korvane.dask
        calls = {"open": korvane.open, "read_bufr": lambda p: korvane.read_bufr(p, ["latitude"]),
                 "read_arrow": lambda p: korvane.read_arrow(p, ["latitude"]),
                 "dask": lambda p: korvane.dask.read_bufr(p, ["latitude"]).compute(scheduler="sync")}
        out = []
        for name, call in calls.items():
            for path in (sys.argv[1], "/dev/zero"):
                try:
                    call(path)
                    out.append(f"{name} read {path}")
                except OSError as e:
                    out.append(str(e))
        print(out)
        """, str(fifo), timeout=120)
    texts = [f"{p}: is {kind}, not a regular file: korvane reads regular files, buffers and file objects"
             for p, kind in ((fifo, "a FIFO"), ("/dev/zero", "a character device"))]
    assert outcome == str(texts * 4)


@pytest.mark.parametrize("command", [["ls"], ["dump"], ["convert", "--columns", "latitude"]])
def test_the_command_refuses_a_named_fifo_and_skips_one_in_a_directory(fifo, command):
    (fifo.parent / "a.bufr").write_bytes(PLAIN[0].read_bytes())
    r = cli(*command, str(fifo))
    assert r.returncode == 1
    assert r.stderr == (f"korvane: {fifo}: is a FIFO, not a regular file: korvane reads regular files, buffers and "
                        "file objects\n")
    r = cli(*command, str(fifo.parent))
    assert r.returncode == 0 and r.stderr == f"korvane: {fifo}: skipped: a FIFO, not a regular file\n"
    assert r.stdout == cli(*command, str(fifo.parent / "a.bufr")).stdout.replace(f"# {fifo.parent / 'a.bufr'}\n", "")


def test_directories_and_patterns_are_read_file_by_file(tmp_path, fifo):
    plain = PLAIN[0]
    (fifo.parent / "a.bufr").write_bytes(plain.read_bytes())
    (fifo.parent / "sub").mkdir()
    (fifo.parent / "sub" / "b.bufr.gz").write_bytes(gzip.compress(plain.read_bytes()))
    one = korvane.read_bufr(plain, COLUMNS)
    with pytest.warns(UserWarning, match="feed: skipped: a FIFO"):
        df = korvane.read_bufr(fifo.parent, COLUMNS + ["source"])
    assert df["source"].tolist() == [str(fifo.parent / name) for name in ("a.bufr", "sub/b.bufr.gz") for _ in one.index]
    np.testing.assert_array_equal(df["latitude"], np.tile(one["latitude"], 2))
    pattern = str(fifo.parent / "**" / "*.gz")
    assert korvane.read_bufr(pattern, COLUMNS).equals(one)
    # A filter on the source chooses the files; a flat read of several files says where each row comes from.
    assert korvane.read_bufr(fifo.parent, COLUMNS, {"source": lambda s: s.endswith(".gz")}, errors="skip").equals(one)
    flat = korvane.read_bufr([plain, plain], flat=True)
    assert flat.columns.tolist() == ["source", *korvane.read_bufr(plain, flat=True).columns]
    with pytest.raises(FileNotFoundError, match="no file matches"):
        korvane.read_bufr(str(tmp_path / "nothing" / "*.bufr"), COLUMNS)


# ---- files that change under the reader --------------------------------------------------


def test_a_file_truncated_while_open_does_not_kill_the_reader(tmp_path):
    path = tmp_path / "feed.bufr"
    path.write_bytes(ED4.joinpath("mhen_55.bufr").read_bytes() * 8)  # some MiB
    # A mapped file faulted (SIGBUS) at the first access after another
    # process truncated it; the reader's own copy does not.
    outcome = run_child(
        """
        import subprocess, sys
        import korvane
        with korvane.open(sys.argv[1]) as f:
            truncate = "import os, sys; os.truncate(sys.argv[1], 0)"
            subprocess.run([sys.executable, "-c", truncate, sys.argv[1]], check=True)
            print(sum(len(m.decode()) for m in f), len(f))
        """, str(path), timeout=120)
    with korvane.open(ED4 / "mhen_55.bufr") as f:
        assert outcome == f"{8 * sum(len(m.decode()) for m in f)} {8 * len(f)}"


def test_files_rewritten_while_they_are_read_give_messages_or_clear_errors(tmp_path):
    path = tmp_path / "feed.bufr"
    data = ED4.joinpath("mhen_55.bufr").read_bytes() * 16
    path.write_bytes(data)
    # A writer truncates and rewrites the file as fast as it can while the
    # reader opens it again and again: each read is the file as it stood, a
    # message cut short, or the file that shrank; the interpreter lives.
    outcome = run_child(
        """
        import subprocess, sys, time
        import korvane
        writer = subprocess.Popen([sys.executable, "-c", '''
        import sys, time
        data = open(sys.argv[1], "rb").read()
        end = time.time() + 3
        while time.time() < end:
            with open(sys.argv[1], "r+b") as f:
                f.truncate(len(data) // 3)
                f.write(data)
        ''', sys.argv[1]])
        seen = set()
        end = time.time() + 2.5
        while time.time() < end:
            try:
                with korvane.open(sys.argv[1]) as f:
                    for m in f:
                        m.decode()
                seen.add("read")
            except korvane.DecodeError:
                seen.add("cut short")
            except OSError as e:
                assert "shrank" in str(e), e
                seen.add("shrank")
        writer.wait()
        print(sorted(seen))
        """, str(path), timeout=120)
    assert "read" in outcome


def test_a_file_that_shrinks_while_it_is_read():
    # A sysfs file states a size of a page and holds fewer bytes: it reads as
    # a file that shrank between its fstat and its read.
    path = "/sys/kernel/mm/transparent_hugepage/enabled"
    assert os.path.getsize(path) > len(open(path, "rb").read())
    with pytest.raises(OSError, match=f"{path}: the file shrank from 4096 to .* bytes while it was read"):
        korvane.open(path)
    f = korvane.open(path, errors="skip")
    assert len(f) == 0 and [e.reason.split(" to ")[0] for e in f.errors] == ["the file shrank from 4096"]


# ---- a full disk, a closed file ------------------------------------------------------------


@pytest.mark.parametrize("command, output", [
    (["dump"], None), (["ls"], None),
    (["convert", "--columns", "latitude", "-o"], "t.csv"), (["convert", "--columns", "latitude", "-o"], "t.parquet"),
])
def test_a_full_disk_is_one_line_and_status_1(tmp_path, command, output):
    if output is None:
        with open("/dev/full", "wb") as full:
            r = subprocess.run([*cli_command(), *command, str(PLAIN[0])], stdout=full, stderr=subprocess.PIPE,
                               text=True, timeout=60)
        expected = "korvane: cannot write the output: No space left on device\n"
    else:
        (tmp_path / output).symlink_to("/dev/full")
        r = cli(*command, str(tmp_path / output), str(PLAIN[0]))
        expected = f"korvane: cannot write {tmp_path / output}: No space left on device\n"
    assert (r.returncode, r.stderr) == (1, expected)


def cli_command() -> list[str]:
    from clirun import COMMAND

    return COMMAND


def test_decoding_after_close_names_the_closed_file():
    f = korvane.open(PLAIN[0])
    m = f[1]
    f.close()
    assert m.number_of_subsets == 7  # header fields stay
    for call in (m.decode, m.decode_objects, lambda: m.bytes):
        with pytest.raises(korvane.DecodeError, match="the BufrFile is closed") as e:
            call()
        assert (e.value.kind, e.value.source, e.value.index, e.value.offset) == ("closed", str(PLAIN[0]), 1, 758)

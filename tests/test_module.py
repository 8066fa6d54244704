"""The module's surface: registration, argument conversion and exception mapping."""

from __future__ import annotations

import pathlib

import pytest

import korvane
from korvane import _korvane
from bufr_builder import build

ALL_NAMES = [
    "BufrMessage",
    "DecodedValue",
    "Descriptor",
    "ElementDefinition",
    "SequenceDefinition",
    "TableSet",
    "parse_bytes",
    "parse_file",
    "parse_all_bytes",
    "parse_all_file",
    "expand_descriptors",
    "decode_values",
    "decode_values_with_tables",
    "decode_values_with_definitions",
]

SIGNATURES = {
    "parse_bytes": "(data)",
    "parse_file": "(path)",
    "parse_all_bytes": "(data)",
    "parse_all_file": "(path)",
    "expand_descriptors": "(table_dir, descriptors)",
    "decode_values": "(data, table_dir)",
    "decode_values_with_tables": "(data, tables)",
    "decode_values_with_definitions": "(data, definitions_root)",
}

FUNCTIONS = [n for n in ALL_NAMES if n[0].islower()]
CLASSES = [n for n in ALL_NAMES if n[0].isupper()]


def test_registration_order_and_namespace():
    assert _korvane.__all__ == ALL_NAMES
    public = {n for n in vars(_korvane) if not n.startswith("__")}
    assert public == set(ALL_NAMES)
    assert _korvane.__doc__ == ""
    assert korvane.__all__ == ALL_NAMES + ["open", "BufrFile", "Message", "Values", "DecodeError", "read_bufr", "read_arrow",
                                         "describe", "AbsentKeyWarning", "encode", "write_bufr", "tables_info",
                                         "carried_definitions"]


@pytest.mark.parametrize("name", CLASSES)
def test_classes_report_builtins_module(name):
    cls = getattr(_korvane, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    with pytest.raises(TypeError):
        cls.some_new_attribute = 1  # immutable type


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_text_signatures(name):
    fn = getattr(_korvane, name)
    assert fn.__text_signature__ == SIGNATURES[name]
    assert fn.__doc__ is None


@pytest.mark.parametrize("name", ["BufrMessage", "DecodedValue", "ElementDefinition", "SequenceDefinition"])
def test_record_classes_cannot_be_created(name):
    with pytest.raises(TypeError):
        getattr(_korvane, name)()


MESSAGE = build()


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: _korvane.parse_bytes(bytearray(MESSAGE)), TypeError, "argument 'data': "),
        (lambda: _korvane.parse_bytes(memoryview(MESSAGE)), TypeError, "argument 'data': "),
        (lambda: _korvane.parse_bytes("BUFR"), TypeError, "argument 'data': "),
        (lambda: _korvane.parse_all_bytes(None), TypeError, "argument 'data': "),
        (lambda: _korvane.parse_file(pathlib.Path("x.bufr")), TypeError, "argument 'path': "),
        (lambda: _korvane.parse_all_file(b"x.bufr"), TypeError, "argument 'path': "),
        (lambda: _korvane.parse_file("a\0b"), TypeError, "argument 'path': "),
        (lambda: _korvane.parse_bytes(), TypeError, "missing required argument 'data'"),
        (lambda: _korvane.parse_bytes(MESSAGE, MESSAGE), TypeError, "at most 1 argument"),
        (lambda: _korvane.parse_bytes(datum=MESSAGE), TypeError, "parse_bytes()"),
        (lambda: _korvane.parse_bytes(MESSAGE, data=MESSAGE), TypeError, "parse_bytes()"),
        (lambda: _korvane.Descriptor("3", 1, 11), TypeError, "argument 'f': "),
        (lambda: _korvane.Descriptor(3, 1.0, 11), TypeError, "argument 'x': "),
        (lambda: _korvane.Descriptor(3, 1, 256), OverflowError, "out of range integral type conversion attempted"),
        (lambda: _korvane.Descriptor(-1, 1, 1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: _korvane.Descriptor.from_fxy(2**32), OverflowError, "out of range integral type conversion attempted"),
        (lambda: _korvane.Descriptor.from_fxy(2**80), OverflowError, ""),
        (lambda: _korvane.Descriptor.from_fxy("1001"), TypeError, "argument 'code': "),
    ],
)
def test_bad_arguments(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert text in str(info.value)
    if exc is TypeError and text.startswith("argument"):
        assert str(info.value).startswith(text)
    if exc is OverflowError:
        assert not str(info.value).startswith("argument")


def test_descriptor_lists_longer_than_any_message_are_refused_before_conversion():
    # range(10**12) would take hours and terabytes to materialise.
    with pytest.raises(ValueError, match="exceeds 16777216 codes"):
        _korvane.TableSet().expand(range(10**12))
    assert _korvane.TableSet().expand(range(3)) == [0, 1, 2]


def test_keyword_and_positional_calls_agree(tmp_path):
    by_pos = _korvane.parse_bytes(MESSAGE)
    by_kw = _korvane.parse_bytes(data=MESSAGE)
    assert repr(by_pos) == repr(by_kw)
    path = tmp_path / "m.bufr"
    path.write_bytes(MESSAGE)
    assert repr(_korvane.parse_file(path=str(path))) == repr(by_pos)
    assert len(_korvane.parse_all_file(path=str(path))) == 1


def test_bytes_subclass_is_accepted():
    class Raw(bytes):
        pass

    assert _korvane.parse_bytes(Raw(MESSAGE)).total_length == len(MESSAGE)


@pytest.mark.parametrize("fn", [_korvane.parse_file, _korvane.parse_all_file])
def test_unreadable_files_raise_oserror_with_system_text(fn, tmp_path):
    with pytest.raises(OSError) as info:
        fn(str(tmp_path / "missing.bufr"))
    assert info.value.args == ("No such file or directory (os error 2)",)
    with pytest.raises(OSError) as info:
        fn(str(tmp_path))
    assert info.value.args == ("Is a directory (os error 21)",)


def test_buffer_errors_are_plain_value_errors():
    with pytest.raises(ValueError) as info:
        _korvane.parse_bytes(b"")
    assert type(info.value) is ValueError
    assert info.value.args == ("message is too short to be BUFR",)


def test_second_interpreter_cannot_import(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "outcome.txt"
    code = (
        "try:\n"
        "    import korvane._korvane\n"
        "    outcome = 'imported'\n"
        "except ImportError as e:\n"
        "    outcome = 'ImportError: ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(outcome)\n"
    )
    assert testcapi.run_in_subinterp(code) == 0
    assert out.read_text().startswith("ImportError: ")
    # The first interpreter keeps its module.
    assert _korvane.parse_bytes(MESSAGE).edition == 4


def test_type_stub_describes_every_name():
    import ast

    stub = pathlib.Path(korvane.__file__).with_name("_korvane.pyi")
    tree = ast.parse(stub.read_text())
    defined = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert defined == set(ALL_NAMES)
    assert pathlib.Path(korvane.__file__).with_name("py.typed").exists()
    for cls in tree.body:
        if isinstance(cls, ast.ClassDef):
            members = {n.name for n in cls.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")}
            runtime = {n for n in vars(getattr(_korvane, cls.name)) if not n.startswith("_")}
            assert members == runtime, cls.name
    # Editors and help() show the stub's docstrings: every name has one.
    documented = [n for n in ast.walk(tree) if isinstance(n, (ast.ClassDef, ast.FunctionDef))]
    assert [n.name for n in documented if not ast.get_docstring(n)] == []

"""The writing API over real messages: Message.encode with header fields
replaced and editions changed, Values.replace, Message.select_subsets, and
korvane.write_bufr from the tables read_bufr makes."""

from __future__ import annotations

import io

import numpy as np
import pytest

import korvane
from test_encode_corpus import CORPUS, items_of

SYNOP = CORPUS / "ed4" / "ISMD01_OKPR.bufr"  # compressed, 4 messages of 7 subsets (3 07 080)
TEMP = CORPUS / "ed4" / "IUSK73_AMMC_182300.bufr"  # uncompressed, one sounding
OLD = CORPUS / "ed3" / "airc_142.bufr"  # edition 3, with section 2


def read(data: bytes, definitions_root) -> korvane.Message:
    return korvane.open(data, definitions=definitions_root)[0]


@pytest.mark.parametrize("path", [SYNOP, TEMP, OLD])
@pytest.mark.parametrize("fields", [
    {"originating_subcentre": 7, "update_sequence_number": 2, "typical_hour": 6, "data_category": 4},
    {"compressed": True}, {"compressed": False},
])
def test_header_fields_are_replaced_and_the_rest_kept(path, fields, definitions_root):
    m = korvane.open(path, definitions=definitions_root)[0]
    out = read(m.encode(**fields), definitions_root)
    expected = m.header | {k: v for k, v in fields.items() if k != "compressed"}
    expected["compressed_data"] = fields.get("compressed", m.compressed_data)
    lengths = {k: out.header[k] for k in out.header if k.endswith("length")}
    assert out.header == expected | lengths
    assert items_of(out.decode()) == items_of(m.decode())


@pytest.mark.parametrize("path, edition", [(SYNOP, 3), (OLD, 4)])
def test_editions_are_converted(path, edition, definitions_root):
    m = korvane.open(path, definitions=definitions_root)[0]
    out = read(m.encode(edition=edition), definitions_root)
    assert out.edition == edition and out.typical_year == m.typical_year
    assert out.bytes[8 + out.header["section1_length"]:].tobytes()[: out.header["section2_length"]][4:] == \
        m.bytes[8 + m.header["section1_length"]:].tobytes()[: m.header["section2_length"]][4:]
    assert items_of(out.decode()) == items_of(m.decode())
    # Editions before 4 pad every section to an even length.
    if edition < 4:
        assert all(out.header[f"section{n}_length"] % 2 == 0 for n in (1, 3, 4))


def test_the_local_section_is_replaced_or_dropped(definitions_root):
    m = korvane.open(OLD, definitions=definitions_root)[0]
    assert m.local_section_present
    dropped = read(m.encode(local_section=None), definitions_root)
    assert not dropped.local_section_present and dropped.header["section2_length"] == 0
    mine = read(m.encode(local_section=b"korvane"), definitions_root)
    assert mine.bytes[8 + mine.header["section1_length"] + 4:][:7].tobytes() == b"korvane"
    assert items_of(mine.decode()) == items_of(dropped.decode()) == items_of(m.decode())


def test_replaced_values_are_written_and_the_others_keep_their_bits(definitions_root):
    m = korvane.open(TEMP, definitions=definitions_root)[0]
    v = m.decode()
    temperature = np.flatnonzero((v.code == 12101) & ~v.missing)[:3]
    name = np.flatnonzero(v.code == 1081)[0]  # the radiosonde serial number, a text
    edited = v.replace(temperature, [250.0, None, 300.25]).replace(name, "SERIAL42")
    out = read(m.encode(edited), definitions_root).decode()
    assert out.value[temperature[0]] == 250.0 and out.missing[temperature[1]] and out.value[temperature[2]] == 300.25
    assert out.text[name] == "SERIAL42"
    others = np.setdiff1d(np.arange(len(v)), [*temperature, name])
    assert np.array_equal(out.raw[others], v.raw[others]) and np.array_equal(out.code, v.code)
    # The Values replaced from are left as they were.
    assert not v.missing[temperature[1]] and m.encode() == bytes(m.bytes)
    with pytest.raises(TypeError, match="is a text"):
        v.replace(name, 5)
    with pytest.raises(TypeError, match="is numeric"):
        v.replace(temperature[0], "warm")


def test_values_of_another_message_are_refused(definitions_root):
    synop = korvane.open(SYNOP, definitions=definitions_root)[0]
    temp = korvane.open(TEMP, definitions=definitions_root)[0]
    with pytest.raises(ValueError, match=r"^subset 0, item 2 is 001015 where the descriptors give 001011$"):
        temp.encode(synop.decode())


@pytest.mark.parametrize("compressed", [None, False])
def test_subsets_are_selected(compressed, definitions_root):
    m = korvane.open(SYNOP, definitions=definitions_root)[0]
    v = m.decode()
    chosen = [6, 0, -1, 3]
    out = read(m.select_subsets(chosen, compressed=compressed), definitions_root)
    assert out.number_of_subsets == 4 and out.compressed_data == (compressed is not False)
    assert items_of(out.decode()) == items_of(v, [6, 0, 6, 3])
    with pytest.raises(IndexError, match="subset 7 out of range"):
        m.select_subsets([7])


def test_the_typical_date_comes_from_the_header_fields_or_the_first_subset(definitions_root):
    with pytest.raises(ValueError, match=r"^give typical_year, typical_month, typical_day, typical_hour: the first"):
        korvane.encode([1001], [[6]], definitions=definitions_root)
    table = np.array([[6, 100], [7, 200]])
    out = read(korvane.encode([1001, 1002], table, typical_year=2020, typical_month=1, typical_day=2,
                              typical_hour=3, definitions=definitions_root), definitions_root)
    assert (out.typical_year, out.typical_minute, out.number_of_subsets) == (2020, 0, 2)
    assert out.decode().value.tolist() == [6, 100, 7, 200]
    # 3 01 011 and 3 01 012: year, month, day; hour, minute. The second
    # subset's date and the header field given play no part.
    dated = read(korvane.encode([301011, 301012], [[2024, 5, 17, 12, 30], [2025, 1, 1, 0, 0]], typical_day=3,
                                definitions=definitions_root), definitions_root)
    assert [dated.header[k] for k in ("typical_year", "typical_month", "typical_day", "typical_hour",
                                      "typical_minute", "typical_second")] == [2024, 5, 3, 12, 30, 0]


@pytest.fixture(scope="module")
def synop_table(definitions_root):
    """The first message of SYNOP as the flat table read_bufr makes."""
    return korvane.read_bufr(SYNOP, flat=True, definitions=definitions_root).iloc[:7]


@pytest.mark.parametrize("compressed", [False, True])
@pytest.mark.parametrize("kind", ["pandas", "arrow"])
def test_tables_read_by_read_bufr_are_written_back(kind, compressed, synop_table, definitions_root):
    m = korvane.open(SYNOP, definitions=definitions_root)[0]
    table = synop_table
    if kind == "arrow":
        pa = pytest.importorskip("pyarrow")
        table = pa.Table.from_pandas(table, preserve_index=False)
    out = io.BytesIO()
    header = {k: m.header[k] for k in ("originating_centre", "international_data_subcategory",
                                       "master_tables_version_number")}
    assert korvane.write_bufr(table, 307080, out, compressed=compressed, definitions=definitions_root,
                              **header) == 1
    written = read(out.getvalue(), definitions_root)
    assert written.typical_day == m.typical_day and written.typical_hour == m.typical_hour
    assert items_of(written.decode()) == items_of(m.decode())


def test_tables_are_split_into_messages(synop_table, tmp_path, definitions_root):
    path = tmp_path / "synop.bufr"
    n = korvane.write_bufr(synop_table, 307080, path, subsets_per_message=3, definitions=definitions_root,
                           master_tables_version_number=13)
    messages = list(korvane.open(path, definitions=definitions_root))
    assert (n, [x.number_of_subsets for x in messages]) == (3, [3, 3, 1])
    again = korvane.read_bufr(path, flat=True, definitions=definitions_root)
    # The table has columns for the cloud layers of the file's other messages.
    assert synop_table.drop(columns=again.columns).isna().all().all()
    assert again.reset_index(drop=True).equals(synop_table[again.columns].reset_index(drop=True))


def test_replication_counts_come_from_ranked_columns(definitions_root):
    # A sounding of up to three levels: each row repeats the levels that
    # hold a pressure, and given counts override that.
    table = {"#1#pressure": [85000, 90000], "#2#pressure": [70000, None], "#3#pressure": [50000, None],
             "#1#airTemperature": [280.0, 285.0], "#2#airTemperature": [270.0, None],
             "#3#airTemperature": [250.0, None]}
    template = [102000, 31002, 7004, 12101]
    header = dict(typical_year=2024, typical_month=1, typical_day=1, typical_hour=0, definitions=definitions_root)
    out = io.BytesIO()
    korvane.write_bufr(table, template, out, **header)
    v = read(out.getvalue(), definitions_root).decode()
    assert v.value.tolist() == [3, 85000, 280.0, 70000, 270.0, 50000, 250.0, 1, 90000, 285.0]
    with pytest.raises(ValueError, match=r"row 0: column '#2#pressure' holds a value"):
        korvane.write_bufr(table | {"#2#pressure": [70000, 80000]}, template, io.BytesIO(), replications=[1],
                           **header)


def test_table_columns_that_go_nowhere_are_refused(synop_table, definitions_root):
    bad = synop_table.assign(airTemprature=280.0)
    with pytest.raises(ValueError, match=r"columns that name no item of the template \[307080\]: airTemprature"):
        korvane.write_bufr(bad, 307080, io.BytesIO(), definitions=definitions_root)
    lost = synop_table.assign(**{"#5#cloudAmount": 3})
    with pytest.raises(ValueError, match="row 0: column '#5#cloudAmount' holds a value, but the template"):
        korvane.write_bufr(lost, 307080, io.BytesIO(), definitions=definitions_root)
    counted = synop_table.drop(columns=[c for c in synop_table.columns if "ReplicationFactor" in c])
    with pytest.raises(ValueError, match="row 0: 3 replication counts are given, but the row's descriptors take 2"):
        korvane.write_bufr(counted, 307080, io.BytesIO(), definitions=definitions_root, replications=[1, 1, 1])

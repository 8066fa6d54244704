"""The corpus decoded with the WMO BUFR4 CSV tables of version 45, against the
ecCodes tables of each message's own master table version.

Where every element a message uses is defined alike in both (scale, reference
value, width, and whether it is text), the two decodings must give the same
numbers and texts. Where some element differs, the decodings may part ways,
and the test names those elements: they are derived from the installed files
and checked against the changes known between the versions."""

from __future__ import annotations


import pytest

from korvane import _korvane
from test_corpus_decode import FAILURES, MESSAGES
from shared_data import WMO_CSV as V45

# Elements known to be defined differently in version 45 than in the versions
# the messages were written with; each must show up as a difference.
KNOWN_CHANGES = {
    # Long- and short-wave radiation, widened from 12 to 17 bits since version 13.
    "ISMD01_OKPR.bufr": {14002, 14004},
    # Local descriptors of centre 98 (ECMWF) that no WMO table holds.
    "g2nd_208.bufr": {1211},
    "maer_207.bufr": {27193},
}


@pytest.fixture(scope="module")
def v45():
    return _korvane.TableSet.from_bufr4_45(str(V45))


def definition(e: _korvane.ElementDefinition | None):
    if e is None:
        return None
    return (e.scale, e.reference, e.width, e.unit == "CCITT IA5")


def numbers_and_texts(values) -> list[tuple]:
    return [(v.descriptor, v.raw_value, v.raw, v.raw_text) for v in values]


@pytest.mark.parametrize("key, message, header", MESSAGES, ids=[k for k, _, _ in MESSAGES])
def test_version45_agrees_where_the_definitions_do(definitions_root, v45, key, message, header):
    if key in FAILURES:
        return  # damaged: no decoding to compare with
    own = _korvane.TableSet.from_definitions(str(definitions_root), header)
    expected = _korvane.decode_values_with_tables(message, own)
    used = {v.descriptor for v in expected if v.descriptor < 100000}
    differing = {c for c in used if definition(own.get_element(c)) != definition(v45.get_element(c))}
    known = KNOWN_CHANGES.get(key.split("#")[0], set())
    assert known <= differing, f"{key}: expected {sorted(known)} among the differences {sorted(differing)}"
    if differing:
        # The message leaves the stream at one of the named elements: it is
        # either refused or read differently.
        try:
            got = _korvane.decode_values_with_tables(message, v45)
        except ValueError:
            return
        assert numbers_and_texts(got) != numbers_and_texts(expected)
        return
    got = _korvane.decode_values_with_tables(message, v45)
    assert numbers_and_texts(got) == numbers_and_texts(expected)
    # The CSV files carry no code tables: no value has a meaning.
    assert all(v.raw_meaning is None for v in got)


def test_most_of_the_corpus_is_compared(definitions_root, v45):
    # Guard against the comparison silently turning into "everything differs".
    agreeing = 0
    for key, message, header in MESSAGES:
        if key in FAILURES:
            continue
        own = _korvane.TableSet.from_definitions(str(definitions_root), header)
        used = {v.descriptor for v in _korvane.decode_values_with_tables(message, own) if v.descriptor < 100000}
        agreeing += all(definition(own.get_element(c)) == definition(v45.get_element(c)) for c in used)
    assert agreeing >= 20  # 26 with the tables of Debian 12

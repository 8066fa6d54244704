from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from shared_data import SHARED
DEFINITIONS = Path("/usr/share/eccodes/definitions")


def pytest_report_header(config):
    import korvane

    return f"korvane from {Path(korvane.__file__).parent}"


def pytest_sessionstart(session):
    if not (SHARED / "corpus").is_dir():
        raise pytest.UsageError(f"the message corpus is not at {SHARED / 'corpus'}: set KORVANE_SHARED to the "
                                "directory that holds corpus/ and wmo-bufr4-v45/")
    # The sanitizer run must test the sanitized build, not an installed one.
    stage = os.environ.get("KORVANE_EXPECT_STAGE")
    if stage:
        import korvane._korvane

        if not korvane._korvane.__file__.startswith(stage):
            raise pytest.UsageError(f"expected korvane from {stage}, got {korvane._korvane.__file__}")


@pytest.fixture(scope="session")
def corpus_dir() -> Path:
    path = SHARED / "corpus"
    if not path.is_dir():
        pytest.fail(f"the corpus is missing: {path} (KORVANE_SHARED names the directory that holds it)")
    return path


@pytest.fixture(scope="session")
def definitions_root() -> Path:
    if not (DEFINITIONS / "bufr" / "tables").is_dir():
        pytest.fail(f"no definitions at {DEFINITIONS}: install Debian's libeccodes-data")
    return DEFINITIONS


@pytest.fixture(scope="session")
def item_bound(definitions_root):
    """bound(compressed, data_bits): the most items the decoder lets a message
    give, A + r * data_bits, with A and r read from its refusals of two
    messages of each kind that repeat operator placeholders without reading
    data (the text names the bound and the bits)."""
    import re

    import korvane
    from bufr_builder import build

    shapes = {False: ([103255, 102255, 101255, 222000], 1), True: ([102255, 101255, 222000], 65535)}
    params = {}
    for compressed, (descriptors, subsets) in shapes.items():
        points = []
        for size in (1 << 13, 1 << 14):
            message = build(descriptors=descriptors, data=b"\0" * size, subsets=subsets, compressed=compressed)
            with pytest.raises(korvane.DecodeError) as e:
                korvane.open(message, definitions=definitions_root)[0].decode()
            found = re.search(r"more than (\d+) items for (\d+) bits", e.value.reason)
            assert found, e.value.reason
            points.append((int(found[1]), int(found[2])))
        (m1, b1), (m2, b2) = points
        ratio = (m2 - m1) / (b2 - b1)
        params[compressed] = (m1 - ratio * b1, ratio)

    def bound(compressed: bool, data_bits: int) -> float:
        allowance, ratio = params[bool(compressed)]
        return allowance + ratio * data_bits

    return bound

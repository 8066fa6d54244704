from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

SHARED = Path(__file__).resolve().parent.parent.parent / "shared"
DEFINITIONS = Path("/usr/share/eccodes/definitions")


def pytest_report_header(config):
    import korvane

    return f"korvane from {Path(korvane.__file__).parent}"


def pytest_sessionstart(session):
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
        pytest.fail(f"the corpus is missing: {path}")
    return path


@pytest.fixture(scope="session")
def definitions_root() -> Path:
    if not (DEFINITIONS / "bufr" / "tables").is_dir():
        pytest.fail(f"no definitions at {DEFINITIONS}: install Debian's libeccodes-data")
    return DEFINITIONS

"""Where the tests find the data kept beside the repository rather than in it:
the message corpus (corpus/ed4, corpus/ed3) and the WMO BUFR4 CSV tables
(wmo-bufr4-v45). `$KORVANE_SHARED` names the directory that holds them; by
default it is ../shared beside the checkout."""

from __future__ import annotations

import json
import os
from pathlib import Path

SHARED = Path(os.environ.get("KORVANE_SHARED") or Path(__file__).resolve().parent.parent.parent / "shared")
CORPUS = SHARED / "corpus"
ED4 = CORPUS / "ed4"
ED3 = CORPUS / "ed3"
WMO_CSV = SHARED / "wmo-bufr4-v45"


def read_json(path: Path):
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise FileNotFoundError(f"{path} is missing: set KORVANE_SHARED to the directory that holds corpus/ "
                                f"and wmo-bufr4-v45/ (now {SHARED})") from None

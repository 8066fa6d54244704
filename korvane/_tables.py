"""Where the BUFR tables come from: the definitions root a reader uses."""

from __future__ import annotations

import os
from pathlib import Path

#: The definitions root of Debian's libeccodes-data.
SYSTEM_DEFINITIONS = Path("/usr/share/eccodes/definitions")


def _has_tables(root: Path) -> bool:
    return (root / "bufr" / "tables").is_dir()


def resolve_definitions(definitions: str | os.PathLike[str] | None = None) -> Path:
    """resolve_definitions(definitions=None)
    --

    The definitions root to read tables from: `definitions` when given, else
    the first entry of $ECCODES_DEFINITION_PATH that holds BUFR tables, else
    Debian's /usr/share/eccodes/definitions.
    """
    if definitions is not None:
        root = Path(definitions)
        if not _has_tables(root):
            raise FileNotFoundError(f"no BUFR tables under {root} (expected {root / 'bufr' / 'tables'})")
        return root
    for entry in os.environ.get("ECCODES_DEFINITION_PATH", "").split(os.pathsep):
        if entry and _has_tables(Path(entry)):
            return Path(entry)
    if _has_tables(SYSTEM_DEFINITIONS):
        return SYSTEM_DEFINITIONS
    raise FileNotFoundError(
        "no BUFR tables found: pass definitions=..., set ECCODES_DEFINITION_PATH, "
        "or install ecCodes' definitions (Debian: apt-get install libeccodes-data)"
    )

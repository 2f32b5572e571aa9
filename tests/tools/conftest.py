"""The stand-ins of tools/ are imported and driven in this process: bytes in,
bytes out, checked against layouts the tests write down themselves."""
import os
import sys
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("UPDATER_SOURCE_DIR", Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(SOURCE_DIR / "tools"))

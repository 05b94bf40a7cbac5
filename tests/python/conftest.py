"""Shared pytest setup: makes the replay builder in tools/ importable."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))

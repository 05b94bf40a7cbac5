"""`kadenzo anonymise`: names replaced by keyed pseudonyms, everything else
kept, the folder layout mirrored, per-file errors, and the exit statuses of
the command line (1 a replay failed, 2 usage, 4 an output not written)."""

import os
import subprocess
import sys

import kadenzo
from kadenzo.cli.anonymise import pseudonym
from replay_builder import MODE_CTB, MODE_MANIA, MODE_STD, MODE_TAIKO, realistic_replay


def kadenzo_cli(*args, env=None):
    return subprocess.run(
        [sys.executable, "-m", "kadenzo", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, **(env or {})},
    )


def test_anonymise_a_folder(tmp_path):
    plays = tmp_path / "plays"
    (plays / "deeper").mkdir(parents=True)
    for name, mode in [("a", MODE_STD), ("b", MODE_TAIKO), ("deeper/c", MODE_CTB), ("d", MODE_MANIA)]:
        (plays / f"{name}.kvr").write_bytes(realistic_replay(mode, 300, seed=mode).to_bytes())
    (plays / "broken.kvr").write_bytes((plays / "a.kvr").read_bytes()[:300])
    out = tmp_path / "out"

    result = kadenzo_cli("anonymise", plays, "-o", out, "--key", "secret")
    assert result.returncode == 1, result.stderr
    assert "broken.kvr: file ends inside the frame block" in result.stderr
    assert result.stderr.endswith("5 files, 1 failed\n")
    for name in ("a", "b", "deeper/c", "d"):
        before = kadenzo.parse_replay_from_path(str(plays / f"{name}.kvr"))
        after = kadenzo.parse_replay_from_path(str(out / f"{name}.kvr"))
        assert after.username == pseudonym(before.username, b"secret") != before.username
        after.username = before.username
        assert repr(after) == repr(before)  # every other field, every frame
    assert sorted(p.name for p in out.rglob("*")) == ["a.kvr", "b.kvr", "c.kvr", "d.kvr", "deeper"]

    again = kadenzo_cli("anonymise", plays / "a.kvr", "-o", out, env={"KADENZO_ANONYMISE_KEY": "secret"})
    assert again.returncode == 4 and "a.kvr exists (--overwrite replaces it)" in again.stderr
    again = kadenzo_cli("anonymise", plays / "a.kvr", "-o", out, "--overwrite", env={"KADENZO_ANONYMISE_KEY": "secret"})
    assert again.returncode == 0 and again.stderr == "1 file, 0 failed\n"

    no_key = kadenzo_cli("anonymise", plays, "-o", tmp_path / "none", env={"KADENZO_ANONYMISE_KEY": ""})
    assert no_key.returncode == 2 and "a key is needed" in no_key.stderr
    assert not (tmp_path / "none").exists()
    onto_inputs = kadenzo_cli("anonymise", plays, "-o", plays, "--overwrite", "--key", "k")
    assert onto_inputs.returncode == 2 and "is one of the inputs" in onto_inputs.stderr


def test_pseudonyms_are_stable_and_keyed():
    assert pseudonym("Mara", b"k") == pseudonym("Mara", b"k") == "player-" + pseudonym("Mara", b"k")[7:]
    assert len({pseudonym("Mara", b"k"), pseudonym("Mara", b"j"), pseudonym("mara", b"k")}) == 3
    assert pseudonym(None, b"k") is None and pseudonym("", b"k") == ""


def test_runs_that_would_lose_or_mix_files_are_refused_up_front(tmp_path):
    for folder in ("big", "copy"):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "p0.kvr").write_bytes(realistic_replay(MODE_STD, 50, seed=1).to_bytes())
    (tmp_path / "big" / "p1.kvr").write_bytes(realistic_replay(MODE_STD, 50, seed=2).to_bytes())
    for args, message in [
        ([tmp_path / "big", tmp_path / "copy", "-o", tmp_path / "out"], "p0.kvr and {0}/copy/p0.kvr would both"),
        ([tmp_path / "big", tmp_path / "copy", "-o", tmp_path / "out", "--overwrite"], "big/p0.kvr and {0}/copy"),
        ([tmp_path / "big", "-o", tmp_path / "big" / "sub"], "is inside the input"),
    ]:
        result = kadenzo_cli("anonymise", *args, "--key", "k")
        assert result.returncode == 2 and message.format(tmp_path) in result.stderr, result.stderr
    assert sorted(path.name for path in tmp_path.rglob("*")) == ["big", "copy", "p0.kvr", "p0.kvr", "p1.kvr"]

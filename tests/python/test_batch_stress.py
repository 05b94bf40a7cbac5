"""Stress of parse_replays_from_paths: a few hundred small files, valid and
broken, in many batches on pools of 1, 2 and 5 threads (each in a fresh
interpreter, since the pool size is fixed at its creation). Every batch must
give what decoding its files one by one gives: the same reprs in path order,
or the failure of the lowest-indexed failing path."""

import json
import os
import random
import subprocess
import sys

import kadenzo
import pytest
from replay_builder import MODES, ReplayFile, compress, frame_text, generate_play, raw_string

FILE_COUNT = 300
REPEATS = 4

# Decodes every batch of the plan REPEATS times; prints one outcome per batch
# and repeat: ["ok", [repr, ...]] or ["panic", message].
CHILD = """
import json, sys
import kadenzo

plan = json.load(open(sys.argv[1]))
outcomes = []
for paths, header_only in plan["batches"]:
    for _ in range(plan["repeats"]):
        try:
            outcomes.append(["ok", [repr(r) for r in kadenzo.parse_replays_from_paths(paths, header_only)]])
        except BaseException as exc:
            assert type(exc).__name__ == "PanicException", repr(exc)
            outcomes.append(["panic", str(exc)])
print(json.dumps(outcomes))
"""


def broken_file(kind, index, valid):
    """Broken in one of several ways; most messages name the file's own bytes."""
    if kind == 0:
        return valid[: 40 + index % 60]  # cut inside the header: the message lists the rest
    if kind == 1:
        return ReplayFile(username=raw_string(b"p%d\xc3\x28" % index)).to_bytes()
    if kind == 2:
        return ReplayFile(mode=4 + index % 200, block=b"").to_bytes()
    return ReplayFile(text=b"%d|1|2" % index).to_bytes()  # a frame without all its fields


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """FILE_COUNT paths (about one in five broken or missing) and the outcome
    of decoding each one alone, full and header-only."""
    folder = tmp_path_factory.mktemp("batch_stress")
    rng = random.Random(20240601)
    # One compressed block per mode, shared: files differ in their headers.
    blocks = {mode: compress(frame_text(mode, *generate_play(mode, 12, seed=mode))) for mode in MODES}
    paths = []
    for index in range(FILE_COUNT):
        path = folder / f"{index:03d}.kvr"
        mode = MODES[index % 4]
        valid = ReplayFile(
            mode=mode, block=blocks[mode], score=index, replay_id=rng.getrandbits(64), username=f"player {index}"
        ).to_bytes()
        roll = rng.random()
        if roll < 0.03:
            paths.append(str(path))  # never written: missing
            continue
        path.write_bytes(broken_file(rng.randrange(4), index, valid) if roll < 0.2 else valid)
        paths.append(str(path))

    def alone(path, header_only):
        try:
            return ["ok", repr(kadenzo.parse_replay_from_path(path, header_only))]
        except BaseException as exc:  # noqa: B036 - stops arrive as PanicException
            assert type(exc).__name__ == "PanicException", repr(exc)
            return ["panic", str(exc)]

    outcomes = {(path, header_only): alone(path, header_only) for path in paths for header_only in (False, True)}
    return paths, outcomes


def make_batches(paths, outcomes):
    rng = random.Random(7)
    valid = [p for p in paths if outcomes[p, False][0] == "ok"]
    failing = [p for p in paths if outcomes[p, False][0] == "panic"]
    batches = [
        (paths, False),
        (paths, True),
        (valid, False),
        (valid, True),
        ([], False),
        (valid[:1], False),
        (failing[:1], False),
        ([valid[0]] * 9, False),
        # Failures only in the upper half, and only at the very end.
        (valid[:40] + failing[-3:], False),
        (valid[:63] + failing[:1], False),
        (failing[::-1], False),
    ]
    for _ in range(80):
        # Valid files with none to three failing ones at random places, so
        # that the lowest failing index falls anywhere in the batch.
        batch = rng.sample(valid, rng.randint(2, 80))
        for _ in range(rng.choice((0, 0, 1, 2, 3))):
            batch.insert(rng.randint(0, len(batch)), rng.choice(failing))
        batches.append((batch, rng.random() < 0.25))
    return batches


def expected_outcome(batch, header_only, outcomes):
    reprs = []
    for path in batch:
        kind, value = outcomes[path, header_only]
        if kind == "panic":
            return ["panic", value]
        reprs.append(value)
    return ["ok", reprs]


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_batches_equal_decoding_one_by_one(corpus, threads, tmp_path):
    paths, outcomes = corpus
    batches = make_batches(paths, outcomes)
    plan = tmp_path / "plan.json"
    plan.write_text(json.dumps({"batches": batches, "repeats": REPEATS}))
    env = {key: value for key, value in os.environ.items() if not key.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    env["PYTHONPATH"] = os.path.dirname(kadenzo.__file__)
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(plan)], env=env, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr[-3000:]
    got = json.loads(done.stdout)
    assert len(got) == len(batches) * REPEATS
    for number, (batch, header_only) in enumerate(batches):
        expected = expected_outcome(batch, header_only, outcomes)
        for repeat in range(REPEATS):
            assert got[number * REPEATS + repeat] == expected, (number, repeat, header_only, len(batch))

"""Typed use of kadenzo, checked by `mypy --strict` against the installed stub
and run on the sample replays: what passes the checker must also work.

    python tests/typing/usage.py samples/*.kvr
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, assert_type

import kadenzo
from kadenzo import GameMode, Key, KeyMania, KeyTaiko, LifeBarState, Mod

if TYPE_CHECKING:
    # Not a module attribute at runtime: a name for annotations only.
    from kadenzo import ReplayDataContainer


def frame_count(data: ReplayDataContainer) -> int:
    lists = (data.kivo_replay_data, data.taiko_replay_data, data.catch_replay_data, data.mania_replay_data)
    return sum(len(frames) for frames in lists if frames is not None)


def describe(replay: kadenzo.Replay) -> str:
    mode: GameMode = replay.mode
    mods: Mod = replay.mods
    hidden: bool = bool(mods & Mod.Hidden)
    name: str = replay.username or "?"
    seed: int | None = replay.rng_seed
    life: list[LifeBarState] = replay.life_bar_graph or []
    frames = frame_count(replay.replay_data)
    return (
        f"{mode!r} {name} score={replay.score} mods={int(mods)} hidden={hidden} "
        f"life={len(life)} frames={frames} seed={seed}"
    )


def total_key_presses(replay: kadenzo.Replay) -> int:
    frames = replay.replay_data.kivo_replay_data or []
    presses = 0
    previous = Key(0)
    for frame in frames:
        held: Key = frame.keys
        presses += bool((held ^ previous) & held)
        previous = held
    return presses


def edit(replay: kadenzo.Replay) -> None:
    # Assignments take what the converters take: indexes for integers,
    # sequences for lists, None where a field is optional.
    replay.score = 1_000
    replay.rng_seed = None
    replay.mods = Mod.HardRock | Mod.Hidden
    replay.life_bar_graph = (LifeBarState(0, 1.0), LifeBarState(time=500, life=0.5))
    container = kadenzo.parse_replay_data(b"0|256|-500|0,16|100.5|50|5,", GameMode.STD)
    container.mania_replay_data = [kadenzo.ReplayEventMania(16, KeyMania.K1 | KeyMania.K4)]
    replay.replay_data = container


def values() -> list[int]:
    taiko = kadenzo.ReplayEventTaiko(time_delta=16, x=320, keys=KeyTaiko.LEFT_DON)
    catch = kadenzo.ReplayEventCatch(16, 256.0, dashing=True)
    kivo = kadenzo.ReplayEventKivo(16, 1, 2.5, Key.M1 | Key.K1)
    same: bool = kivo == kadenzo.ReplayEventKivo(16, 1.0, 2.5, Key(5))
    distance: int = Mod.DoubleTime - Mod.HardRock
    ordered: bool = Key.M1 < Key.K2
    return [taiko.x, int(catch.dashing), int(same), distance, int(ordered), GameMode(3).value, KeyMania.K18.value]


def operator_types() -> None:
    # Each line checks the type twice: assert_type for the checker, type() at run time.
    assert type(assert_type(Mod.HardRock + Mod.Hidden, int)) is int
    assert type(assert_type(Key.K1 - Key.M1, int)) is int
    assert type(assert_type(Mod.HardRock | Mod.Hidden, Mod)) is Mod
    assert type(assert_type(KeyTaiko.LEFT_DON & KeyTaiko(5), KeyTaiko)) is KeyTaiko
    assert type(assert_type(KeyMania.K1 ^ KeyMania.K2, KeyMania)) is KeyMania
    assert type(assert_type(Key.M1 < Key.K1, bool)) is bool
    assert type(assert_type(GameMode(1) == GameMode.TAIKO, bool)) is bool
    assert type(assert_type(Mod.Hidden.value, int)) is int
    assert type(assert_type(kadenzo.parse_replays_from_paths([]), list[kadenzo.Replay])) is list
    container = kadenzo.parse_replay_data(b"16|1|2,", GameMode.MANIA)
    assert type(assert_type(container.kivo_replay_data, list[kadenzo.ReplayEventKivo] | None)) is type(None)
    assert type(assert_type(LifeBarState(1, 0.5).life, float)) is float


def _misuse() -> None:
    # Never run: each line is a mistake the stub must make the checker report
    # (with --strict an ignore that matches no error is itself an error).
    Mod.HardRock | Key.M1  # type: ignore[operator]
    GameMode.STD < GameMode.CTB  # type: ignore[operator]
    kadenzo.ReplayEventMania(0, KeyMania(0)) >= kadenzo.ReplayEventMania(0, KeyMania(0))  # type: ignore[operator]
    kadenzo.parse_replay_from_bytes("not bytes")  # type: ignore[arg-type]
    kadenzo.parse_replay_data(b"", 0)  # type: ignore[arg-type]
    kadenzo.ReplayEventKivo(0, 0.0, 0.0, KeyTaiko(0))  # type: ignore[arg-type]
    Mod.Hidden.value = 8  # type: ignore[misc]
    Mod.Hidden = Mod(1)  # type: ignore[misc]
    kadenzo.ReplayEventCatch(0, 0.0, "yes").dashing  # type: ignore[arg-type]
    replay = kadenzo.parse_replay_from_path("x.kvr")
    replay.mode = 1  # type: ignore[assignment]
    replay.replay_data = None  # type: ignore[assignment]


def main(paths: list[str]) -> int:
    replays = kadenzo.parse_replays_from_paths(paths)
    for path, replay in zip(paths, replays):
        print(path, describe(replay), total_key_presses(replay))
        edit(replay)
        print("  edited:", describe(replay))
    headers = [kadenzo.parse_replay_from_path(path, header_only=True) for path in paths]
    assert all(h.rng_seed is None for h in headers)
    with open(paths[0], "rb") as file:
        first = kadenzo.parse_replay_from_bytes(file.read())
    operator_types()
    print(values(), first.mode)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

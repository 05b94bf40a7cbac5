"""`kadenzo show`: a short readable summary of each replay of the sources."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

from kadenzo import Replay, bulk, mods
from kadenzo import columns as kc
from kadenzo._for_people import for_people, say
from kadenzo.cli import _options
from kadenzo.cli._common import ExitStatus, look
from kadenzo.cli._output import standard_output, write_errors
from kadenzo.errors import Salvaged


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "show",
        help="a short readable summary of each replay",
        description="Prints a short readable summary of each replay, one after another. A file that does "
        "not decode is named on standard error (with --salvage, what it still holds is shown, fields it "
        "did not yield marked so), and the exit status is then 1.",
    )
    _options.add_sources(parser)
    _options.add_salvage(parser, "show what a file that fails to decode still holds, read before the fault")
    _options.add_threads(parser)
    return parser


def run(args: argparse.Namespace) -> int:
    found = look(args.paths, args.glob)
    out = standard_output()
    failed = shown = 0
    with bulk.decode(args.paths, glob=args.glob, threads=args.threads, salvage=args.salvage) as results:
        for result in results:
            name = for_people(result.path) if result.path is not None else "<bytes>"
            salvaged = result.error.salvaged if result.error is not None else None
            if result.error is not None:
                failed += 1
                say(f"kadenzo show: {name}: {result.error.message}")
                if salvaged is None:
                    continue
            assert result.replay is not None
            with write_errors("standard output"):
                print(("\n" if shown else "") + "\n".join(lines(name, result.replay, salvaged)), file=out, flush=True)
            shown += 1
    if not failed and not shown:
        raise found.nothing_found(args.glob)
    return ExitStatus.FAILED if failed else ExitStatus.OK


def lines(name: str, replay: Replay, salvaged: Salvaged | None = None) -> list[str]:
    """The summary of one play; header texts come from the file, so they are
    shown escaped, never as terminal commands. Of a damaged file, the fields
    it did not yield read "(not read)"."""
    read = set(salvaged.fields_read) if salvaged is not None else None

    def has(*fields: str) -> bool:
        return read is None or all(field in read for field in fields)

    columns = kc.frames(replay) if has("replay_data") or (salvaged and salvaged.frames_partial) else None
    life = replay.life_bar_graph or []
    duration = sum(columns.time_delta) / 1000 if columns is not None and len(columns) else 0.0
    bits = mods.bits(replay.mods)
    rows: list[tuple[str, list[str], Callable[[], str]]] = [
        ("mode", ["mode"], lambda: repr(replay.mode).removeprefix("GameMode.")),
        ("player", ["username"], lambda: shown(replay.username)),
        ("beatmap hash", ["beatmap_hash"], lambda: shown(replay.beatmap_hash)),
        ("replay hash", ["replay_hash"], lambda: shown(replay.replay_hash)),
        ("game version", ["game_version"], lambda: str(replay.game_version)),
        (
            "score",
            ["score", "max_combo", "perfect"],
            lambda: f"{replay.score:,}, max combo {replay.max_combo}{', perfect' if replay.perfect else ''}",
        ),
        (
            "hits",
            ["count_300", "count_100", "count_50", "count_geki", "count_katu", "count_miss"],
            lambda: (
                f"300: {replay.count_300}  100: {replay.count_100}  50: {replay.count_50}  "
                f"geki: {replay.count_geki}  katu: {replay.count_katu}  miss: {replay.count_miss}"
            ),
        ),
        ("mods", ["mods"], lambda: f"{mods.member_names(bits).replace('|', ', ')} ({bits})"),
        ("timestamp", ["timestamp"], lambda: str(replay.timestamp)),
        ("replay id", ["replay_id"], lambda: str(replay.replay_id)),
        (
            "frames",
            [],
            lambda: (
                "(not read)"
                if columns is None
                else f"{len(columns):,} over {duration:.1f} s ({', '.join(columns.names)})"
                + (", the part before the fault" if salvaged is not None and not has("replay_data") else "")
            ),
        ),
        (
            "seed",
            ["replay_data"],
            lambda: str(replay.rng_seed) if replay.rng_seed is not None else "(none)",
        ),
        (
            "life bar",
            ["life_bar_graph"],
            lambda: f"{len(life)} samples" + (f", {life[-1].life:.0%} at {life[-1].time / 1000:.1f} s" if life else ""),
        ),
    ]
    text = [name]
    for label, fields, value in rows:
        text.append(f"  {label:<13} {value() if has(*fields) else '(not read)'}")
    return text


def shown(text: str | None) -> str:
    return for_people(text) if text is not None else "(none)"

"""Drawing one play: what the player did over time, above the life bar.

    import kadenzo.bulk, kadenzo.plot
    kadenzo.plot.plot_play(kadenzo.bulk.decode_one("samples/std.kvr"), "std.png")

What `kadenzo plot` draws; needs matplotlib and NumPy (`pip install
"kadenzo[plot]"`: importing this module without them raises ImportError).

The top panel depends on the mode:

- standard: the cursor trail on the playfield, coloured by time, with every
  button press marked where it happened;
- catch: the catcher's position over time, dashing drawn apart;
- drums and columns (no cursor): a piano roll, one row per key, with the time
  each key was held and a tick at each press.

Below it, the life bar over the play. A time window (in seconds from the
start of the play) limits both panels to part of the play.
"""

from __future__ import annotations

import pathlib
from collections.abc import Sequence
from typing import Any

import matplotlib

matplotlib.use("Agg")  # files only: no display needed, none opened

import kadenzo  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402  (the backend must be chosen first)
import numpy as np  # noqa: E402
from kadenzo._for_people import for_people  # noqa: E402
from kadenzo._native import FrameColumns, frame_columns  # noqa: E402
from kadenzo.mods import member_names  # noqa: E402
from matplotlib import font_manager  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.collections import LineCollection  # noqa: E402
from matplotlib.colors import to_rgba  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.ft2font import FT2Font  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402
from matplotlib.ticker import PercentFormatter  # noqa: E402
from numpy.typing import ArrayLike  # noqa: E402

__all__ = ["figure_of", "image_format", "image_suffixes", "play_seconds", "plot_play"]

PLAYFIELD_WIDTH, PLAYFIELD_HEIGHT = 512, 384
# The cursor may leave the playfield a little; further out (the placeholder
# frames at the start of a play sit at y = -500) it is not part of the play.
CURSOR_MARGIN = 64

STD_BUTTON_BITS = {"K1": 4, "K2": 8, "M1": 1, "M2": 2, "SMOKE": 16}
STD_BUTTON_STYLES = {  # name: (marker, colour)
    "K1": ("s", "crimson"),
    "K2": ("D", "darkorange"),
    "M1": ("o", "deeppink"),
    "M2": ("^", "purple"),
    "SMOKE": ("x", "dimgray"),
}

# Left to right as on the drum.
TAIKO_KEYS = ("LEFT_KAT", "LEFT_DON", "RIGHT_DON", "RIGHT_KAT")
TAIKO_COLOURS = {"DON": "tab:red", "KAT": "tab:blue"}
WALK_COLOUR, DASH_COLOUR = "tab:blue", "tab:orange"


# --- frames as arrays ----------------------------------------------------


def elapsed_seconds(time_deltas: ArrayLike) -> np.ndarray:
    """Time of each frame since the start of the play, in seconds."""
    return np.cumsum(np.asarray(time_deltas, dtype=np.int64)) / 1000.0


def press_starts(held: np.ndarray) -> np.ndarray:
    """True at the frames where a button goes from released to held."""
    before = np.concatenate(([False], held[:-1]))
    return held & ~before


def held_spans(times: np.ndarray, held: np.ndarray) -> list[tuple[float, float]]:
    """(start, duration) of every stretch the button was held.

    A frame's state lasts until the next frame, so a hold ends at the first
    frame that no longer has it (or at the last frame, if none)."""
    starts = np.flatnonzero(press_starts(held))
    after = np.concatenate((held[1:], [False]))
    ends = np.minimum(np.flatnonzero(held & ~after) + 1, len(times) - 1)
    return [(times[s], times[e] - times[s]) for s, e in zip(starts, ends)]


def std_presses(keys: np.ndarray) -> dict[str, np.ndarray]:
    """True at the frames where each standard-mode button goes down.

    Pressing K1 or K2 also sets the bit of M1 or M2, so that bit going up is a
    mouse press only when its key did not go down in the same frame."""
    down = {name: press_starts((keys & bit) != 0) for name, bit in STD_BUTTON_BITS.items()}
    down["M1"] &= ~down["K1"]
    down["M2"] &= ~down["K2"]
    return down


def key_rows(mode: str, keys: np.ndarray) -> dict[str, np.ndarray]:
    """Held state of each taiko drum or mania column, per frame, in row order."""
    if mode == "TAIKO":
        return {name: (keys & int(getattr(kadenzo.KeyTaiko, name))) != 0 for name in TAIKO_KEYS}
    # Mania frames do not say how many columns the map has; show every column
    # up to the highest one ever pressed.
    # Keys are signed 32-bit: read them as unsigned so bit 31 counts too.
    patterns = keys.astype(np.int64) & 0xFFFF_FFFF
    columns = max(int(np.bitwise_or.reduce(patterns, initial=0)).bit_length(), 1)
    return {f"K{c + 1}": (patterns & (1 << c)) != 0 for c in range(columns)}


def segments(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Line pieces between consecutive points: shape (frames - 1, 2 ends, 2 coordinates)."""
    points = np.column_stack((x, y))
    return np.stack((points[:-1], points[1:]), axis=1)


# --- the panels ------------------------------------------------------------


def plot_cursor(ax: Axes, t: np.ndarray, frames: dict[str, np.ndarray]) -> float:
    """Standard mode: the cursor trail on the playfield, coloured by time.
    Returns the time of the last frame (s)."""
    x, y, keys = frames["x"], frames["y"], frames["keys"]
    on_screen = (
        (x > -CURSOR_MARGIN)
        & (x < PLAYFIELD_WIDTH + CURSOR_MARGIN)
        & (y > -CURSOR_MARGIN)
        & (y < PLAYFIELD_HEIGHT + CURSOR_MARGIN)
    )
    kept = on_screen[:-1] & on_screen[1:]  # a piece is drawn when both its ends are

    trail = LineCollection(list(segments(x, y)[kept]), array=t[1:][kept], cmap="viridis", linewidths=0.9, alpha=0.85)
    ax.add_collection(trail)
    ax.figure.colorbar(trail, ax=ax, label="time (s)", shrink=0.85, pad=0.02)

    pressed_any = False
    for name, down in std_presses(keys).items():
        at = down & on_screen
        if at.any():
            pressed_any = True
            marker, colour = STD_BUTTON_STYLES[name]
            hollow = marker != "x"
            ax.scatter(
                x[at],
                y[at],
                marker=marker,
                s=22,
                linewidths=1.1,
                zorder=3,
                facecolors="none" if hollow else colour,
                edgecolors=colour if hollow else None,
                label=f"{name} press ({int(at.sum())})",
            )

    ax.add_patch(
        Rectangle((0, 0), PLAYFIELD_WIDTH, PLAYFIELD_HEIGHT, fill=False, edgecolor="0.6", linestyle="--", linewidth=1)
    )
    ax.set_xlim(-CURSOR_MARGIN, PLAYFIELD_WIDTH + CURSOR_MARGIN)
    ax.set_ylim(PLAYFIELD_HEIGHT + CURSOR_MARGIN, -CURSOR_MARGIN)  # y grows downwards, as on screen
    ax.set_aspect("equal")
    ax.set_xlabel("x (playfield units)")
    ax.set_ylabel("y (playfield units)")
    ax.set_title("Cursor trail (dashed: playfield)")
    if pressed_any:
        ax.legend(loc="upper right", fontsize="small", ncols=2, framealpha=0.85)
    return float(t.max())


def plot_catcher(ax: Axes, t: np.ndarray, frames: dict[str, np.ndarray]) -> float:
    """Catch mode: the catcher's x over time; dashing pieces thicker and in orange.
    Returns the time of the last frame (s)."""
    x, dashing = frames["x"], frames["dashing"]
    dash = dashing[1:].astype(bool)  # a piece takes the state of the frame it leads to
    colours = np.where(dash[:, None], to_rgba(DASH_COLOUR), to_rgba(WALK_COLOUR))
    ax.add_collection(LineCollection(list(segments(t, x)), colors=colours, linewidths=np.where(dash, 2.6, 1.1)))
    ax.legend(
        handles=[
            Line2D([], [], color=WALK_COLOUR, lw=1.1, label="walking"),
            Line2D(
                [], [], color=DASH_COLOUR, lw=2.6, label=f"dashing ({dash.mean() if dash.size else 0:.0%} of frames)"
            ),
        ],
        loc="upper right",
        fontsize="small",
    )
    ax.set_ylim(0, PLAYFIELD_WIDTH)
    ax.set_ylabel("catcher x (playfield units)")
    ax.set_title("Catcher position")
    return float(t.max())


def plot_keys(ax: Axes, t: np.ndarray, frames: dict[str, np.ndarray], mode: str) -> float:
    """Taiko and mania: one row per key; bars while held, a tick at each press.
    Returns the time of the last frame (s)."""
    rows = key_rows(mode, frames["keys"])
    for row, (name, held) in enumerate(rows.items()):
        colour = TAIKO_COLOURS[name.split("_")[1]] if mode == "TAIKO" else f"C{row % 10}"
        ax.broken_barh(held_spans(t, held), (row - 0.35, 0.7), facecolors=colour, alpha=0.35)
        ax.eventplot(t[press_starts(held)], lineoffsets=row, linelengths=0.7, linewidths=1, colors=colour)
    ax.set_yticks(range(len(rows)), [name.replace("_", " ").lower() if mode == "TAIKO" else name for name in rows])
    ax.set_ylim(len(rows) - 0.5, -0.5)  # first key on top
    ax.set_ylabel("drum" if mode == "TAIKO" else "column")
    ax.set_title("Key presses (ticks) and holds (bars)")
    return float(t.max())


def plot_life(ax: Axes, life_bar: Sequence[Any] | None, window: tuple[float, float]) -> float:
    """The life bar over the play (or the window), 0 to 100 %. Returns its last time (s)."""
    end = 0.0
    t = np.array([s.time for s in life_bar or ()], dtype=float) / 1000.0
    kept = (t >= window[0]) & (t <= window[1])
    if kept.any():
        life = np.array([s.life for s in life_bar or ()])[kept]
        t = t[kept]
        ax.plot(t, life, color="tab:green", linewidth=1.5)
        ax.fill_between(t, life, color="tab:green", alpha=0.2)
        end = float(t.max())
    else:
        text = "no life-bar graph in this replay" if not life_bar else "no life-bar sample in this window"
        ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", color="0.4")
    ax.set_ylim(0, 1.05)
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))
    ax.set_xlabel("time (s)")
    ax.set_ylabel("life")
    ax.set_title("Life bar")
    ax.grid(alpha=0.3)
    return end


def show_message(ax: Axes, text: str) -> None:
    """A panel with nothing to plot says why."""
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", color="0.4")
    ax.set_axis_off()


# --- the figure --------------------------------------------------------------


def mods_text(replay: kadenzo.Replay) -> str:
    """The names of the mods: "DoubleTime, Hidden" for Mod(72)."""
    return member_names(replay.mods).replace("|", ", ")


def title_of(replay: kadenzo.Replay) -> str:
    player = drawable(for_people(replay.username)) if replay.username else "(no name)"
    first = f"{mode_name(replay.mode)} play by {player}: score {replay.score:,}, {mods_text(replay)}"
    second = [
        f"300 × {replay.count_300}",
        f"100 × {replay.count_100}",
        f"50 × {replay.count_50}",
        f"miss × {replay.count_miss}",
        f"max combo {replay.max_combo}",
    ]
    return first + "\n" + ", ".join(second)


# --- text the fonts can draw ----------------------------------------------------

_charmaps: dict[str, frozenset[int]] = {}
_families: dict[str, str] = {}


def _characters_of(font_path: str) -> frozenset[int]:
    """The code points a font file has glyphs for (read once per file)."""
    if font_path not in _charmaps:
        try:
            _charmaps[font_path] = frozenset(FT2Font(font_path).get_charmap())
        except (OSError, RuntimeError, ValueError):
            _charmaps[font_path] = frozenset()
    return _charmaps[font_path]


def _fonts_by_family() -> dict[str, str]:
    """One file of each installed font family, the families matplotlib uses first."""
    if not _families:
        files = {entry.name: entry.fname for entry in font_manager.fontManager.ttflist}
        first = [name for name in matplotlib.rcParams["font.sans-serif"] if name in files]
        _families.update((name, files[name]) for name in [*first, *sorted(set(files) - set(first))])
    return _families


def drawable(text: str) -> str:
    """`text` with each character that no installed font has written as an
    escape (\u30de), so the figure never shows empty boxes; characters that
    only a fallback font has make that font part of the figure's families."""
    fonts = _fonts_by_family()
    default = next(iter(fonts.values()), None)
    if default is None or all(ord(c) in _characters_of(default) for c in text):
        return text
    out = []
    for character in text:
        family = next((name for name, path in fonts.items() if ord(character) in _characters_of(path)), None)
        if family is None:
            out.append(f"\\u{ord(character):04x}" if ord(character) < 0x10000 else f"\\U{ord(character):08x}")
            continue
        families = list(matplotlib.rcParams["font.family"])
        if family not in families:
            matplotlib.rcParams["font.family"] = [*families, family]  # matplotlib falls back through the list
        out.append(character)
    return "".join(out)


def mode_name(mode: kadenzo.GameMode) -> str:
    """ "STD", "TAIKO", "CTB", "MANIA" or "UNKNOWN"."""
    return repr(mode).removeprefix("GameMode.")


def frames_in_window(
    columns: FrameColumns, start: float | None, end: float | None
) -> tuple[np.ndarray, dict[str, np.ndarray]]:
    """The frames' times (s) and fields, limited to start <= time <= end."""
    t = elapsed_seconds(columns.time_delta)
    kept = np.ones(len(t), dtype=bool)
    if start is not None:
        kept &= t >= start
    if end is not None:
        kept &= t <= end
    return t[kept], {name: np.asarray(columns[name])[kept] for name in columns.names}


def figure_of(replay: kadenzo.Replay, start: float | None = None, end: float | None = None) -> Figure:
    """The whole figure of a decoded replay (frames included), or of the
    part of the play between `start` and `end` seconds."""
    mode = mode_name(replay.mode)
    t, frames = frames_in_window(frame_columns(replay), start, end)
    if mode == "STD":
        fig, (top, life) = plt.subplots(2, 1, figsize=(8, 10), height_ratios=(3, 1), layout="constrained")
    else:
        fig, (top, life) = plt.subplots(2, 1, figsize=(11, 7), height_ratios=(2, 1), sharex=True, layout="constrained")
    fig.suptitle(title_of(replay), parse_math=False)  # a name like "a$b$" is text, not math

    last = 0.0
    if not len(t):
        show_message(top, "no frames in this replay" if start is None and end is None else "no frames in this window")
    elif mode == "STD":
        last = plot_cursor(top, t, frames)
    elif mode == "CTB":
        last = plot_catcher(top, t, frames)
    elif mode in ("TAIKO", "MANIA"):
        last = plot_keys(top, t, frames, mode)
    else:
        show_message(top, f"no plot for mode {mode}")
    window = (start if start is not None else 0.0, end if end is not None else np.inf)
    last = max(last, plot_life(life, replay.life_bar_graph, window))
    if last > window[0]:  # one time range for both panels
        life.set_xlim(window[0], min(last, window[1]))
    return fig


def image_suffixes() -> list[str]:
    """The file suffixes figures can be written as (".png", ".svg", ...)."""
    return sorted(f".{suffix}" for suffix in Figure().canvas.get_supported_filetypes())


def image_format(path: str | pathlib.Path) -> str | None:
    """The image format a file name asks for by its suffix, or None when it names none that can be written."""
    suffix = pathlib.Path(path).suffix.lower()
    return suffix[1:] if suffix in image_suffixes() else None


def play_seconds(replay: kadenzo.Replay) -> float:
    """The time of the play's last frame, in seconds from its start."""
    columns = frame_columns(replay)
    return float(elapsed_seconds(columns.time_delta)[-1]) if len(columns) else 0.0


def plot_play(
    replay: kadenzo.Replay,
    out_path: str | pathlib.Path,
    dpi: int = 120,
    start: float | None = None,
    end: float | None = None,
    image_format: str | None = None,
) -> pathlib.Path:
    """Writes the figure of `replay` (or of its window from `start` to `end`
    seconds) to `out_path` (format `image_format`, by default from its
    suffix) and returns the path."""
    out = pathlib.Path(out_path)
    fig = figure_of(replay, start, end)
    try:
        fig.savefig(out, dpi=dpi, format=image_format)
    finally:
        plt.close(fig)  # figures stay alive in pyplot until closed
    return out

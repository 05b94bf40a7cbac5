"""Frame blocks alone: the compressed input of a play as the game's web
service returns it, without the rest of a replay file.

    import kadenzo.frames
    block = kadenzo.frames.decode_block(text_from_the_api, kadenzo.GameMode.STD)
    block.replay_data.kivo_replay_data, block.rng_seed

``decode_block`` decodes exactly as a file's block decodes (the same frames,
seed, limits and failure texts, offsets counting from the block's start),
with the interpreter lock released.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal, NamedTuple, Union, cast, overload

from kadenzo import GameMode, _native
from kadenzo._native import FrameColumns
from kadenzo.errors import ReplayDecodeError

__all__ = ["Block", "decode_block"]


if TYPE_CHECKING:  # the class is not one of the module's names, only its stubs'
    from kadenzo import ReplayDataContainer

BlockSource = Union[str, bytes, bytearray, memoryview]


class Block(NamedTuple):
    """The frames of a block (the slot of its mode filled, the others None)
    and the play's random seed, as ``Replay.replay_data`` and
    ``Replay.rng_seed`` hold them for a file."""

    replay_data: ReplayDataContainer
    rng_seed: int | None


@overload
def decode_block(
    block: BlockSource, mode: GameMode | int, *, frames: Literal["objects"] = "objects", base64: bool = False
) -> Block: ...
@overload
def decode_block(
    block: BlockSource, mode: GameMode | int, *, frames: Literal["columns"], base64: bool = False
) -> FrameColumns: ...


def decode_block(
    block: BlockSource, mode: GameMode | int, *, frames: str = "objects", base64: bool = False
) -> Block | FrameColumns:
    """Decodes one compressed frame block of a play of ``mode``.

    ``block`` is the block's raw bytes (legacy LZMA, any bytes-like object),
    or its base64 text: a ``str``, or bytes-like with ``base64=True``.
    White space in base64 text is skipped and padding is optional.
    ``mode`` is a ``GameMode`` other than UNKNOWN, or its number 0 to 3.
    ``frames="objects"`` returns a ``Block``; ``frames="columns"`` the
    frames as ``FrameColumns`` (with ``rng_seed``). A block that does not
    decode, or text that is not base64 (the message names the offset of the
    first bad character), raises ``kadenzo.errors.ReplayDecodeError``.
    """
    if isinstance(mode, GameMode):
        number = int(mode.value)
    elif isinstance(mode, int) and not isinstance(mode, bool):
        number = mode
    else:
        raise TypeError(f"mode must be a GameMode or an int, not {type(mode).__name__}")
    if not 0 <= number <= 3:
        raise ValueError(f"mode must be STD, TAIKO, CTB or MANIA (0 to 3), not {mode!r}")
    if frames not in ("objects", "columns"):
        raise ValueError(f"frames must be 'objects' or 'columns', not {frames!r}")
    if not isinstance(base64, bool):
        raise TypeError(f"base64 must be a bool, not {type(base64).__name__}")
    if isinstance(block, str):
        try:
            block.encode("utf-8")
        except UnicodeEncodeError:
            # A lone surrogate is no base64 digit either: the text's UTF-8
            # bytes agree with its characters up to the first character that
            # is not ASCII, so the failure names the same offset.
            block, base64 = block.encode("utf-8", "surrogatepass"), True
    else:
        try:
            memoryview(block)
        except TypeError:
            raise TypeError(f"block must be str or a bytes-like object, not {type(block).__name__}") from None
    value, failure = _native.decode_block(block, number, base64, frames == "columns")
    if failure is not None:
        _kind, _errno, message, detail = failure
        raise ReplayDecodeError(message, None, detail)
    if frames == "columns":
        return cast(FrameColumns, value)
    data, seed = value
    return Block(data, seed)

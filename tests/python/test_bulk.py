"""kadenzo.bulk and kadenzo.errors: per-file results in input order, error
classes that survive process pools, any kind of path, laziness, the lock
released while decoding, and Ctrl-C."""

import base64
import concurrent.futures
import dataclasses
import mmap
import multiprocessing
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap
import threading
import time

import kadenzo
import kadenzo.bulk
import kadenzo.frames
import pytest
from kadenzo.errors import ReplayDecodeError, ReplayError, ReplayFileError
from replay_builder import ReplayFile, realistic_replay


@pytest.fixture
def folder(tmp_path):
    """Good files of every mode, with a missing and two damaged ones between them."""
    paths = []
    for index in range(12):
        path = tmp_path / f"{index:02}.kvr"
        if index == 3:
            pass  # missing
        elif index == 5:
            path.write_bytes(realistic_replay(0, 50, seed=index).to_bytes()[:200])
        elif index == 8:
            path.write_bytes(ReplayFile(text=b"1|2|3|0,5|1|y|0").to_bytes())
        else:
            path.write_bytes(realistic_replay(index % 4, 300 + 40 * index, seed=index).to_bytes())
        paths.append(str(path))
    return paths


def test_results_in_input_order_with_the_specified_texts(folder, panic, capfd):
    results = list(kadenzo.bulk.decode(folder, threads=2))
    assert [r.index for r in results] == list(range(len(folder)))
    assert [r.path for r in results] == folder
    assert [r.ok for r in results] == [i not in (3, 5, 8) for i in range(len(folder))]
    for result in results:
        if result.ok:
            assert repr(result.replay) == repr(kadenzo.parse_replay_from_path(result.path))
            continue
        assert result.replay is None
        assert result.error.detail == panic(kadenzo.parse_replay_from_path, result.path)
        assert result.error.path == result.path
    capfd.readouterr()  # the specified calls above wrote their lines; the bulk ones wrote none
    list(kadenzo.bulk.decode(folder))
    assert capfd.readouterr().err == ""

    missing, cut, bad_frame = results[3].error, results[5].error, results[8].error
    assert isinstance(missing, ReplayFileError) and isinstance(missing, OSError)
    assert (missing.errno, missing.filename) == (2, folder[3])
    assert str(missing) == f"[Errno 2] No such file or directory: {folder[3]!r}"
    assert isinstance(cut, ReplayDecodeError) and isinstance(cut, ValueError)
    assert "file ends inside the frame block" in cut.message
    assert str(bad_frame) == f"{folder[8]}: frame 1 (byte 8 of the frame text): y is not a number"


def test_errors_raise_gives_the_first_failure_in_input_order(folder):
    decoding = kadenzo.bulk.decode(folder, errors="raise")
    taken = []
    with pytest.raises(ReplayFileError) as info:
        for result in decoding:
            taken.append(result.index)
    assert taken == [0, 1, 2] and info.value.filename == folder[3]


@pytest.mark.parametrize(
    "arguments, error",
    [
        (dict(errors="ignore"), ValueError),
        (dict(frames="arrays"), ValueError),
        (dict(threads=0), ValueError),
        (dict(threads=True), TypeError),
        (dict(threads=1.5), TypeError),
        (dict(header_only="no"), TypeError),
        (dict(errors=None), TypeError),
        (dict(glob="a/b"), ValueError),  # said of the argument, not of a command's flag
        (dict(paths=[3]), TypeError),
    ],
)
def test_arguments_are_checked(arguments, error):
    paths = arguments.pop("paths", [])
    with pytest.raises(error):
        list(kadenzo.bulk.decode(paths, **arguments))


def test_threads_past_any_pool_mean_the_pool_and_a_nul_is_named(folder):
    assert len(list(kadenzo.bulk.decode(folder[:2], threads=10**30))) == 2
    [result] = kadenzo.bulk.decode(["a\0b.kvr"])
    assert str(result.error) == "[Errno 22] the file name contains a NUL byte: 'a\\x00b.kvr'"


def _broken_after(paths, count, error):
    yield from paths[:count]
    raise error


@pytest.mark.parametrize(
    "make_input, error, yielded",
    [
        (lambda paths: paths[:99] + [None], TypeError, 99),  # an item that is not a path
        (lambda paths: _broken_after(paths, 50, OSError("broke")), OSError, 50),  # the iterator itself raises
        (lambda paths: _broken_after(paths, 50, KeyboardInterrupt()), KeyboardInterrupt, None),  # at once
    ],
)
def test_every_result_before_a_bad_input_comes_first(folder, make_input, error, yielded):
    paths = [folder[0]] * 100
    taken = []
    with pytest.raises(error):
        for result in kadenzo.bulk.decode(make_input(paths), threads=2):
            taken.append(result.index)
    assert taken == list(range(yielded)) if yielded else len(taken) < 50


def test_a_forked_child_cannot_take_its_parents_results(folder):
    decoding = kadenzo.bulk.decode(folder * 3, threads=2)
    next(decoding)
    time.sleep(0.2)  # results finish before the fork
    reader, writer = os.pipe()
    child = os.fork()
    if child == 0:  # pragma: no cover - the child reports through the pipe
        try:
            next(decoding)
            message = b"no error"
        except RuntimeError as error:
            message = str(error).encode()
        decoding.close()
        os.write(writer, message)
        os._exit(0)
    os.close(writer)
    with os.fdopen(reader, "rb") as pipe:
        message = pipe.read().decode()
    os.waitpid(child, 0)
    assert message.startswith("this kadenzo.bulk.decode iterator belongs to the process that made it")
    assert len(list(decoding)) == len(folder) * 3 - 1  # the parent's own results are all there


DAEMON_AT_EXIT = textwrap.dedent("""
    import sys, threading, time
    import kadenzo.bulk, kadenzo.columns, kadenzo.compare
    kind, path = sys.argv[1], sys.argv[2]
    data = open(path, "rb").read()
    cursor = kadenzo.columns.frames(path)
    calls = {"path": lambda: kadenzo.bulk.decode_one(path), "bytes": lambda: kadenzo.bulk.decode_one(data),
             "columns": lambda: kadenzo.columns.frames(path), "bulk": lambda: list(kadenzo.bulk.decode([path] * 20)),
             "presses": lambda: kadenzo.columns.key_presses(cursor),
             "matrix": lambda: kadenzo.compare.matrix([cursor] * 40)}
    def work():
        while True:
            calls[kind]()
    for _ in range(4):
        threading.Thread(target=work, daemon=True).start()
    time.sleep(0.1)
""")


@pytest.mark.parametrize("kind", ["path", "bytes", "columns", "bulk", "presses", "matrix"])
def test_interpreter_exit_while_daemon_threads_decode(folder, kind):
    # Before the fix every run ended in SIGABRT ("exception not rethrown") or SIGSEGV.
    for _ in range(5):
        result = subprocess.run(
            [sys.executable, "-c", DAEMON_AT_EXIT, kind, folder[0]], capture_output=True, text=True, timeout=60
        )
        assert (result.returncode, result.stderr) == (0, "")


def test_any_kind_of_path(tmp_path):
    data = realistic_replay(1, 100).to_bytes()
    odd = os.fsencode(tmp_path) + b"/\xff\xfe name.kvr"  # not UTF-8
    with open(odd, "wb") as handle:
        handle.write(data)
    expected = kadenzo.parse_replay_from_bytes(data)

    class BytesPathLike:
        def __fspath__(self):
            return odd

    # Bytes are a file's contents, as in every entry point; a name that is not UTF-8 is a str with its escapes.
    sources = [data, os.fsdecode(odd), pathlib.Path(os.fsdecode(odd)), BytesPathLike()]
    results = list(kadenzo.bulk.decode(sources))
    assert all(repr(r.replay) == repr(expected) for r in results), [r.error for r in results]
    assert [r.path for r in results] == [None, *sources[1:]]
    for source in sources[1:]:
        assert repr(kadenzo.bulk.decode_one(source)) == repr(expected)
    with pytest.raises(ReplayFileError) as info:
        kadenzo.bulk.decode_one(pathlib.Path(tmp_path / "missing.kvr"))
    assert info.value.path == str(tmp_path / "missing.kvr")


def test_decode_one_takes_contents_as_any_bytes_like(tmp_path):
    data = realistic_replay(3, 200).to_bytes()
    expected = kadenzo.parse_replay_from_bytes(data)
    path = tmp_path / "r.kvr"
    path.write_bytes(data)
    with open(path, "rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for source in (data, bytearray(data), memoryview(data), mapped):
            assert repr(kadenzo.bulk.decode_one(source)) == repr(expected)
        assert kadenzo.bulk.decode_one(mapped, header_only=True).replay_data.mania_replay_data is None
    with pytest.raises(ReplayDecodeError) as info:
        kadenzo.bulk.decode_one(bytearray(data[:30]))
    assert info.value.path is None and str(info.value).startswith("<bytes>: file ends inside ")


ERRORS = [
    ReplayFileError(2, "No such file or directory", "a.kvr", "cannot read the file", "Os { code: 2 }"),
    ReplayDecodeError("username is not valid UTF-8 at offset 40", b"\xff.kvr", "FromUtf8Error"),
    ReplayError("plain", None, ""),
]


@pytest.mark.parametrize("error", ERRORS, ids=lambda e: type(e).__name__)
def test_errors_pickle_unchanged(error):
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error) and str(copy) == str(error)
    assert (copy.path, copy.message, copy.detail) == (error.path, error.message, error.detail)
    if isinstance(error, OSError):
        assert (copy.errno, copy.strerror, copy.filename) == (error.errno, error.strerror, error.filename)


def _decode_in_worker(path):
    return kadenzo.bulk.decode_one(path).username


@pytest.mark.parametrize("pool_kind", ["executor", "multiprocessing"])
def test_errors_cross_process_pools(folder, pool_kind):
    paths = [folder[0], folder[3], folder[8]]
    context = multiprocessing.get_context("spawn")
    if pool_kind == "executor":
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
            futures = [pool.submit(_decode_in_worker, path) for path in paths]
            outcomes = [future.exception() or future.result() for future in futures]
    else:
        with context.Pool(2) as pool:
            pending = [pool.apply_async(_decode_in_worker, (path,)) for path in paths]
            outcomes = []
            for item in pending:
                try:
                    outcomes.append(item.get(timeout=60))
                except ReplayError as error:
                    outcomes.append(error)
    assert isinstance(outcomes[0], str)
    assert type(outcomes[1]) is ReplayFileError and outcomes[1].errno == 2
    assert type(outcomes[2]) is ReplayDecodeError and "y is not a number" in outcomes[2].message


def test_paths_are_pulled_only_as_the_window_needs(folder):
    pulled = []

    def generator():
        for index in range(10_000):
            pulled.append(index)
            yield folder[0]

    decoding = kadenzo.bulk.decode(generator(), threads=1)
    with pytest.raises(TypeError):
        len(decoding)
    assert len(kadenzo.bulk.decode(folder)) == len(folder)
    for _ in range(5):
        next(decoding)
    assert decoding.window == 4  # 2 * threads + 2
    assert len(pulled) <= 5 + decoding.window
    decoding.close()
    with pytest.raises(StopIteration):
        next(decoding)


def test_other_threads_run_while_decoding(tmp_path):
    path = tmp_path / "long.kvr"
    text = b"".join(b"%d|%d.5|%d.25|1," % (i % 20, i % 500, i % 380) for i in range(600_000))
    path.write_bytes(ReplayFile(text=text).to_bytes())
    done = threading.Event()
    longest_gap = 0.0

    def tick():
        nonlocal longest_gap
        last = time.perf_counter()
        while not done.is_set():
            now = time.perf_counter()
            longest_gap = max(longest_gap, now - last)
            last = now

    def call_times(call):
        nonlocal longest_gap
        thread = threading.Thread(target=tick)
        thread.start()
        time.sleep(0.01)
        longest_gap, started = 0.0, time.perf_counter()
        try:
            call()
        finally:
            spent = time.perf_counter() - started
            done.set()
            thread.join()
            done.clear()
        return spent, longest_gap

    # Had the call held the lock, the other thread would have stood still for all of it.
    spent, gap = call_times(lambda: kadenzo.bulk.decode_one(path))
    assert gap < spent / 2, (gap, spent)
    spent, gap = call_times(lambda: list(kadenzo.bulk.decode([path], threads=1)))
    assert gap < spent / 2, (gap, spent)
    block = base64.b64encode(ReplayFile(text=text).block_bytes()).decode()
    spent, gap = call_times(lambda: kadenzo.frames.decode_block(block, 0, frames="columns"))
    assert gap < spent / 2, (gap, spent)


def test_ctrl_c_interrupts_promptly_and_leaves_the_pool_usable(tmp_path):
    path = tmp_path / "long.kvr"
    path.write_bytes(realistic_replay(0, 100_000).to_bytes())
    script = textwrap.dedent(f"""
        import os, signal, threading, time
        import kadenzo.bulk
        path = {str(path)!r}
        sent = []
        def interrupt():
            time.sleep(0.5)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt).start()
        try:
            for result in kadenzo.bulk.decode([path] * 5000):
                assert result.ok
        except KeyboardInterrupt:
            print("latency", time.monotonic() - sent[0])
        print("after", sum(r.ok for r in kadenzo.bulk.decode([path] * 4)))
    """)
    output = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    lines = dict(line.split() for line in output.stdout.splitlines())
    assert float(lines["latency"]) < 2.0, output
    assert lines["after"] == "4"


def test_special_files_are_refused_and_header_only_reads_the_header(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    good = tmp_path / "good.kvr"
    good.write_bytes(realistic_replay(1, 200, seed=3).to_bytes())
    for header_only in (False, True):
        results = list(kadenzo.bulk.decode([fifo, "/dev/zero", good], header_only=header_only))
        for result in results[:2]:
            assert isinstance(result.error, ReplayFileError) and result.error.errno == 22
            assert result.error.detail.endswith('Error { kind: InvalidInput, message: "not a regular file" }')
        assert results[2].ok
    assert kadenzo.bulk.decode_one(good, header_only=True).replay_data.taiko_replay_data is None


def test_header_only_failures_say_the_same_as_full_ones(tmp_path):
    data = realistic_replay(0, 600, seed=9).to_bytes()
    length_at = data.index(b"\x5d\x00\x00") - 4  # the block length stands before the LZMA header
    huge_block = data[:length_at] + (10_000_000).to_bytes(4, "little") + data[length_at + 4 :] + bytes(100_000)
    cases = {"cut.kvr": data[:300], "huge_block.kvr": huge_block}
    for name, content in cases.items():
        (tmp_path / name).write_bytes(content)
    paths = [tmp_path / name for name in cases]
    full = [(r.error.message, r.error.detail) for r in kadenzo.bulk.decode(paths)]
    header = [(r.error.message, r.error.detail) for r in kadenzo.bulk.decode(paths, header_only=True)]
    assert [message for message, _ in header] == [message for message, _ in full]
    assert "frame block" in header[1][0] and "more bytes" in header[1][0]


@pytest.mark.parametrize("frames", ["objects", "columns"])
@pytest.mark.parametrize("header_only", [False, True], ids=["full", "header_only"])
def test_results_pickle(tmp_path, frames, header_only):
    # Process pools and clusters send results as plain data: every field
    # comes back, the replay field for field (its repr lists them all).
    from helpers import SAMPLES

    paths = [str(path) for path in SAMPLES] + [str(tmp_path / "absent.kvr")]
    for result in kadenzo.bulk.decode(paths, frames=frames, header_only=header_only):
        copy = pickle.loads(pickle.dumps(result))
        assert (copy.index, copy.path, repr(copy.replay)) == (result.index, result.path, repr(result.replay))
        assert (type(copy.error), str(copy.error)) == (type(result.error), str(result.error))
        if result.columns is not None:
            assert pickle.dumps(copy.columns) == pickle.dumps(result.columns)


@pytest.mark.parametrize("frames", ["objects", "columns"])
@pytest.mark.parametrize("header_only", [False, True], ids=["full", "header_only"])
def test_results_pickle_mods_of_every_width(tmp_path, frames, header_only):
    # A header's mods may set bit 31, which int(Mod) refuses: pickling keeps all 32 bits as they were.
    from kadenzo import _native

    edges = [0, 2**30, 2**31, 2**32 - 1]
    paths = []
    for mods in edges:
        paths.append(tmp_path / f"{mods}.kvr")
        paths[-1].write_bytes(dataclasses.replace(realistic_replay(0, 40, seed=mods % 7), mods=mods).to_bytes())
    results = list(kadenzo.bulk.decode(paths, frames=frames, header_only=header_only, errors="raise"))
    for mods, result in zip(edges, results):
        copy = pickle.loads(pickle.dumps(result))
        assert _native.mod_bits(copy.replay.mods) == _native.mod_bits(result.replay.mods) == mods
        assert copy.replay.score == result.replay.score and copy.replay.replay_id == result.replay.replay_id
        assert pickle.dumps(copy.columns) == pickle.dumps(result.columns)

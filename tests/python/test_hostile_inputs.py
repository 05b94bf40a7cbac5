"""What surrounds the bytes: special files, huge files, long messages, forked
processes, pickled failures and hostile pool sizes. Anything that could hang
runs in a child interpreter under a timeout."""

import concurrent.futures
import json
import os
import pickle
import subprocess
import sys
import textwrap

import kadenzo
import pytest
from replay_builder import MODE_STD, ReplayFile, raw_string, realistic_replay

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
NOT_REGULAR = UNWRAP + 'Error { kind: InvalidInput, message: "not a regular file" }'


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(kadenzo.__file__))
    return env


def run_child(code: str, *args: str, timeout: float = 60, env=None) -> dict:
    """Runs `code` in a fresh interpreter; it prints one JSON object."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        env=env or child_env(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def replay_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("hostile") / "good.kvr"
    path.write_bytes(realistic_replay(MODE_STD, 50, seed=3).to_bytes())
    return str(path)


SPECIAL_FILE_CHILD = """
import json, sys, kadenzo
calls = {
    "single": lambda: kadenzo.parse_replay_from_path(sys.argv[1]),
    "header_only": lambda: kadenzo.parse_replay_from_path(sys.argv[1], header_only=True),
    "batch": lambda: kadenzo.parse_replays_from_paths([sys.argv[2], sys.argv[1]], header_only=True),
}
messages = {}
for name, call in calls.items():
    try:
        call()
        messages[name] = "returned"
    except BaseException as error:
        messages[name] = str(error)
print(json.dumps(messages))
"""


@pytest.mark.parametrize("kind", ["fifo", "/dev/zero", "/dev/urandom"])
def test_special_files_are_refused_at_once(tmp_path, replay_file, kind):
    if kind == "fifo":
        path = str(tmp_path / "pipe")
        os.mkfifo(path)  # no writer: reading it would wait forever
    else:
        path = kind
    messages = run_child(SPECIAL_FILE_CHILD, path, replay_file, timeout=30)
    assert messages == dict.fromkeys(["single", "header_only", "batch"], NOT_REGULAR)


def test_header_only_of_a_huge_sparse_file_reads_only_its_start(tmp_path):
    path = tmp_path / "sparse.kvr"
    data = realistic_replay(MODE_STD, 300, seed=5).to_bytes()
    path.write_bytes(data)
    os.truncate(path, 4 << 30)  # 4 GiB, nearly all of it a hole
    expected = repr(kadenzo.parse_replay_from_bytes(data, header_only=True))
    result = run_child(
        """
        import json, sys, kadenzo
        replay = kadenzo.parse_replay_from_path(sys.argv[1], header_only=True)
        # This process's own high-water mark (getrusage would include the
        # parent's, which the child inherited at fork).
        with open("/proc/self/status") as status:
            peak_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
        print(json.dumps({"repr": repr(replay), "peak_kib": peak_kib}))
    """,
        str(path),
        timeout=60,
    )
    assert result["repr"] == expected
    # Reading the file whole took over 4 GiB; an interpreter under the
    # address sanitizer starts several times larger than a plain one.
    bound_mib = 1024 if "asan" in os.environ.get("LD_PRELOAD", "") else 200
    assert result["peak_kib"] < bound_mib * 1024


def test_a_long_invalid_string_gives_a_short_message(tmp_path, panic):
    payload = b"\xff" * (1 << 20)
    path = tmp_path / "string.kvr"
    path.write_bytes(ReplayFile(username=raw_string(payload)).to_bytes())
    message = panic(kadenzo.parse_replay_from_path, str(path))
    head = ", ".join(["255"] * 64)
    assert message == (
        UNWRAP + f"FromUtf8Error {{ bytes: [{head}, ... (1048576 bytes)], "
        "error: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"
    )
    # Up to 4 KiB the list is written whole, as before.
    short = ReplayFile(username=raw_string(b"\xff" * 4096)).to_bytes()
    assert panic(kadenzo.parse_replay_from_bytes, short).count("255") == 4096


def raise_panic(data: bytes):
    return kadenzo.parse_replay_from_bytes(data)


def test_panic_exception_pickles_as_itself():
    with pytest.raises(BaseException) as info:
        kadenzo.parse_replay_from_bytes(b"\x00")
    error = info.value
    back = pickle.loads(pickle.dumps(error))
    assert type(back) is type(error) and back.args == error.args
    assert type(back).__qualname__ == "PanicException" and not isinstance(back, Exception)
    # Another process rebuilds the same class with the same message.
    with concurrent.futures.ProcessPoolExecutor(1) as executor:
        with pytest.raises(BaseException) as remote:
            executor.submit(raise_panic, b"\x00\x01").result(timeout=60)
    assert type(remote.value) is type(error)
    assert str(remote.value) == UNWRAP + "Error(Error { input: [1], code: Eof })"


def test_a_forked_child_gets_a_pool_of_its_own(replay_file):
    result = run_child(
        """
        import json, multiprocessing, sys, kadenzo
        paths = [sys.argv[1]] * 4

        def task(count):
            return [r.score for r in kadenzo.parse_replays_from_paths(paths[:count])]

        expected = task(4)  # the parent's pool exists before the fork
        with multiprocessing.get_context("fork").Pool(2) as pool:
            results = pool.map(task, [0, 2, 4, 3])
        print(json.dumps({"ok": results == [[], expected[:2], expected, expected[:3]]}))
    """,
        replay_file,
        timeout=60,
    )
    assert result == {"ok": True}


POOL_SIZE_CHILD = """
import json, os, sys, kadenzo
before = len(os.listdir("/proc/self/task"))
kadenzo.parse_replays_from_paths(sys.argv[1:])
limit = min(4 * len(os.sched_getaffinity(0)), 256)
print(json.dumps({"created": len(os.listdir("/proc/self/task")) - before, "limit": limit}))
"""


@pytest.mark.parametrize("num_threads", ["1", "1000000000000", "18446744073709551615"])
def test_pool_size_is_clamped(replay_file, num_threads):
    env = {key: value for key, value in child_env().items() if not key.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = num_threads
    result = run_child(POOL_SIZE_CHILD, replay_file, replay_file, env=env, timeout=60)
    assert result["created"] == (1 if num_threads == "1" else result["limit"])

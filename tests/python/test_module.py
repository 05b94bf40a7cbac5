"""Module object, registered names, class objects and one-time initialisation."""

import subprocess
import sys
import textwrap
import weakref

import kadenzo
import pytest
from helpers import tp_name

CLASS_NAMES = [
    "Replay",
    "ReplayEventKivo",
    "ReplayEventTaiko",
    "ReplayEventCatch",
    "ReplayEventMania",
    "LifeBarState",
    "Mod",
    "GameMode",
    "Key",
    "KeyTaiko",
    "KeyMania",
]
FUNCTION_NAMES = [
    "parse_replay_from_bytes",
    "parse_replay_from_path",
    "parse_replays_from_paths",
    "parse_replay_data",
]
K = kadenzo

# One instance of each class that Python code can create directly.
INSTANCES = [
    K.ReplayEventKivo(0, 0.0, 0.0, K.Key(0)),
    K.ReplayEventTaiko(0, 0, K.KeyTaiko(0)),
    K.ReplayEventCatch(0, 0.0, False),
    K.ReplayEventMania(0, K.KeyMania(0)),
    K.LifeBarState(0, 0.0),
    K.Mod.Hidden,
    K.GameMode.STD,
    K.Key.M1,
    K.KeyTaiko.LEFT_DON,
    K.KeyMania.K1,
]


def container():
    return kadenzo.parse_replay_data(b"1|2", kadenzo.GameMode.MANIA)


def test_module_names_and_doc():
    assert kadenzo.__all__ == CLASS_NAMES + FUNCTION_NAMES
    assert kadenzo.__doc__ == ""
    assert not hasattr(kadenzo, "ReplayDataContainer")
    assert not hasattr(kadenzo, "PanicException")


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_identity(name):
    cls = getattr(kadenzo, name)
    assert isinstance(cls, type)
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__) == ("builtins", name, name, None)
    with pytest.raises(TypeError) as info:
        type("Sub", (cls,), {})
    assert str(info.value) == f"type 'builtins.{name}' is not an acceptable base type"


def test_container_class_is_reachable_only_through_objects():
    cls = type(container())
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__) == (
        "builtins",
        "ReplayDataContainer",
        "ReplayDataContainer",
        None,
    )
    # Created once: every container shares the one class object.
    assert type(container()) is cls
    with pytest.raises(TypeError) as info:
        type("Sub", (cls,), {})
    assert str(info.value) == "type 'builtins.ReplayDataContainer' is not an acceptable base type"


@pytest.mark.parametrize(
    "obj", INSTANCES + [kadenzo.parse_replay_from_bytes(bytes(48), True)], ids=lambda o: type(o).__name__
)
def test_instances_have_no_dict_and_no_weakrefs(obj):
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.no_such_attribute = 1
    with pytest.raises(TypeError) as info:
        weakref.ref(obj)
    assert str(info.value) == f"cannot create weak reference to '{tp_name(obj)}' object"


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_function_objects(name):
    func = getattr(kadenzo, name)
    assert type(func).__name__ == "builtin_function_or_method"
    assert (func.__name__, func.__module__, func.__doc__) == (name, "kadenzo", None)
    assert func.__self__ is kadenzo


@pytest.mark.parametrize(
    "cls, members",
    [
        (kadenzo.GameMode, ["STD", "TAIKO", "CTB", "MANIA", "UNKNOWN"]),
        (kadenzo.Key, ["M1", "M2", "K1", "K2", "SMOKE"]),
        (kadenzo.KeyTaiko, ["LEFT_DON", "LEFT_KAT", "RIGHT_DON", "RIGHT_KAT"]),
        (kadenzo.KeyMania, [f"K{n}" for n in range(1, 19)]),
        (
            kadenzo.Mod,
            [
                "NoMod",
                "NoFail",
                "Easy",
                "TouchDevice",
                "Hidden",
                "HardRock",
                "SuddenDeath",
                "DoubleTime",
                "Relax",
                "HalfTime",
                "Nightcore",
                "Flashlight",
                "Autoplay",
                "SpunOut",
                "Autopilot",
                "Perfect",
                "Key4",
                "Key5",
                "Key6",
                "Key7",
                "Key8",
                "FadeIn",
                "Random",
                "Cinema",
                "Target",
                "Key9",
                "KeyCoop",
                "Key1",
                "Key3",
                "Key2",
                "ScoreV2",
                "Mirror",
            ],
        ),
    ],
    ids=lambda c: getattr(c, "__name__", ""),
)
def test_members_close_the_class_dict_in_declaration_order(cls, members):
    keys = list(vars(cls))
    # The interpreter's own entries come first; the members are set after the class exists.
    assert keys[-len(members) :] == members
    assert "value" in keys[: -len(members)]
    for name in members:
        assert type(vars(cls)[name]) is cls
        assert getattr(cls, name) is getattr(cls, name)


def test_second_initialisation_is_refused():
    script = textwrap.dedent("""
        import sys
        import kadenzo
        first = kadenzo
        del sys.modules["kadenzo"]
        for attempt in range(2):
            try:
                import kadenzo
            except ImportError as exc:
                print(type(exc).__name__, str(exc))
        print(repr(first.Mod.Hidden | first.Mod.HardRock), repr(first.GameMode(3)))
        print(first.parse_replay_from_bytes(bytes(48), True).count_300)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    message = "ImportError Tarvel modules may only be initialized once per interpreter process"
    assert result.stdout.splitlines() == [message, message, "<Mod.HardRock|Hidden: 24> GameMode.MANIA", "0"]
    assert result.returncode == 0, result.stderr


def test_native_part_is_a_module_the_import_system_loads():
    # Found by name like any submodule (no hand-made registration), reloadable,
    # and its classes stay the package's one set, pickled by their names.
    script = textwrap.dedent("""
        import importlib, importlib.util, pickle, sys
        import kadenzo
        print("kadenzo._native" in sys.modules, importlib.util.find_spec("kadenzo._native") is not None)
        import kadenzo._native as native, kadenzo.columns
        columns = kadenzo.columns.frames(kadenzo.parse_replay_from_path(sys.argv[1]))
        again = importlib.reload(native)
        print(again.FrameColumns is kadenzo.columns.FrameColumns, len(pickle.loads(pickle.dumps(columns))))
    """)
    from helpers import SAMPLES

    result = subprocess.run([sys.executable, "-c", script, str(SAMPLES[0])], capture_output=True, text=True, timeout=60)
    import kadenzo.columns

    frames = len(kadenzo.columns.frames(str(SAMPLES[0])))
    assert result.stdout.split() == ["False", "True", "True", str(frames)], result.stderr


def test_panic_exception_class():
    caught = []
    for call in (lambda: kadenzo.Mod(-1), lambda: kadenzo.parse_replay_from_bytes(b"")):
        try:
            call()
        except BaseException as exc:  # the class is not reachable any other way
            caught.append(exc)
    first, second = caught
    cls = type(first)
    assert type(second) is cls and cls.__name__ == "PanicException"
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert cls.__module__ != "kadenzo" and cls.__doc__
    assert first.args == ("called `Result::unwrap()` on an `Err` value: TryFromIntError(())",)
    assert second.args == ("called `Result::unwrap()` on an `Err` value: Error(Error { input: [], code: Eof })",)

"""The field names of every record class agree wherever they are written down.

The source is the record's field table in src/ (RecordInfo<...>::fields): the
classes take their attributes, constructor and text form from it. The type
stub and the test lists in tests/python/helpers.py are written by hand; this
test says which of them to change when a field is added or renamed."""

import ast
import re

import kadenzo
import pytest
from helpers import FRAME_FIELDS, REPLAY_FIELDS, ROOT, SAMPLES, SLOTS
from kadenzo import _header_rows, dataset
from kadenzo._native import layout_fields, replay_fields
from replay_builder import minimal_file

STUB = ROOT / "python" / "kadenzo" / "__init__.pyi"
TEST_LISTS = {
    "Replay": REPLAY_FIELDS,
    "ReplayDataContainer": SLOTS,
    **{cls.__name__: fields for cls, fields in FRAME_FIELDS.items()},
}


def stub_classes():
    """{class name: (field names in order, __new__ parameter names or None)} from the stub."""
    classes = {}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if not isinstance(node, ast.ClassDef):
            continue
        fields, parameters = [], None
        for item in node.body:
            if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                fields.append(item.target.id)
            elif isinstance(item, ast.FunctionDef):
                if any(isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list):
                    fields.append(item.name)
                elif item.name == "__new__":
                    parameters = [arg.arg for arg in item.args.args[1:]]
        classes[node.name] = ([name for name in fields if not name.startswith("_")], parameters)
    return classes


def debug_text_fields(text):
    """{record name: field names} of every record written in a debug text
    ("Name { a: 1, b: [Inner { c: 2 }] }"), strings and brackets skipped."""
    text = re.sub(r'"(?:[^"\\]|\\.)*"', '""', text)
    found, stack = {}, []
    for match in re.finditer(r"(\w+) \{ |[\[(]|[\])]| \}|(?<=[{,] )(\w+): ", text):
        opened, field = match.groups()
        if opened:
            stack.append((opened, []))
        elif field:
            if stack and stack[-1][0] is not None:
                stack[-1][1].append(field)
        elif match.group() in "[(":
            stack.append((None, None))
        else:
            name, fields = stack.pop()
            if name is not None:
                found.setdefault(name, fields)
    return found


def runtime_fields():
    """{class name: (attributes in table order, fields in the debug text)}."""
    replays = [kadenzo.parse_replay_from_path(str(path)) for path in SAMPLES]
    written = {}
    for replay in replays:
        written.update(debug_text_fields(repr(replay)))
    classes = {
        name: type(replays[0].replay_data) if name == "ReplayDataContainer" else getattr(kadenzo, name)
        for name in TEST_LISTS
    }
    return {
        name: (
            [key for key, value in vars(cls).items() if type(value).__name__ == "getset_descriptor"],
            written.get(name),
        )
        for name, cls in classes.items()
    }


RUNTIME = runtime_fields()
STUB_CLASSES = stub_classes()


@pytest.mark.parametrize("name", sorted(TEST_LISTS))
def test_field_names_agree(name):
    attributes, written = RUNTIME[name]
    assert written == attributes, f"{name}: the debug text and the attributes come from one table in src/"
    places = {
        "the stub's class block (python/kadenzo/__init__.pyi)": STUB_CLASSES[name][0],
        "the test list (tests/python/helpers.py)": list(TEST_LISTS[name]),
    }
    wrong = {place: names for place, names in places.items() if names != attributes}
    assert not wrong, f"{name} has the fields {attributes} (its table in src/); change {wrong}"


def first_instances():
    """One decoded instance of every frame class and of LifeBarState."""
    found = {}
    for path in SAMPLES:
        replay = kadenzo.parse_replay_from_path(str(path))
        frames = [frames[0] for slot in SLOTS if (frames := getattr(replay.replay_data, slot))]
        for obj in frames + (replay.life_bar_graph or [])[:1]:
            found.setdefault(type(obj), obj)
    return found


@pytest.mark.parametrize("cls", list(FRAME_FIELDS), ids=lambda cls: cls.__name__)
def test_constructor_takes_the_fields_in_table_order(cls):
    attributes, _ = RUNTIME[cls.__name__]
    assert STUB_CLASSES[cls.__name__][1] == attributes, "change __new__ in python/kadenzo/__init__.pyi"
    values = [getattr(first_instances()[cls], name) for name in attributes]
    for made in (cls(*values), cls(**dict(zip(attributes, values)))):
        assert [getattr(made, name) for name in attributes] == values


LAYOUT = layout_fields
WIDTH_TYPES = {1: {"bool"}, 2: {"int16"}, 4: {"int32", "int64"}, 8: {"int64", "uint64"}}


def test_python_field_lists_follow_the_file_layout():
    """The layout table (src/layout/replay_layout.hpp) is the one list of a
    file's fields; the record, the summary columns and their Arrow types follow it."""
    names = [name for name, _, _ in LAYOUT]
    assert [name for name in REPLAY_FIELDS if name != "rng_seed"] == names, (
        "the Replay record and the layout table list the fields in file order"
    )
    stored = [name for name in names if name not in ("life_bar_graph", "replay_data")]
    assert [name for name in _header_rows.COLUMNS if name in names] == stored, (
        "change COLUMNS/HEADER_FIELDS in python/kadenzo/_header_rows.py to the layout's order"
    )
    types = dataset.schema()
    for name, kind, width in LAYOUT:
        if width and name != "mode":
            assert str(types.field(name).type) in WIDTH_TYPES[width], (
                f"{name} is {kind}: change its type in python/kadenzo/_arrow_tables.py"
            )


def stub_types(class_name):
    """{attribute: the type the stub gives it} of a class of the stub."""
    node = next(n for n in ast.parse(STUB.read_text(encoding="utf-8")).body if getattr(n, "name", "") == class_name)
    types = {}
    for item in node.body:
        if isinstance(item, ast.AnnAssign):
            types[item.target.id] = ast.unparse(item.annotation)
        elif isinstance(item, ast.FunctionDef) and item.returns is not None and len(item.args.args) == 1:
            types.setdefault(item.name, ast.unparse(item.returns))
    return types


def test_the_stub_types_replay_as_the_record_does():
    """kadenzo._native.replay_fields gives each field's Python type from its
    member in src/; the stub's Replay class is written by hand."""
    stub = stub_types("Replay")
    wrong = {name: (stub.get(name), kind) for name, kind, _ in replay_fields if stub.get(name) != kind}
    assert not wrong, f"change these attributes of Replay in python/kadenzo/__init__.pyi: {wrong}"


def test_the_replay_builder_writes_the_file_layout():
    """tools/replay_builder.py writes test files field by field; its fields are the table's."""
    written = minimal_file(id_width=8).fields()
    names = [name for name, _ in written if name not in ("block_length", "trailing")]
    assert names == [name if name != "replay_data" else "block" for name, _, _ in LAYOUT], (
        "change ReplayFile.fields() in tools/replay_builder.py to the layout's order"
    )
    widths = dict(written)
    for name, kind, width in LAYOUT:
        if width:
            assert len(widths[name]) == width, f"{name} is {kind}: change its width in replay_builder.py"


def test_the_debug_text_reader():
    text = 'A { a: 1, b: Some([B { c: "x, y: }", d: (1, 2) }]), e: C { f: G(H: 1) } }'
    assert debug_text_fields(text) == {"B": ["c", "d"], "C": ["f"], "A": ["a", "b", "e"]}

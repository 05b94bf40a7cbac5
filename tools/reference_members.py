"""What the documentation's reference shows of each class, for griffe (loaded
by mkdocs.yml): the public attributes and methods and the constructor
(`__new__`, where the native classes' stubs declare their arguments), without
the operator methods (`__eq__`, `__len__`, `__arrow_c_stream__`, ...), whose
behaviour each class's docstring states in words; the members of a play mode
or flag set (`Mod.Hidden: Final[Mod]`) as one line of their class's
docstring rather than a section each; and the methods a stub declares by
their overloads alone, which griffe would otherwise drop."""

from typing import Any

import griffe

SHOWN_SPECIAL = {"__new__", "__init__"}


def _is_member_constant(obj: griffe.Object, member: griffe.Object) -> bool:
    """Whether `member` is one of the named values of the class `obj`."""
    return member.is_attribute and str(member.annotation) == f"Final[{obj.name}]"


def _list_member_constants(cls: griffe.Object) -> None:
    names = [name for name, member in cls.members.items() if not member.is_alias and _is_member_constant(cls, member)]
    if not names:
        return
    for name in names:
        del cls.members[name]
    listed = ", ".join(f"`{name}`" for name in names)
    text = f"Members, in order: {listed}."
    if cls.docstring is None:
        cls.docstring = griffe.Docstring(text, parent=cls)
    else:
        cls.docstring.value = f"{cls.docstring.value}\n\n{text}"


def _trim(obj: griffe.Object) -> None:
    if obj.is_class:
        _list_member_constants(obj)
    for name, overloads in getattr(obj, "overloads", {}).items():
        if overloads and name not in obj.members:
            # The first overload stands for the method, the others listed with it.
            shown = overloads[0]
            shown.overloads = overloads[1:]
            obj.set_member(name, shown)
    for name, member in list(obj.members.items()):
        if member.is_alias:
            continue  # shown, or not, where it is defined
        if obj.is_class and name.startswith("__") and name.endswith("__") and name not in SHOWN_SPECIAL:
            # Removed rather than marked private: the modules that re-export
            # a class (kadenzo.columns.FrameColumns) show its members too.
            del obj.members[name]
        elif member.is_class or member.is_module:
            _trim(member)


class ReferenceMembers(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, **kwargs: Any) -> None:
        _trim(pkg)

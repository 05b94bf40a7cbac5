"""kadenzo._native: the native classes and functions behind the package's
Python modules (typed in _native.pyi).

They are a second module of the package's own shared library (its
initialisation function PyInit__native), so that both modules share one set
of class objects. The import system finds one module per extension file, by
the file's name; this module is what it finds under this name, and it has the
import system's extension loader make the native part from the package's
file, then takes its names, by which they are pickled
(kadenzo._native.FrameColumns)."""

from types import ModuleType


def _native_part() -> ModuleType:
    import importlib.machinery
    import importlib.util

    import kadenzo

    loader = importlib.machinery.ExtensionFileLoader(__name__, kadenzo.__file__)
    found = importlib.util.spec_from_file_location(__name__, kadenzo.__file__, loader=loader)
    assert found is not None
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


globals().update((name, value) for name, value in vars(_native_part()).items() if not name.startswith("__"))
del ModuleType

"""fsspec's compression "tvx", inferred for names ending in .tvx: registered
when fsspec is imported, whether before tarvix or after it, without
importing fsspec where nothing else does."""

from __future__ import annotations

import importlib.abc
import importlib.machinery
import sys

TYPE_CHECKING = False  # as in tarvix._interface
if TYPE_CHECKING:
    from types import ModuleType
    from typing import Any, Optional, Sequence

    from ._interface import TarvixFile

_MODULE = "fsspec.compression"


def open_for_fsspec(infile: Any, mode: str = "rb", **kwargs: Any) -> TarvixFile:
    """fsspec's callback: the compressed file in the file object infile."""
    from ._interface import TarvixFile
    return TarvixFile(infile, mode, **kwargs)


def register(compression: ModuleType) -> None:
    """Registers "tvx" with fsspec's compression module, unless a "tvx" is
    there already (the user's own)."""
    if "tvx" not in compression.compr:
        compression.register_compression("tvx", open_for_fsspec, "tvx")


class _Loader(importlib.abc.Loader):
    """fsspec.compression's own loader, which registers "tvx" once the module
    has run."""

    def __init__(self, loader: importlib.abc.Loader) -> None:
        self._loader = loader

    def create_module(self, found: importlib.machinery.ModuleSpec) -> Optional[ModuleType]:
        return self._loader.create_module(found)

    def exec_module(self, module: ModuleType) -> None:
        self._loader.exec_module(module)
        register(module)


class _Finder(importlib.abc.MetaPathFinder):
    """Finds fsspec.compression as the path finder does, with a loader that
    registers "tvx"; it then leaves the import system."""

    def find_spec(self, fullname: str, path: Optional[Sequence[str]],
                  target: Optional[ModuleType] = None) -> Optional[importlib.machinery.ModuleSpec]:
        if fullname != _MODULE:
            return None
        sys.meta_path.remove(self)
        found = importlib.machinery.PathFinder.find_spec(fullname, path)
        if found is not None and found.loader is not None:
            found.loader = _Loader(found.loader)
        return found


def install() -> None:
    """Registers "tvx" now if fsspec has been imported, else when it is."""
    module = sys.modules.get(_MODULE)
    if module is not None:
        register(module)
    elif not any(isinstance(finder, _Finder) for finder in sys.meta_path):
        sys.meta_path.insert(0, _Finder())

"""The package's floors: no import climbs back up, and every source file is installed.

A room (a module or a folder of them) may import its own modules and rooms on lower
floors, never the ones above it, so each floor can be read without those above.
"""

import ast
from pathlib import Path

import pytest

import vantrel

SOURCE = Path(__file__).resolve().parents[1] / "src" / "vantrel"

# Lower numbers are lower floors.
FLOORS = {
    "vantrel.core": 0,
    "vantrel._version": 0,
    "vantrel._checks": 0,
    "vantrel._stops": 0,
    "vantrel._series": 1,
    "vantrel._robustness": 1,
    "vantrel.market": 1,
    "vantrel._market_events": 1,
    "vantrel._profiles": 1,
    "vantrel.demo": 1,
    "vantrel.stats": 2,
    "vantrel._batch_stats": 2,
    "vantrel.datasets": 2,
    "vantrel._report": 3,
    "vantrel._results": 4,
    "vantrel.result": 4,
    "vantrel._backtest": 5,
    "vantrel._sweep": 6,
    "vantrel.cli": 7,
    "vantrel.__main__": 7,
    "vantrel": 8,  # the facade: nothing inside imports it
}
# Rooms that must not reach each other although the floors would allow it.
FORBIDDEN = {("vantrel._sweep", "vantrel._report"), ("vantrel._backtest", "vantrel._report")}


def _room(module: str) -> str:
    parts = module.split(".")
    for n in range(len(parts), 0, -1):
        if ".".join(parts[:n]) in FLOORS:
            return ".".join(parts[:n])
    raise AssertionError(f"{module} is in no room of FLOORS: give it a floor")


def _module_name(path: Path) -> str:
    parts = list(path.relative_to(SOURCE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _imports(path: Path):
    """Every vantrel module that ``path`` imports, at module level or inside functions."""
    name = _module_name(path)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names if alias.name.split(".")[0] == "vantrel")
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                target = ".".join(base + ([node.module] if node.module else []))
            else:
                target = node.module or ""
            if target.split(".")[0] != "vantrel":
                continue
            # "from . import x" names a module of the package when x is one.
            for alias in node.names:
                candidate = f"{target}.{alias.name}"
                yield candidate if _is_module(candidate) else target


def _is_module(name: str) -> bool:
    path = SOURCE.parent.joinpath(*name.split("."))
    return path.with_suffix(".py").exists() or (path / "__init__.py").exists()


SOURCES = sorted(p for p in SOURCE.rglob("*.py") if "core" not in p.relative_to(SOURCE).parts[:1])


@pytest.mark.skipif(not SOURCE.exists(), reason="needs the source tree")
def test_no_import_climbs_back_up_a_floor():
    climbing = []
    for path in SOURCES:
        source = _module_name(path)
        room = _room(source)
        for target in _imports(path):
            target_room = _room(target)
            if target_room == room:
                continue
            if FLOORS[target_room] > FLOORS[room] or (room, target_room) in FORBIDDEN or target_room == "vantrel":
                climbing.append(f"{source} imports {target}")
    assert not climbing, "imports that climb a floor:\n" + "\n".join(climbing)


@pytest.mark.skipif(not SOURCE.exists(), reason="needs the source tree")
def test_every_source_file_is_installed():
    installed = Path(vantrel.__path__[0])
    wanted = {p.relative_to(SOURCE) for p in SOURCE.rglob("*") if p.suffix in (".py", ".pyi", ".html", ".typed")}
    missing = sorted(str(p) for p in wanted if not (installed / p).exists())
    assert not missing, f"not installed (list them in a meson.build): {missing}"

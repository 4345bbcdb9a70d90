"""The suite must exercise the built and installed vantrel on the interpreter asked for."""

import importlib
import importlib.machinery
import os
import sys
from pathlib import Path

import pytest

import vantrel

REPO = Path(__file__).resolve().parents[1]
PACKAGE_DIR = Path(vantrel.__file__).resolve().parent


def compiled_modules():
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    for path in sorted(PACKAGE_DIR.rglob("*")):
        suffix = next((s for s in suffixes if path.name.endswith(s)), None)
        if suffix is not None:
            parts = path.relative_to(PACKAGE_DIR).parent.parts
            yield ".".join(("vantrel", *parts, path.name[: -len(suffix)]))


def test_package_is_imported_from_the_installation_not_the_source_tree():
    # A source-tree import would run stale or missing extension modules.
    assert not PACKAGE_DIR.is_relative_to(REPO / "src")


def test_every_compiled_module_loads_on_this_interpreter():
    names = list(compiled_modules())
    assert names, f"no extension module for this interpreter under {PACKAGE_DIR}"
    for name in names:
        assert Path(importlib.import_module(name).__file__).resolve().is_relative_to(PACKAGE_DIR)


def test_runs_on_the_interpreter_the_runner_asked_for():
    expected = os.environ.get("VANTREL_EXPECT_PYTHON")
    if not expected:
        pytest.skip("VANTREL_EXPECT_PYTHON is not set (tools/py314 sets it)")
    assert "%d.%d" % sys.version_info[:2] == expected

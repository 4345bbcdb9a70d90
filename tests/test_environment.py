"""The suite must exercise a real build of vantrel on the interpreter asked for."""

import importlib
import importlib.machinery
import os
import pkgutil
import sys
from pathlib import Path

import pytest

import vantrel

SOURCE_TREE = Path(__file__).resolve().parents[1] / "src"


def test_compiled_modules_come_from_a_build_not_the_source_tree():
    # Importing the bare source tree would test stale in-place builds, or none at all.
    compiled = {}
    for info in pkgutil.walk_packages(vantrel.__path__, "vantrel."):
        path = Path(importlib.import_module(info.name).__file__).resolve()
        if path.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            compiled[info.name] = path
    assert compiled, "no compiled module of vantrel loads on this interpreter"
    stale = [name for name, path in compiled.items() if path.is_relative_to(SOURCE_TREE)]
    assert not stale, f"compiled modules loaded from the source tree: {stale}"


def test_runs_on_the_interpreter_the_runner_asked_for():
    expected = os.environ.get("VANTREL_EXPECT_PYTHON")
    if not expected:
        pytest.skip("VANTREL_EXPECT_PYTHON is not set (tools/py314 sets it)")
    assert "{}.{}".format(*sys.version_info[:2]) == expected

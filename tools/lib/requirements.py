"""Print the pip requirements that pyproject.toml declares, one per line.

``required``: the build backend's requirements, the runtime dependencies and the
``test`` extra -- everything the test suite cannot run without.
``extras``: the names of the other extras, which environments install one by one
on a best-effort basis.  ``extra NAME``: the requirements of one extra.
"""

import sys
import tomllib
from pathlib import Path


def main(pyproject: Path, what: str, *args: str) -> None:
    data = tomllib.loads(pyproject.read_text(encoding="utf-8"))
    project = data.get("project", {})
    extras = project.get("optional-dependencies", {})
    if what == "required":
        lines = [
            *data.get("build-system", {}).get("requires", []),
            *project.get("dependencies", []),
            *extras.get("test", []),
        ]
    elif what == "extras":
        lines = [name for name in extras if name != "test"]
    elif what == "extra" and len(args) == 1:
        lines = extras[args[0]]
    else:
        sys.exit(f"usage: {sys.argv[0]} PYPROJECT required|extras|extra NAME")
    print("\n".join(lines))


if __name__ == "__main__":
    main(Path(sys.argv[1]), *sys.argv[2:])

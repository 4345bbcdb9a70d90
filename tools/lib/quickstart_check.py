"""Run the README's quick start against an installed vantrel and check what it left.

    python -I quickstart_check.py README.md

The block is read from README.md at run time (the first ```python block under
"## Quick start in Python"), so what is checked is what a reader copies. It is written
to ``quickstart.py`` in the current directory and run there as ``__main__``, so run this
from an empty directory outside the checkout (``-I`` keeps the script's folder and
PYTHON* variables off sys.path). Exits non-zero, saying why, when the block is missing,
raises, runs a vantrel that is not installed in this interpreter's environment, or leaves
no result or report.
"""

import importlib.metadata
import math
import runpy
import sys
from pathlib import Path

HEADING = "## Quick start in Python"
FENCE = "```python"


def extract(readme: Path) -> tuple[str, int]:
    """The quick-start block and the README line it starts on."""
    text = readme.read_text(encoding="utf-8")
    if HEADING not in text:
        sys.exit(f"{readme} has no '{HEADING}' section")
    before, section = text.split(HEADING, 1)
    if FENCE not in section:
        sys.exit(f"the '{HEADING}' section of {readme} has no {FENCE} block")
    lead, rest = section.split(FENCE, 1)
    block = rest.split("```", 1)[0].lstrip("\n")
    first_line = (before + HEADING + lead + FENCE).count("\n") + 2
    return block, first_line


def main(readme: Path) -> None:
    block, first_line = extract(readme)
    where = f"{readme.name} lines {first_line}-{first_line + block.count(chr(10)) - 1}"
    script = Path("quickstart.py").resolve()
    script.write_text(block, encoding="utf-8")
    print(f"running the quick start ({where}) in {script.parent}", flush=True)
    namespace = runpy.run_path(str(script), run_name="__main__")

    import vantrel
    import vantrel.core._engine

    prefix = Path(sys.prefix).resolve()
    for module in (vantrel, vantrel.core._engine):
        path = Path(module.__file__).resolve()
        if not path.is_relative_to(prefix):
            sys.exit(f"{module.__name__} was imported from {path}, not from the environment {prefix}")
    result = namespace.get("result")
    if result is None or not hasattr(result, "equity"):
        sys.exit(f"the quick start ({where}) left no backtest result named 'result'")
    final = float(result.equity.iloc[-1])
    if not math.isfinite(final) or final <= 0:
        sys.exit(f"the quick start's final portfolio value is {final}")
    report = script.parent / "report.html"
    if not report.is_file() or report.stat().st_size == 0:
        sys.exit(f"the quick start wrote no {report.name} in {script.parent}")
    print(
        f"quick start ok: vantrel {importlib.metadata.version('vantrel')} from {prefix}; total return "
        f"{final - 1:.1%}, {len(result.trades)} trade records, {report.name} "
        f"{report.stat().st_size // 1024} KiB"
    )


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} README.md")
    main(Path(sys.argv[1]).resolve())

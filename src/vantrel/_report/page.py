"""Writing one of the report's HTML pages: the templates share ``base.html``."""

from __future__ import annotations

from pathlib import Path

from .._version import __version__

__all__ = ["write_page"]


def write_page(template: str, path: Path, **context) -> Path:
    """Render ``templates/<template>`` with ``context`` to ``path`` (folders are created)."""
    from jinja2 import Environment, PackageLoader, select_autoescape

    environment = Environment(
        loader=PackageLoader("vantrel._report", "templates"), autoescape=select_autoescape(default=True)
    )
    page = environment.get_template(template).render(version=__version__, **context)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(page, encoding="utf-8")
    return path

"""The tear sheet as a browser shows it: headless Chromium (Debian's package) loads the page,
runs its script without a console message, and sorts the trade table on a click."""

import os
import re
import shutil
import subprocess

import pytest

from test_report import SECTIONS, result, with_benchmark_and_exits, with_costs  # noqa: F401 (fixture)

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(
    CHROMIUM is None, reason=os.environ.get("VANTREL_NO_CHROMIUM", "chromium is not installed (tools/test installs it)")
)


def rendered(page, tmp_path, width=1400):
    """The DOM after the page's scripts ran in a window ``width`` pixels wide, and every console line
    Chromium logged."""
    done = subprocess.run(
        [
            CHROMIUM,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--no-first-run",
            "--enable-logging=stderr",
            "--v=0",
            f"--window-size={width},900",
            f"--user-data-dir={tmp_path / 'profile'}",
            "--dump-dom",
            page.as_uri(),
        ],
        capture_output=True,
        text=True,
        timeout=180,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout, [line for line in done.stderr.splitlines() if re.search(r"CONSOLE[(:]", line)]


@pytest.mark.parametrize("benchmark", [False, True], ids=["alone", "with benchmark and costs"])
def test_report_opens_in_chromium_without_console_messages(result, tmp_path, benchmark):  # noqa: F811
    if benchmark:
        result = with_costs(with_benchmark_and_exits(result))
    dom, console = rendered(result.report(tmp_path / "report.html"), tmp_path)
    assert console == []
    for section in SECTIONS + (("exits", "costs") if benchmark else ()):
        assert f'<section id="{section}">' in dom, section
    assert ("<th>benchmark</th>" in dom) == benchmark


def test_clicking_a_trade_column_sorts_the_rows(result, tmp_path):  # noqa: F811
    page = result.report(tmp_path / "report.html").read_text(encoding="utf-8")
    # Click "return" (ascending), then "stock" (ascending) and "stock" again (descending),
    # noting the first row's stock each time.
    probe = """<script>
    var table = document.querySelector("#trades table"), heads = table.querySelectorAll("th"), seen = [];
    function click(name) {
      Array.prototype.find.call(heads, function (th) { return th.textContent === name; }).click();
      seen.push(table.tBodies[0].rows[0].cells[0].textContent);
    }
    click("return"); click("stock"); click("stock");
    document.body.setAttribute("data-seen", seen.join("|"));
    </script></body>"""
    probed = tmp_path / "probed.html"
    probed.write_text(page.replace("</body>", probe), encoding="utf-8")
    dom, console = rendered(probed, tmp_path)
    assert console == []
    # Returns: B -9.00% before "<b>X</b>" 4.00%; as text "<" sorts before "B".
    assert re.search(r'data-seen="([^"]*)"', dom).group(1) == "B|&lt;b&gt;X&lt;/b&gt;|B"


@pytest.mark.parametrize("width", [1400, 800])
def test_the_trade_tables_last_column_can_be_seen(result, tmp_path, width):  # noqa: F811
    # Scrolled fully right, the last heading lies inside the table's box, which spans the window
    # (less a margin); the stock column stays at the box's left; the page itself never scrolls sideways.
    page = result.report(tmp_path / "report.html").read_text(encoding="utf-8")
    probe = """<script>
    var box = document.querySelector("#trades .scroll"), heads = box.querySelectorAll("th");
    box.scrollLeft = box.scrollWidth;
    var b = box.getBoundingClientRect(), last = heads[heads.length - 1].getBoundingClientRect();
    var first = heads[0].getBoundingClientRect(), width = document.documentElement.clientWidth;
    var seen = [last.right <= b.right + 1, last.left >= b.left, Math.abs(first.left - b.left) <= 1,
                b.right >= width - 20, document.documentElement.scrollWidth <= width];
    document.body.setAttribute("data-seen", seen.join("|"));
    </script></body>"""
    probed = tmp_path / "probed.html"
    probed.write_text(page.replace("</body>", probe), encoding="utf-8")
    dom, console = rendered(probed, tmp_path, width)
    assert console == []
    assert re.search(r'data-seen="([^"]*)"', dom).group(1) == "true|true|true|true|true"


def test_a_section_reached_from_the_bar_is_not_under_it(result, tmp_path):  # noqa: F811
    # Following a link of the sticky section bar scrolls the section's heading below the bar,
    # not behind it, at a width where the bar wraps onto two lines too.
    page = result.report(tmp_path / "report.html").read_text(encoding="utf-8")
    probe = """<script>
    var nav = document.querySelector("nav"), hidden = [];
    document.querySelectorAll("nav a").forEach(function (link) {
      var section = document.querySelector(link.getAttribute("href"));
      section.scrollIntoView();
      if (section.querySelector("h2").getBoundingClientRect().top < nav.getBoundingClientRect().bottom - 1) {
        hidden.push(section.id);
      }
    });
    document.body.setAttribute("data-hidden", hidden.join("|") || "none");
    </script></body>"""
    probed = tmp_path / "probed.html"
    probed.write_text(page.replace("</body>", probe), encoding="utf-8")
    for width in (1400, 700):
        dom, console = rendered(probed, tmp_path, width)
        assert console == []
        assert re.search(r'data-hidden="([^"]*)"', dom).group(1) == "none", width

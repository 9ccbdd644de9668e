"""The documentation as a reader sees it, in headless Chromium.

The checks of scripts/docs_browser.py first on small pages made to fail them
(so that a check unable to fail would show here), then on every page of the
site scripts/docs last built, at 1400 and at 400 px width.  Skipped, with the
reason, when Chromium is not installed or the site has not been built.
"""

import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SITE = os.path.join(ROOT, "out", "docs", "html")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import docs_browser  # noqa: E402

pytestmark = pytest.mark.skipif(docs_browser.find_chromium() is None,
                                reason="Chromium is not installed (apt-get install chromium)")

# The layout of the theme's pages, reduced to what the checks look at.
PAGE = """<!DOCTYPE html><html><head><meta name="viewport" content="width=device-width, initial-scale=1">
<style>body {{ margin: 0; font: 16px sans-serif; }}
.bd-article-container {{ overflow-x: auto; }}
.prev-next-area a {{ display: flex; max-width: 45%; overflow-x: hidden; }}
.prev-next-area a.left-prev {{ float: left; }} .prev-next-area a.right-next {{ float: right; }}
{style}</style></head>
<body><main><div class="bd-article-container"><article class="bd-article">{body}</article>
<footer class="prev-next-area"><a class="left-prev" href="#"><div class="prev-next-info"><p>previous</p>
<p class="prev-next-title">Short</p></div></a><a class="right-next" href="#"><div class="prev-next-info"><p>next</p>
<p class="prev-next-title">{next_title}</p></div></a></footer></div></main></body></html>
"""
FITS = {"style": "", "body": "<h1>A title</h1><p>Some text.</p>", "next_title": "Next page"}
# Each case breaks the fitting page in one way a 400 px window shows.
CASES = {
    "title wider than the window": dict(FITS, body="<h1>" + "x" * 60 + "</h1>"),
    "table wider than the window, not scrollable": dict(
        FITS, body="<table><tr>" + "<td>%s</td>" % ("w" * 30) * 3 + "</tr></table>"),
    "next link cut off": dict(FITS, next_title="A.very.long.dotted.name.that.does.not.wrap"),
    "next link pushed out of the window": dict(
        FITS, style="@media (max-width: 600px) { .prev-next-area a.right-next { position: relative; left: 200px; } }"),
}


@pytest.fixture(scope="module")
def pages(tmp_path_factory):
    directory = tmp_path_factory.mktemp("pages")
    for name, parts in dict(CASES, fits=FITS).items():
        (directory / (name.replace(" ", "-") + ".html")).write_text(PAGE.format(**parts))
    return str(directory)


def test_a_page_that_fits_has_no_problem(pages):
    assert docs_browser.look_at(pages, ["fits"], widths=[400]) == {("fits", 400): []}


@pytest.mark.parametrize("case", sorted(CASES))
def test_what_is_out_of_reach_at_400_px_is_reported(pages, case):
    page = case.replace(" ", "-")
    found = docs_browser.look_at(pages, [page], widths=[1400, 400])
    assert found[page, 400], case
    # The same page in a wide window: what was too wide fits.
    assert found[page, 1400] == [], case


def built_pages():
    return docs_browser.site_pages(SITE) if os.path.isdir(SITE) else []


@pytest.mark.skipif(not built_pages(), reason="the site is not built (scripts/docs builds it into out/docs/html)")
def test_every_page_of_the_built_site_is_in_reach_at_1400_and_400_px(tmp_path):
    pages = built_pages()
    # The pages a newcomer reads first are among them (a site listing would
    # otherwise pass by listing nothing).
    assert {"index", "getting-started", "performance", "api/undarix_ufuncs"} <= set(pages)
    found = docs_browser.look_at(SITE, pages, screenshots=str(tmp_path))
    problems = ["%s.html at %d px: %s" % (page, width, problem)
                for (page, width), listed in sorted(found.items()) for problem in listed]
    assert problems == []
    assert len(os.listdir(tmp_path)) == 2 * len(pages)

"""Sphinx configuration of the undarix documentation (built by scripts/docs)."""

import os
import sys
from importlib.metadata import version as distribution_version

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "_ext"))
# Where the pages' figures find the examples they draw from.
os.environ.setdefault("UNDARIX_ROOT", os.path.dirname(HERE))

project = "undarix"
author = "the undarix developers"
copyright = "2026, " + author
release = distribution_version("undarix")
version = release

extensions = [
    "myst_parser",
    "sphinx_design",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "matplotlib.sphinxext.plot_directive",
    "undarix_api",
]
myst_enable_extensions = ["colon_fence", "dollarmath"]
myst_heading_anchors = 3
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_figures", "requirements.txt"]
napoleon_numpy_docstring = True
napoleon_google_docstring = False

# Figures are drawn from the pages' own code at build time.
plot_include_source = True
# Figures drawn from a file (docs/_figures/) name it from the docs directory,
# whichever page shows them.
plot_basedir = HERE
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.figsize": (8.0, 3.6)}

html_theme = "pydata_sphinx_theme"
html_title = "undarix " + release
html_theme_options = {
    "navbar_align": "left",
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
# Pages with no pages below them have nothing for the section navigation of
# the left sidebar to list: they go without it (their own sections are in the
# right one).
html_sidebars = {page: [] for page in ("getting-started", "performance", "platforms", "design", "changelog")}
html_static_path = ["_static"]
html_css_files = ["undarix.css"]

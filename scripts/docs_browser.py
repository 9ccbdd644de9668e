"""Looks at the built documentation in headless Chromium, as a reader would.

    python scripts/docs_browser.py SITE_DIR OUT_DIR [PAGE ...]

For every page of the site (or the pages named, as paths below SITE_DIR
without .html) at 1400 and at 400 px width: a screenshot of the whole page
into OUT_DIR/<page>-<width>.png, and a check that nothing is out of the
reader's reach: the page does not scroll sideways, no title, paragraph, term
or table is wider than its box without being scrollable, and the "next page"
link lies inside the window; on a wide window, no left sidebar is shown with
nothing in it.  Prints each problem and exits with 1 if there is any.

Chromium is driven over its DevTools protocol on a pipe (--remote-debugging-pipe:
commands on the browser's fd 3, answers and events on its fd 4, each a JSON
text ended by a NUL byte), so nothing beyond the standard library and the
browser is needed.
"""

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile

WIDTHS = (1400, 400)
WINDOW_HEIGHT = 900
ANSWER_TIMEOUT_S = 120
# Screenshots stop here: the longest API pages would give images of tens of
# thousands of pixels, and the top of a page shows its layout.
SCREENSHOT_MAX_HEIGHT = 6000
# Index pages Sphinx generates; they hold no text of ours.
GENERATED = {"genindex", "search", "py-modindex"}

# What is out of reach on the page in the window, as a list of descriptions.
# An element whose content is wider than its box is a fault unless the box
# scrolls sideways (a table in a scroll container, a code block); one that
# reaches past the window's right edge is a fault unless an ancestor scrolls.
CHECK_JS = r"""
(() => {
  const width = window.innerWidth;
  const problems = [];
  const scrolls = (element) => ['auto', 'scroll'].includes(getComputedStyle(element).overflowX);
  // Only a scroll container inside the article counts (a table's, a code
  // block's): the theme's article container scrolls too, and a page that
  // needs it is a page read sideways.
  const article = document.querySelector('article.bd-article') || document.body;
  const inScroller = (element) => {
    for (let node = element.parentElement; node && node !== article && node !== document.body;
         node = node.parentElement) {
      if (scrolls(node) && article.contains(node)) return true;
    }
    return false;
  };
  const name = (element) => element.tagName.toLowerCase() + ' "' +
      (element.textContent || '').trim().replace(/\s+/g, ' ').slice(0, 60) + '"';
  if (document.documentElement.scrollWidth > width + 1) {
    problems.push('the page scrolls sideways: ' + document.documentElement.scrollWidth + ' px in a ' + width + ' px window');
  }
  for (const container of document.querySelectorAll('.bd-article-container, .bd-content, .bd-main')) {
    if (container.scrollWidth > container.clientWidth + 1) {
      problems.push('the article scrolls sideways: ' + container.scrollWidth + ' px in a ' +
                    container.clientWidth + ' px ' + container.className.split(' ')[0]);
      break;
    }
  }
  const main = document.querySelector('main') || document.body;
  for (const element of main.querySelectorAll(
      'h1, h2, h3, h4, p, li, dt, dd, table, .prev-next-area a, .prev-next-area .prev-next-info')) {
    if (element.getClientRects().length === 0) continue;  // not shown
    if (!scrolls(element) && !inScroller(element) && element.scrollWidth > element.clientWidth + 1
        && getComputedStyle(element).display !== 'inline') {
      problems.push(name(element) + ' is ' + (element.scrollWidth - element.clientWidth) + ' px wider than its box');
      continue;
    }
    const right = element.getBoundingClientRect().right;
    if (right > width + 1 && !inScroller(element)) {
      problems.push(name(element) + ' reaches ' + Math.round(right) + ' px in a ' + width + ' px window');
    }
  }
  const next = document.querySelector('.prev-next-area a.right-next');
  if (next) {
    const box = next.getBoundingClientRect();
    if (box.left < 0 || box.right > width + 1 || box.width === 0) {
      problems.push('the "next page" link spans ' + Math.round(box.left) + ' to ' + Math.round(box.right) +
                    ' px in a ' + width + ' px window');
    }
  }
  // A left sidebar shown with a heading and no link in it.
  const sidebar = document.querySelector('.bd-sidebar-primary');
  if (sidebar && sidebar.getClientRects().length > 0 && getComputedStyle(sidebar).visibility !== 'hidden'
      && sidebar.getBoundingClientRect().width > 0 && window.innerWidth >= 960) {
    const navigation = sidebar.querySelector('nav.bd-docs-nav');
    if (navigation && navigation.querySelectorAll('a').length === 0) {
      problems.push('the left sidebar is shown with nothing in it');
    }
  }
  return problems;
})()
"""


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable"):
        path = shutil.which(name)
        if path:
            return path
    return None


def site_pages(site):
    """Every page of the built site, as paths below it without .html, sorted."""
    pages = []
    for directory, subdirectories, files in os.walk(site):
        subdirectories[:] = sorted(d for d in subdirectories if not d.startswith("_"))
        for file in files:
            if file.endswith(".html"):
                page = os.path.relpath(os.path.join(directory, file), site)[:-len(".html")]
                if page not in GENERATED:
                    pages.append(page.replace(os.sep, "/"))
    return sorted(pages)



def browser_environment():
    """This process's environment without the sanitizer runtime a sanitized test run preloads: the
    browser is not built for it and would not start."""
    return {name: value for name, value in os.environ.items()
            if name != "LD_PRELOAD" and not name.endswith("SAN_OPTIONS")}

class Browser:
    """One headless Chromium and one tab, commanded over the DevTools pipe."""

    def __init__(self, executable):
        self.profile = tempfile.mkdtemp(prefix="undarix-docs-chromium-")
        commands_read, self.commands = os.pipe()
        self.answers, answers_write = os.pipe()

        def as_fds_3_and_4():
            # Out of the way first, so that neither end sits on 3 or 4 already
            # (dup2 onto itself would leave it closed on exec).
            high_read = fcntl.fcntl(commands_read, fcntl.F_DUPFD, 10)
            high_write = fcntl.fcntl(answers_write, fcntl.F_DUPFD, 10)
            os.dup2(high_read, 3)
            os.dup2(high_write, 4)

        self.process = subprocess.Popen(
            [executable, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--remote-debugging-pipe", "--no-first-run", "--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=as_fds_3_and_4, close_fds=False, env=browser_environment())
        os.close(commands_read)
        os.close(answers_write)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Page.enable", session=True)

    def close(self):
        try:
            self.call("Browser.close")
        except (OSError, RuntimeError):
            pass
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.commands)
        os.close(self.answers)
        shutil.rmtree(self.profile, ignore_errors=True)

    def receive(self):
        while b"\0" not in self.buffer:
            # A page that never finishes loading must fail the check, not hang it.
            ready, _, _ = select.select([self.answers], [], [], ANSWER_TIMEOUT_S)
            if not ready:
                raise RuntimeError("Chromium did not answer within %d s" % ANSWER_TIMEOUT_S)
            chunk = os.read(self.answers, 1 << 20)
            if not chunk:
                raise RuntimeError("Chromium closed its DevTools pipe")
            self.buffer += chunk
        message, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, session=False, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self.session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self.commands, data):]
        while True:
            answer = self.receive()
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})
            self.events.append(answer)

    def wait_for(self, event):
        while True:
            for index, seen in enumerate(self.events):
                if seen.get("method") == event:
                    del self.events[index]
                    return seen
            self.events.append(self.receive())

    def open(self, url, width):
        self.call("Emulation.setDeviceMetricsOverride", session=True,
                  width=width, height=WINDOW_HEIGHT, deviceScaleFactor=1, mobile=False)
        self.events.clear()
        self.call("Page.navigate", session=True, url=url)
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", session=True, expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError("script failed: %s" % result["exceptionDetails"])
        return result["result"].get("value")

    def screenshot(self, path, width):
        height = self.evaluate("document.documentElement.scrollHeight")
        height = max(WINDOW_HEIGHT, min(int(height), SCREENSHOT_MAX_HEIGHT))
        image = self.call("Page.captureScreenshot", session=True, format="png", captureBeyondViewport=True,
                          clip={"x": 0, "y": 0, "width": width, "height": height, "scale": 1})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(image))


def look_at(site, pages, widths=WIDTHS, screenshots=None, executable=None):
    """{(page, width): [problems]} for the pages of a built site; screenshots too when a directory is given."""
    browser = Browser(executable or find_chromium())
    try:
        found = {}
        for page in pages:
            for width in widths:
                browser.open("file://" + os.path.abspath(os.path.join(site, page + ".html")), width)
                found[page, width] = browser.evaluate(CHECK_JS)
                if screenshots:
                    browser.screenshot(os.path.join(screenshots, "%s-%d.png" % (page.replace("/", "-"), width)),
                                       width)
        return found
    finally:
        browser.close()


def main(arguments):
    if len(arguments) < 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    site, out = arguments[:2]
    executable = find_chromium()
    if executable is None:
        print("error: Chromium not found (apt-get install chromium)", file=sys.stderr)
        return 1
    pages = arguments[2:] or site_pages(site)
    os.makedirs(out, exist_ok=True)
    found = look_at(site, pages, screenshots=out, executable=executable)
    failed = False
    for (page, width), problems in sorted(found.items()):
        for problem in problems:
            print("%s.html at %d px: %s" % (page, width, problem))
            failed = True
    print("%d screenshots of %d pages in %s" % (len(found), len(pages), out), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

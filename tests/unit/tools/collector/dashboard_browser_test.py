#!/usr/bin/python3
"""The collector's dashboard in headless Chromium: sign-in, groups and their counts, the chart,
the report page with a GBK log, and logs that try to run script or change the page.

Runs the real `collector serve` on free ports. Fails (never skips) when Chromium cannot start.
"""

import argparse
import os
import re
import selectors
import signal
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

TOKEN = "read-token-7f3a9c"
BOUNDARY = "----collectorbrowsertest5c1d"
SIGN_IN_TITLE = "Sign in - crash collector"
CSP = ("default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
       "base-uri 'none'; frame-ancestors 'none'")


def gbk(text):
    return text.encode("gbk")


def summary(program, code, address):
    """The crash summary the crash library writes at the end of the log, in GBK."""
    return (gbk("异常时间：") + b"2021-03-02 04:05:06\r\n\r\n" + gbk("程序名称：") + program +
            b"\r\n\r\n" + gbk("异常编号：") + code + b"\r\n" + gbk("异常地址：") + address +
            b"\r\n" + gbk("异常分类：") + b"0\r\n")


CHINESE_LINE = "玩家进入了副本：幽暗森林"
GAME_LOG = b"[12:00:01] start\r\n\r\n" + summary(b"game.exe", b"0xc0000005", b"0x401000")
CHINESE_LOG = (b"[12:00:02] " + gbk(CHINESE_LINE) + b"\r\n\r\n" +
               summary(gbk("游戏.exe"), b"0xc0000094", b"0x10"))
HOSTILE_VER = "2.0.0\"><img src=x id=verinj onerror=\"window.__pwned='ver';document.title='pwned'\">"
HOSTILE_LOG = (
    b"<script>window.__pwned='script';document.title='pwned';alert(1)</script>\r\n"
    b"\"><img src=x onerror=\"window.__pwned='img';document.title='pwned';alert(2)\">\r\n"
    b"'><svg onload=\"window.__pwned='svg'\"></svg>\r\n"
    b"<style>body{display:none}</style><a id=linkinj href=\"javascript:alert(3)\">x</a>\r\n"
    b"</pre><h1 id=preinj>out of the log</h1><pre>\r\n"
    b"controls:\x01\x07\x08\x0b\x0c\x1b[31mRED\x1b[0m\x7f\rlone-cr\r\n"
    b"last line\r\n\r\n" +
    summary(b"evil<script>window.__pwned='program'</script>.exe", b"0xc0000005", b"0x1"))


STACK_TXT = (b"VexoCrashRpt stack 1\r\n"
             b"exception 0xc0000005 0x1001a2f0\r\n"
             b"module 0x00400000 0x00021000 0x656f1a2b - crashgame.exe\r\n"
             b"module 0x10000000 0x00080000 0x656f1a2c - render.dll\r\n"
             b"#0 render.dll+0x1a2f0 context\r\n"
             b"#1 render.dll+0x3c11 fp\r\n"
             b"#2 crashgame.exe+0x155d scan\r\n")
# Without symbol files the frames are shown by module and offset.
STACK_LINES = ["#0 render.dll+0x1a2f0", "#1 render.dll+0x3c11", "#2 crashgame.exe+0x155d"]


def pak(entries):
    """A PAKF archive (version 3001) with its entries stored raw."""
    table_end = 16 + 48 * len(entries)
    table, data = b"", b""
    for name, blob in entries:
        table += name.encode().ljust(32, b"\0") + struct.pack("<II8x", table_end + len(data),
                                                              len(blob))
        data += blob
    return b"PAKF3001" + struct.pack("<II", table_end + len(data), len(entries)) + table + data


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


class Collector:
    """`collector serve` as a child process on a free port."""

    def __init__(self, binary, workdir, name, token_file):
        self.stderr = open(os.path.join(workdir, name + ".err"), "wb")
        self.proc = subprocess.Popen(
            [binary, "serve", "--db", os.path.join(workdir, name + ".db"), "--read-token-file",
             token_file], stdout=subprocess.PIPE, stderr=self.stderr)
        line = b""
        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            deadline = time.monotonic() + 20
            while not line.endswith(b"\n") and time.monotonic() < deadline:
                if sel.select(timeout=deadline - time.monotonic()):
                    byte = os.read(self.proc.stdout.fileno(), 1)
                    if not byte:
                        break
                    line += byte
        expect(line.startswith(b"listening "), "collector did not start: %r" % line)
        self.base = "http://" + line.split()[1].decode()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                return self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                return -1
        self.stderr.close()
        return self.proc.returncode


def request(url, data=None, headers=None, method=None):
    """(status, headers, body) without following redirects."""

    class NoRedirect(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *args, **kwargs):
            return None

    opener = urllib.request.build_opener(NoRedirect)
    req = urllib.request.Request(url, data=data, headers=headers or {}, method=method)
    try:
        with opener.open(req, timeout=20) as answer:
            return answer.status, answer.headers, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


def upload(base, ver, log, filename="log.txt", path="/upload"):
    body = (("--%s\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n" % BOUNDARY).encode() +
            ver.encode() + ("\r\n--%s\r\nContent-Disposition: form-data; name=\"file\"; "
                            "filename=\"%s\"\r\nContent-Type: application/octet-stream\r\n\r\n" %
                            (BOUNDARY, filename)).encode() + log +
            ("\r\n--%s--\r\n" % BOUNDARY).encode())
    status, _, answer = request(base + path, body,
                                {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY})
    expect(status == 200 and answer.startswith(b"OK "), "upload refused: %d %r" % (status, answer))
    return int(answer.split()[1])


def start_browser():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,1000"):
        options.add_argument(arg)
    binary = "/usr/lib/chromium/chromium"
    options.binary_location = binary if os.path.exists(binary) else "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(20)
    return driver


def submit(driver, button):
    """Clicks a form's button and waits (bounded) until the next page has loaded in its place.

    The old page's window is marked: a new document has a new window without the mark. Errors
    from the page going away under the driver are retried until the bound.
    """
    driver.execute_script("window.__previousPage = true")
    button.click()
    WebDriverWait(driver, 15, ignored_exceptions=(WebDriverException,)).until(
        lambda d: d.execute_script("return window.__previousPage === undefined && "
                                   "document.readyState === 'complete'"))


def group_counts(driver):
    rows = driver.find_elements(By.CSS_SELECTOR, "table.groups tbody tr")
    return {int(row.get_attribute("data-group")):
            int(row.find_element(By.CSS_SELECTOR, "td.count").text) for row in rows}


def series_versions(driver):
    return sorted(line.get_attribute("data-version") for line in
                  driver.find_elements(By.CSS_SELECTOR, "svg.chart polyline.series"))


def expect_nothing_ran(driver, where):
    expect(driver.execute_script("return window.__pwned === undefined"),
           "%s: a payload ran (window.__pwned = %r)" %
           (where, driver.execute_script("return window.__pwned")))
    expect("pwned" not in driver.title, "%s: the title was changed: %r" % (where, driver.title))
    try:
        text = driver.switch_to.alert.text
        raise Failure("%s: an alert is open: %r" % (where, text))
    except NoAlertPresentException:
        pass
    injected = driver.execute_script(
        "return document.querySelectorAll('script, img, style, iframe, object, embed, "
        "#verinj, #linkinj, #preinj, [onerror], [onload]').length")
    expect(injected == 0, "%s: %d injected elements in the page" % (where, injected))


def check_signed_out(base, ids):
    """Every page and /api/ path answers the same 401 without a session, telling nothing."""
    first = None
    for path in ["/", "/groups/%d" % ids["game"][0], "/reports/%d" % ids["chinese"][0],
                 "/reports/999999", "/nothing/here", "/login", "/?version=1.0.0"]:
        status, headers, body = request(base + path)
        expect(status == 401, "%s without a session: %d" % (path, status))
        expect("script-src" not in headers.get("Content-Security-Policy", "") and
               "default-src 'none'" in headers.get("Content-Security-Policy", ""),
               "%s: no strict Content-Security-Policy" % path)
        first = body if first is None else first
        expect(body == first, "%s: the 401 page differs from the others" % path)
        for secret in (b"game.exe", gbk("游戏"), "游戏".encode(), b"0xc0000005", b"pwned"):
            expect(secret not in body, "%s without a session shows %r" % (path, secret))
    for path in ["/api/groups", "/api/reports/%d" % ids["chinese"][0], "/api/reports/1/raw"]:
        status, _, body = request(base + path)
        expect(status == 401 and b"game.exe" not in body, "%s without a session: %d" %
               (path, status))
    status, headers, _ = request(base + "/login", b"token=wrong",
                                 {"Content-Type": "application/x-www-form-urlencoded"})
    expect(status == 401 and headers.get("Set-Cookie") is None, "a wrong token was accepted")
    status, _, _ = request(base + "/login", b"token=" + b"x" * 5000,
                           {"Content-Type": "application/x-www-form-urlencoded"})
    expect(status == 413, "an oversized sign-in form: %d" % status)


def run(binary, workdir):
    token_file = os.path.join(workdir, "token")
    with open(token_file, "w") as out:
        out.write(TOKEN + "\n")
    other_token = os.path.join(workdir, "other-token")
    with open(other_token, "w") as out:
        out.write(TOKEN + "-other\n")
    collectors = []
    driver = None
    try:
        main = Collector(binary, workdir, "main", token_file)
        collectors.append(main)
        base = main.base
        ids = {"game": [], "chinese": [], "hostile": [], "stack": []}
        for ver in ("1.0.0", "1.0.0", "1.0.0", "1.1.0"):
            ids["game"].append(upload(base, ver, GAME_LOG))
        for _ in range(2):
            # Games keep whatever URL they were given, /api/ included.
            ids["chinese"].append(upload(base, "1.1.0", CHINESE_LOG, path="/api/crash"))
        ids["stack"].append(upload(base, "1.1.0", pak([("log.txt", GAME_LOG),
                                                        ("stack.txt", STACK_TXT)]),
                                   filename="log.pak"))
        ids["hostile"].append(upload(base, HOSTILE_VER, HOSTILE_LOG, filename="<b id=fileinj>x.txt"))

        check_signed_out(base, ids)

        driver = start_browser()
        hostile = ids["hostile"][0]
        driver.get(base + "/reports/%d" % ids["chinese"][0])
        expect(driver.title == SIGN_IN_TITLE, "no sign-in page without a session: %r" % driver.title)
        expect(CHINESE_LINE not in driver.page_source, "the log shows without a session")

        # A wrong token is refused and sets no cookie.
        driver.find_element(By.ID, "token").send_keys("not-the-token")
        submit(driver, driver.find_element(By.CSS_SELECTOR, "main.login button[type=submit]"))
        expect(driver.title == SIGN_IN_TITLE and driver.get_cookies() == [],
               "a wrong token signed in: %r %r" % (driver.title, driver.get_cookies()))
        expect(driver.find_elements(By.CSS_SELECTOR, "p.error"), "no message for a wrong token")

        driver.find_element(By.ID, "token").send_keys(TOKEN)
        submit(driver, driver.find_element(By.CSS_SELECTOR, "main.login button[type=submit]"))
        expect(driver.current_url == base + "/", "after sign-in at %s" % driver.current_url)
        cookies = driver.get_cookies()
        expect(len(cookies) == 1 and cookies[0]["name"] == "collector_session" and
               cookies[0]["httpOnly"] and cookies[0].get("sameSite") == "Strict" and
               cookies[0]["path"] == "/", "session cookie: %r" % cookies)
        expect(driver.execute_script("return document.cookie") == "",
               "the session cookie is readable by script")
        session = cookies[0]["value"]

        # Groups, counts, versions and the chart.
        game, chinese, stack = ids["game"][0], ids["chinese"][0], ids["stack"][0]
        counts = group_counts(driver)
        # The stack report groups by its frames, apart from the same summary without a stack.
        expect(counts == {game: 4, chinese: 2, stack: 1, hostile: 1}, "group counts: %r" % counts)
        where = driver.find_element(By.CSS_SELECTOR, "tr[data-group='%d'] td.where" % stack).text
        expect(where.split("\n") == [line.split(" ", 1)[1] for line in STACK_LINES],
               "top frames of the stack group: %r" % where)
        versions = driver.find_element(
            By.CSS_SELECTOR, "tr[data-group='%d'] td.versions" % game).text
        expect(versions == "1.0.0, 1.1.0", "versions of the game group: %r" % versions)
        expect(driver.find_element(By.CSS_SELECTOR, "tr[data-group='%d'] td.program" %
                                   chinese).text == "游戏.exe", "the GBK program name")
        expect(series_versions(driver) == sorted(["1.0.0", "1.1.0", HOSTILE_VER]),
               "chart series: %r" % series_versions(driver))
        expect(len(driver.find_elements(By.CSS_SELECTOR, "svg.chart g.legend-item")) == 3,
               "chart legend")
        expect(driver.find_elements(By.CSS_SELECTOR, "svg.chart g.x-axis text") and
               driver.find_elements(By.CSS_SELECTOR, "svg.chart g.y-axis text"), "chart axes")
        expect_nothing_ran(driver, "groups page")

        # The filter form; the chart follows it.
        Select(driver.find_element(By.NAME, "version")).select_by_value("1.1.0")
        submit(driver, driver.find_element(By.CSS_SELECTOR, "form.filters button[type=submit]"))
        expect("version=1.1.0" in driver.current_url, "filter URL %s" % driver.current_url)
        counts = group_counts(driver)
        expect(counts == {chinese: 2, game: 1, stack: 1}, "counts for version 1.1.0: %r" % counts)
        expect(series_versions(driver) == ["1.1.0"], "chart for 1.1.0: %r" % series_versions(driver))
        driver.get(base + "/?program=" + urllib.parse.quote("游戏.exe"))
        expect(group_counts(driver) == {chinese: 2}, "program filter: %r" % group_counts(driver))

        # The group page lists its reports.
        driver.get(base + "/groups/%d" % chinese)
        listed = [int(row.get_attribute("data-report")) for row in
                  driver.find_elements(By.CSS_SELECTOR, "table.reports tbody tr")]
        expect(listed == ids["chinese"], "group page lists %r" % listed)

        # The report page shows the log converted from GBK, and links to the raw bytes.
        submit(driver, driver.find_element(By.CSS_SELECTOR, "a[href='/reports/%d']" % chinese))
        log = driver.find_element(By.CSS_SELECTOR, "pre.log").text
        expect(CHINESE_LINE in log, "the GBK log is not shown decoded: %r" % log)
        raw = driver.find_element(By.CSS_SELECTOR, "a.raw").get_attribute("href")
        expect(raw == base + "/api/reports/%d/raw" % chinese, "raw link %r" % raw)
        status, headers, body = request(raw, headers={"Cookie": "collector_session=" + session})
        expect(status == 200 and body == CHINESE_LOG and
               headers.get("Content-Disposition", "").startswith("attachment"),
               "raw download with the session: %d %r" % (status, headers.get("Content-Disposition")))

        # A group resolved on its page leaves the open list. The same form sent from another
        # site, session cookie and all, changes nothing.
        driver.get(base + "/groups/%d" % chinese)
        Select(driver.find_element(By.CSS_SELECTOR, "form.status select[name=status]")
               ).select_by_value("resolved")
        driver.find_element(By.CSS_SELECTOR, "form.status input[name=version]").send_keys("1.1.0")
        submit(driver, driver.find_element(By.CSS_SELECTOR, "form.status button[type=submit]"))
        expect(driver.current_url == base + "/groups/%d" % chinese,
               "after the status form at %s" % driver.current_url)
        shown = driver.find_element(By.CSS_SELECTOR, "dl.fields span.status").text
        expect(shown == "resolved in 1.1.0", "the group's status: %r" % shown)
        driver.get(base + "/?status=open")
        expect(sorted(group_counts(driver)) == sorted([game, stack, hostile]),
               "the open list: %r" % group_counts(driver))
        driver.get(base + "/?status=resolved")
        expect(group_counts(driver) == {chinese: 2}, "the resolved list: %r" % group_counts(driver))
        for forged in ({"Origin": "http://evil.example"}, {"Sec-Fetch-Site": "cross-site"}):
            status, _, _ = request(base + "/groups/%d/status" % game, b"status=ignored", dict(
                forged, **{"Content-Type": "application/x-www-form-urlencoded",
                           "Cookie": "collector_session=" + session}))
            expect(status == 403, "a cross-site status change: %d (%r)" % (status, forged))
        driver.get(base + "/?status=ignored")
        expect(group_counts(driver) == {}, "a forged change went through: %r" % group_counts(driver))

        # A report with stack.txt shows its frames, on the page and in the JSON.
        driver.get(base + "/reports/%d" % stack)
        frames = driver.find_element(By.CSS_SELECTOR, "pre.stack").text.split("\n")
        expect(frames == STACK_LINES, "stack block: %r" % frames)
        status, _, body = request(base + "/api/reports/%d" % stack,
                                  headers={"Cookie": "collector_session=" + session})
        expect(status == 200 and b'"stack":["#0 render.dll+0x1a2f0",' in body,
               "stack in the JSON: %d %r" % (status, body[:300]))

        # The hostile report: nothing runs, nothing is added, the page still renders.
        driver.get(base + "/reports/%d" % hostile)
        expect(driver.title == "Report #%d - crash collector" % hostile, "title %r" % driver.title)
        expect_nothing_ran(driver, "hostile report page")
        tags = set(driver.execute_script(
            "return Array.from(document.body.querySelectorAll('*'), e => e.tagName)"))
        allowed = {"HEADER", "A", "FORM", "BUTTON", "MAIN", "H1", "H2", "DL", "DT", "DD", "CODE",
                   "P", "PRE", "SPAN"}
        expect(tags <= allowed, "unexpected elements: %r" % (tags - allowed))
        spans = driver.execute_script(
            "return Array.from(document.querySelectorAll('span'), "
            "s => s.className + ':' + s.parentElement.className + ':' + s.textContent)")
        expect(all(s.startswith("ctl:log:\\x") for s in spans) and "ctl:log:\\x1b" in spans and
               "ctl:log:\\x01" in spans and "ctl:log:\\x0d" in spans, "control bytes are not shown as escapes: %r" % spans)
        blocks = driver.find_elements(By.CSS_SELECTOR, "pre.log")
        expect(len(blocks) == 1 and blocks[0].is_displayed(), "the log block is missing or hidden")
        text = blocks[0].text
        for shown in ("<script>window.__pwned='script'", "onerror=\"window.__pwned='img'",
                      "</pre><h1 id=preinj>", "lone-cr", "last line"):
            expect(shown in text, "the log lost %r: %r" % (shown, text))
        links = [a.get_attribute("href") for a in driver.find_elements(By.CSS_SELECTOR, "a")]
        # Home, the report's own group, the raw log: nothing the upload added.
        expect(len(links) == 3 and links[0] == base + "/" and
               re.fullmatch(re.escape(base) + r"/groups/\d+", links[1] or "") is not None and
               links[2] == base + "/api/reports/%d/raw" % hostile,
               "links changed: %r" % links)
        expect(driver.find_element(By.XPATH, "//dt[text()='version']/following-sibling::dd[1]")
               .text == HOSTILE_VER, "the hostile version is not shown as text")

        # Every page carries the policy that forbids script and inline style.
        status, headers, _ = request(base + "/reports/%d" % hostile,
                                     headers={"Cookie": "collector_session=" + session})
        expect(status == 200 and headers.get("Content-Security-Policy") == CSP and
               headers.get("X-Content-Type-Options") == "nosniff" and
               headers.get("Content-Type") == "text/html; charset=utf-8",
               "page headers: %d %r" % (status, dict(headers)))
        status, headers, css = request(base + "/static/dashboard.css")
        expect(status == 200 and headers.get("Content-Type") == "text/css; charset=utf-8" and
               b"pre" in css, "stylesheet: %d %r" % (status, headers.get("Content-Type")))

        # Stateless: another collector that reads the same token file takes the session;
        # one with another token does not.
        twin = Collector(binary, workdir, "twin", token_file)
        collectors.append(twin)
        stranger = Collector(binary, workdir, "stranger", other_token)
        collectors.append(stranger)
        cookie = {"Cookie": "collector_session=" + session}
        status, _, body = request(twin.base + "/", headers=cookie)
        expect(status == 200 and b"No crash reports yet" in body, "twin refused the session: %d" %
               status)
        expect(request(stranger.base + "/", headers=cookie)[0] == 401,
               "a collector with another token took the session")
        tampered = session[:-1] + ("0" if session[-1] != "0" else "1")
        expect(request(base + "/", headers={"Cookie": "collector_session=" + tampered})[0] == 401,
               "a tampered session was accepted")

        # Sign-out clears the cookie and the pages are closed again.
        driver.get(base + "/")
        submit(driver, driver.find_element(By.CSS_SELECTOR, "form.signout button"))
        expect(driver.title == SIGN_IN_TITLE and driver.get_cookies() == [],
               "after sign-out: %r %r" % (driver.title, driver.get_cookies()))
        driver.get(base + "/reports/%d" % chinese)
        expect(driver.title == SIGN_IN_TITLE, "a page opened after sign-out")
    finally:
        if driver is not None:
            driver.quit()
        statuses = [collector.stop() for collector in collectors]
    expect(statuses == [0] * len(statuses), "collector exit statuses %r" % statuses)
    for name in os.listdir(workdir):
        if name.endswith(".err"):
            with open(os.path.join(workdir, name), errors="replace") as err:
                text = err.read()
            expect("runtime error" not in text and "Sanitizer" not in text,
                   "sanitizer report in %s" % name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--collector", required=True)
    args = parser.parse_args()
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="collector-browser-") as workdir:
        try:
            run(args.collector, workdir)
        except Failure as failure:
            print("FAIL:", failure)
            for name in sorted(os.listdir(workdir)):
                if name.endswith(".err"):
                    with open(os.path.join(workdir, name), errors="replace") as err:
                        print("--- %s\n%s" % (name, err.read()))
            return 1
    print("dashboard browser test passed in %.1f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())

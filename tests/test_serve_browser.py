"""The browse page of ``quordb serve`` in a real browser: Debian's Chromium, driven by Selenium
through chromium-driver (``bash scripts/setup.sh`` installs both)."""

from __future__ import annotations

import json
import shutil

import pytest
from serve_server import running_server

from quordb import QuorWriter

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    CHROMIUM is None or CHROMEDRIVER is None,
    reason="no browser: the browse page needs Debian's chromium and chromium-driver "
    "(bash scripts/setup.sh installs them)",
)
webdriver = pytest.importorskip("selenium.webdriver")
from selenium.common.exceptions import NoAlertPresentException, StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

XSS_KEY = "<img src=x onerror=alert(1)>"
VALUES = {
    **{f"k{n:03d}": {"n": n, "square": n * n} for n in range(60)},
    XSS_KEY: {"note": "<b>not bold</b>", "html": "<script>alert(2)</script>"},
    b"z\xff": {"bytes": "key"},
    "big": {"id": 2**63 - 1},
}
PAGE_SIZE = 25


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    path = tmp_path_factory.mktemp("browse") / "db.qrdb"
    with QuorWriter(path) as writer:
        for key, value in VALUES.items():
            writer.add(value, key)
    with running_server(path, "--poll", "0") as server:
        yield server


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    # The driver is named outright, so that Selenium never tries to fetch one.
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(CHROMEDRIVER))
    yield driver
    driver.quit()


@pytest.fixture
def page(browser, server):
    browser.get(server.url + "/")
    wait(browser, lambda: texts(browser, "#keys li"))
    return browser


def wait(browser, condition, timeout=10):
    # The page replaces its lists whole: an element found a moment ago may be gone.
    waiting = WebDriverWait(browser, timeout, ignored_exceptions=[StaleElementReferenceException])
    return waiting.until(lambda _: condition())


def texts(browser, selector):
    """The text of each element that *selector* matches, read at one instant."""
    return browser.execute_script(
        "return Array.from(document.querySelectorAll(arguments[0]), e => e.textContent)", selector
    )


def click_text(browser, selector, text):
    def click():
        for element in browser.find_elements(By.CSS_SELECTOR, selector):
            if element.text == text:
                element.click()
                return True
        return False

    wait(browser, click)


@pytest.mark.parametrize(
    ("typed", "label", "key"),
    [
        ("k01", "k012", "k012"),
        ("<img", XSS_KEY, XSS_KEY),
        ("z", "z\\xff", b"z\xff"),
        ("bi", "big", "big"),
    ],
)
def test_typing_a_prefix_offers_keys_and_picking_one_shows_its_object(page, typed, label, key):
    page.find_element(By.ID, "search").send_keys(typed)
    # Every offer starts with all that was typed: the search for the whole prefix has answered.
    offered = wait(
        page, lambda: (o := texts(page, "#suggestions li")) and o[0].startswith(typed) and o
    )
    assert all(text.startswith(typed) for text in offered)
    assert label in offered
    click_text(page, "#suggestions li", label)
    shown = wait(page, lambda: page.find_element(By.ID, "object").text)
    assert json.loads(shown) == VALUES[key]
    # Pretty: one member a line.
    assert shown == json.dumps(VALUES[key], indent=2)
    assert page.find_element(By.ID, "selected-key").text == label
    # Text, never markup: nothing that a key or value spells out became an element or ran.
    assert page.find_elements(By.CSS_SELECTOR, "main img, main script, main b") == []
    with pytest.raises(NoAlertPresentException):
        page.switch_to.alert.text  # noqa: B018


def test_the_key_list_pages_forward_and_back(page):
    ordered = sorted(VALUES, key=lambda k: k if isinstance(k, bytes) else k.encode())
    first = texts(page, "#keys li")
    assert first == [str(k) for k in ordered[:PAGE_SIZE]]
    page.find_element(By.ID, "next").click()
    wait(page, lambda: texts(page, "#keys li") != first)
    assert texts(page, "#keys li") == ordered[PAGE_SIZE : 2 * PAGE_SIZE]
    page.find_element(By.ID, "previous").click()
    wait(page, lambda: texts(page, "#keys li") == first)


def test_the_page_shows_the_database_figures(page):
    wait(page, lambda: page.find_element(By.ID, "db-name").text == "db.qrdb")
    figures = dict(zip(texts(page, "#stats dt"), texts(page, "#stats dd"), strict=True))
    assert figures["keys"] == f"{len(VALUES):,}"

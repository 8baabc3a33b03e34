# SPDX-License-Identifier: GPL-2.0-or-later
"""The status page in a real browser (headless Chromium through its WebDriver): the title on
air appears, changes after a new item without a reload, markup in a title stays text, a failing
exciter is marked, the page fits a phone's width, and it says so when the bridge is gone. A
screenshot of each look is kept in the build tree.

Environment: CHROMIUM, CHROMEDRIVER (and those of bridge_http; with MARLOD, the page of the
real bridge too)."""

import os
import tempfile

import pytest
from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from bridge_http import ARTEFACTS, MARLOD, Bridge, Marlod

MARKUP_TITLE = '<script>window.pwned=1</script><img src=x onerror="window.pwned=2">'


@pytest.fixture(scope="module")
def bridge():
    b = Bridge()
    yield b
    b.stop()


@pytest.fixture(scope="module")
def browser():
    profile = tempfile.TemporaryDirectory(prefix="marlod-page-")
    options = webdriver.ChromeOptions()
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for arg in ("--headless=new", "--disable-gpu", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-first-run",
                "--disable-quic", "--disable-dev-shm-usage", f"--user-data-dir={profile.name}",
                "--window-size=1100,900"):
        options.add_argument(arg)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver"))
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(20)
    driver.set_script_timeout(10)
    yield driver
    driver.quit()
    profile.cleanup()


def text_of(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def wait_for(driver, what, seconds=10):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.1).until(lambda d: what(d))
    except TimeoutException:
        pytest.fail(f"the page did not show it within {seconds} s: {what.__doc__ or what}")


def shot(driver, name):
    os.makedirs(ARTEFACTS, exist_ok=True)
    driver.save_screenshot(os.path.join(ARTEFACTS, name))


def test_page_follows_the_air(bridge, browser):
    bridge.now_playing(title=MARKUP_TITLE, artist="Artist & Co", album="Album",
                       comment="Seller Ltd", isrc="GBAYE0601498", duration=200)
    browser.get(f"http://{bridge.address}/")
    wait_for(browser, lambda d: text_of(d, "f-title") == MARKUP_TITLE)
    # A title is text: nothing of it ran or became an element.
    assert browser.execute_script("return window.pwned") is None
    assert not browser.find_elements(By.CSS_SELECTOR, "#receiver script, #receiver img, main img")
    assert text_of(browser, "f-artist") == "Artist & Co"
    groups = text_of(browser, "groups")
    assert "Seller Ltd" in groups and "GBAYE0601498" in groups
    content_id = str(bridge.status()["on_air"]["content_id"])
    assert content_id in text_of(browser, "meta")
    assert "OK" in text_of(browser, "exciters")
    shot(browser, "status_page.png")

    # A new item shows without a reload: a mark left in the page survives.
    browser.execute_script("window.stillHere = 1")
    bridge.now_playing(title="Second song", artist="Someone", group="break")
    wait_for(browser, lambda d: text_of(d, "f-title") == "Second song")
    assert browser.execute_script("return window.stillHere") == 1
    wait_for(browser, lambda d: "FAIL" in text_of(d, "exciters"))
    assert "Connection refused" in text_of(browser, "exciters")
    events = text_of(browser, "events")
    assert "Second song" in events.splitlines()[0]  # newest first

    # The page asked for nothing its policy refuses.
    refused = [e["message"] for e in browser.get_log("browser")
               if "Content Security Policy" in e["message"] or e["level"] == "SEVERE"]
    assert refused == []


def test_page_on_a_phone(bridge, browser):
    browser.set_window_size(390, 844)
    try:
        bridge.now_playing(title="A rather long title " * 6, artist="Phone " * 10)
        browser.get(f"http://{bridge.address}/")
        wait_for(browser, lambda d: text_of(d, "f-title").startswith("A rather long title"))
        overflow = browser.execute_script(
            "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
        assert overflow <= 0
        shot(browser, "status_page_phone.png")
    finally:
        browser.set_window_size(1100, 900)


def test_page_says_when_the_bridge_is_gone(browser):
    b = Bridge()
    try:
        b.now_playing(title="Last words")
        browser.get(f"http://{b.address}/")
        wait_for(browser, lambda d: text_of(d, "f-title") == "Last words")
    finally:
        b.stop()
    wait_for(browser, lambda d: "unreachable" in text_of(d, "link"))
    assert text_of(browser, "f-title") == "Last words"  # the last known state stays readable


@pytest.mark.skipif(not MARLOD, reason="MARLOD not set")
def test_page_of_marlod(browser):
    import socket
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as closed:
        closed.bind(("127.0.0.1", 0))
        refusing = closed.getsockname()[1]
    b = Marlod(extra_exciters=[refusing])
    try:
        browser.get(f"http://{b.address}/")
        wait_for(browser, lambda d: text_of(d, "f-title") == "Test FM")  # the fallback at start
        assert "fallback" in text_of(browser, "meta")
        b.now_playing(title=MARKUP_TITLE, artist="Łódź Ensemble", duration=120)
        wait_for(browser, lambda d: text_of(d, "f-title") == MARKUP_TITLE)
        assert browser.execute_script("return window.pwned") is None
        assert text_of(browser, "f-artist") == "Lódz Ensemble"  # as a Latin-1 receiver shows it
        wait_for(browser, lambda d: "FAIL" in text_of(d, "exciters"))
        rows = text_of(browser, "exciters").splitlines()
        assert any("OK" in r for r in rows)
        shot(browser, "status_page_marlod.png")
        b.now_playing(title="Next one")
        wait_for(browser, lambda d: text_of(d, "f-title") == "Next one")
    finally:
        assert b.stop()[0] == 0

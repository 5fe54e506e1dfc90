#!/usr/bin/python3
"""Drives the settings page of a real zanti-connect in headless Chromium.

    tests/settings/browser/settings_page_test.py --program build/src/app/zanti-connect [--screenshot page.png]

Needs the Debian packages chromium, chromium-driver and python3-selenium. Every socket is on loopback.
"""
import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from zctest import APPLICATION_KEY, free_port  # noqa: E402

SETTINGS_FILE = "morvell.osx.zanticonnectgroup.json"
# Without these, headless Chromium on a machine without network keeps dialling out to its services.
CHROMIUM_FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--window-size=1000,900"]
# Counts the page's POSTs, so a refused save is seen to send nothing, not merely to change nothing.
COUNT_POSTS = """window.postCount = 0; const realFetch = window.fetch;
window.fetch = (url, init) => { if (init && init.method === 'POST') window.postCount++;
                                return realFetch(url, init); };"""




def wait_for(what, condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            result = condition()
        except WebDriverException:
            result = None
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {timeout:g} s in vain for {what}")
        time.sleep(0.05)


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


class Run:
    def __init__(self, args, work):
        self.args, self.work = args, work
        self.config = os.path.join(work, "config")
        self.runtime = os.path.join(work, "runtime")
        os.makedirs(self.runtime, mode=0o700)
        os.makedirs(os.path.join(self.config, "zanti-connect"), mode=0o700)
        self.port = free_port()
        self.web_port = free_port(avoid={self.port})
        self.settings_path = os.path.join(self.config, "zanti-connect", SETTINGS_FILE)
        with open(self.settings_path, "w") as settings:
            json.dump({"zanticonnect.serverUDPPort": self.port, "zanticonnect.serverTCPPort": self.port,
                       "zanticonnect.webServerPort": self.web_port,
                       "zanticonnect.autoStartWithSystem": "false"}, settings)
        self.program = self.browser = None
        self.passed, self.failed = 0, 0

    def start(self):
        environment = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        environment.update(XDG_CONFIG_HOME=self.config, XDG_RUNTIME_DIR=self.runtime)
        self.log = open(os.path.join(self.work, "program.log"), "w+")
        self.program = subprocess.Popen([self.args.program], env=environment, stdout=self.log,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        address_file = os.path.join(self.runtime, "zanti-connect", "settings-address")

        def address():
            expect(self.program.poll() is None, f"the program exited with {self.program.returncode}")
            if os.path.exists(address_file):
                with open(address_file) as f:
                    return f.read().strip()
        self.address = wait_for("the settings-address file", address, timeout=20)
        expect("#key=" in self.address, f"the settings address has no key: {self.address}")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + os.path.join(self.work, "chromium")]:
            options.add_argument(flag)
        self.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)

    def stop(self):
        if self.browser:
            self.browser.quit()
        if self.program and self.program.poll() is None:
            self.program.send_signal(signal.SIGTERM)
            try:
                self.program.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.program.kill()
                self.program.wait()
                self.record("the program ends on SIGTERM", AssertionError("still running 10 s after SIGTERM"))

    def record(self, name, failure=None):
        self.passed, self.failed = self.passed + (failure is None), self.failed + (failure is not None)
        print(f"PASS {name}" if failure is None else f"FAIL {name}: {failure}")

    def check(self, name, step):
        try:
            step()
            self.record(name)
        except Exception as failure:  # one broken step must not hide the results of the others
            self.record(name, failure)

    def element(self, element_id):
        return self.browser.find_element(By.ID, element_id)

    def text(self, element_id):
        return self.element(element_id).text.strip()

    def type_into(self, element_id, value):
        field = self.element(element_id)
        field.clear()
        field.send_keys(value)

    def open_page(self, address):
        # A change of the fragment alone would not reload the page.
        self.browser.get("about:blank")
        self.browser.get(address)

    def shows_values(self):
        self.open_page(self.address)
        wait_for("the settings to load", lambda: self.browser.find_element(By.CSS_SELECTOR, "body[data-loaded]"))
        self.browser.execute_script(COUNT_POSTS)
        expect(self.browser.title == "Zanti Connect settings", f"title is {self.browser.title!r}")
        for element_id in ("udp-port", "tcp-port"):
            shown = self.element(element_id).get_attribute("value")
            expect(shown == str(self.port), f"{element_id} shows {shown!r}, not {self.port}")
        for element_id in ("udp-port-in-use", "tcp-port-in-use"):
            expect(self.text(element_id) == str(self.port), f"{element_id} shows {self.text(element_id)!r}")
        expect("running" in self.text("status-running") and "not" not in self.text("status-running"),
               f"status says {self.text('status-running')!r}")
        expect(self.text("lan-address"), "no LAN address text")
        expect(not self.element("autostart").is_selected(), "start at login is shown switched on")
        if self.args.screenshot:
            self.browser.save_screenshot(self.args.screenshot)

    def hides_passwords(self):
        for element_id in ("server-password", "vlc-password"):
            field = self.element(element_id)
            toggle = self.browser.find_element(By.CSS_SELECTOR, f"button[aria-controls='{element_id}']")
            expect(field.get_attribute("type") == "password", f"{element_id} is not hidden")
            toggle.click()
            expect(field.get_attribute("type") == "text", f"{element_id} is not shown after a click")
            expect(toggle.get_attribute("aria-pressed") == "true", f"{element_id} toggle is not pressed")
            toggle.click()
            expect(field.get_attribute("type") == "password", f"{element_id} is not hidden again")

    def refuses_bad_ports(self):
        with open(self.settings_path, "rb") as f:
            before = f.read()
        for bad in ("70000", "abc", "0"):
            self.type_into("udp-port", bad)
            self.element("save").click()
            wait_for(f"an error next to the UDP port {bad!r}", lambda: self.text("udp-port-error"))
            expect(self.element("udp-port").get_attribute("aria-invalid") == "true", f"{bad!r} not marked")
            expect("Nothing was saved" in self.text("message"), f"message is {self.text('message')!r}")
        posts = self.browser.execute_script("return window.postCount")
        expect(posts == 0, f"the page posted {posts} times despite the error")
        with open(self.settings_path, "rb") as f:
            expect(f.read() == before, "the settings file changed")
        self.type_into("udp-port", str(self.port))
        wait_for("the error to clear", lambda: not self.text("udp-port-error"))

    def saves_new_port(self):
        new_port = free_port(avoid={self.port, self.web_port})
        self.type_into("udp-port", str(new_port))
        self.element("save").click()
        wait_for("the servers to run on the new UDP port",
                 lambda: self.text("udp-port-in-use") == str(new_port) and "ok" in
                 self.element("message").get_attribute("class"), timeout=15)
        expect(self.text("message").startswith("Saved"), f"message is {self.text('message')!r}")
        expect("not" not in self.text("status-running"), f"status says {self.text('status-running')!r}")
        posts = self.browser.execute_script("return window.postCount")
        expect(posts == 1, f"the page posted {posts} times")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as phone:
            phone.bind(("127.0.0.1", 0))
            phone.settimeout(3)
            phone.sendto(json.dumps([{"app_authentication_key": APPLICATION_KEY}]).encode(),
                         ("127.0.0.1", new_port))
            try:
                reply, _ = phone.recvfrom(65536)
            except socket.timeout:
                raise AssertionError(f"no discovery reply from UDP port {new_port} within 3 s")
        expect(isinstance(json.loads(reply), dict), f"the discovery reply is not a JSON object: {reply!r}")

    def asks_for_the_command(self):
        base = self.address.split("#")[0]
        for address in (base, base + "#key=" + "0" * 64):
            self.open_page(address)
            wait_for(f"the hint to open the page with the command ({address})",
                     lambda: self.element("no-key").is_displayed())
            expect("zanti-connect --open-settings" in self.text("no-key"), f"hint is {self.text('no-key')!r}")
            expect(not self.element("settings-form").is_displayed(), "the form is shown without a key")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, help="path to zanti-connect")
    parser.add_argument("--screenshot", help="save the loaded page as this PNG")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="zc-settings-page-") as work:
        run = Run(args, work)
        try:
            run.start()
            run.check("the page shows the running servers and their ports", run.shows_values)
            run.check("passwords are hidden and can be shown", run.hides_passwords)
            run.check("an invalid port is marked and nothing is posted", run.refuses_bad_ports)
            run.check("a new UDP port is saved and answers discovery", run.saves_new_port)
            run.check("without a valid key the page names the command", run.asks_for_the_command)
        except Exception as failure:
            run.record("starting the program and the browser", failure)
        finally:
            run.stop()
            if run.failed and run.program:
                run.log.seek(0)
                print("--- program output (last 40 lines) ---\n" + "".join(run.log.readlines()[-40:]))
        print(f"{run.passed} passed, {run.failed} failed")
    return 0 if run.failed == 0 and run.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())

"""The two browser engines with Web MIDI, headless, driven with nothing but
Python's standard library, behind one interface: Chromium over the DevTools
protocol (--remote-debugging-pipe: NUL-separated JSON on descriptors 3 and
4) and Firefox over Marionette (JSON framed as LENGTH:JSON on a TCP port).

Each gives pages; a page evaluates expressions (awaiting a promise), runs a
script, waits for an expression, sets a file input, clicks, presses keys
as a person does (a repeat where a key is held), chooses a file by the
keyboard from the focused picker, and takes a screenshot. The page's MIDI permission is given
as a person would give it: Chromium is granted it for the page's origin,
Firefox by its test preferences.
"""
import base64
import json
import os
import socket
import subprocess
import time

CHROMIUM = "/usr/lib/chromium/chromium"
FIREFOX = "/usr/lib/firefox-esr/firefox-esr"
ELEMENT = "element-6066-11e4-a52e-4f735466cecf"
# A key's name in the page's events, its key code, and the text it types.
KEYS = {"Enter": ("Enter", 13, "\r"), "Tab": ("Tab", 9, ""), " ": ("Space", 32, " ")}
WEBDRIVER_KEYS = {"Enter": "\ue007", "Tab": "\ue004", " ": " "}


class Failure(Exception):
    pass


def fail(text):
    raise Failure(text)


def missing(engine):
    """Why the engine cannot run here, or None."""
    path, package = {"chromium": (CHROMIUM, "chromium"), "firefox": (FIREFOX, "firefox-esr")}[engine]
    return None if os.access(path, os.X_OK) else "%s is not installed (Debian: %s)" % (engine, package)


class Page:
    """A tab; the engine's own calls do the work."""

    def __init__(self, browser, handle):
        self.browser, self.handle = browser, handle

    def eval(self, expression):
        return self.browser.evaluate(self.handle, expression)

    def wait(self, expression, seconds, what):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.eval(expression):
                return
            time.sleep(0.1)
        fail("waited %d s for %s" % (seconds, what))

    def set_file(self, selector, path):
        self.browser.set_file(self.handle, selector, path)

    def click(self, element_id):
        self.eval("document.getElementById(%s).click()" % json.dumps(element_id))

    def run(self, script):
        self.browser.run_script(self.handle, script)

    def keys(self, strokes):
        """strokes: (key, "down" | "up" | milliseconds to wait), in order;
        a key that goes down again before it goes up repeats."""
        self.browser.keys(self.handle, strokes)

    def press(self, key):
        self.keys([(key, "down"), (key, "up")])

    def choose_file_by_keyboard(self, path):
        """The focused file picker opened by Space, as a person would, and
        the file chosen in the browser's dialog."""
        self.browser.choose_file_by_keyboard(self.handle, path)

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(self.browser.screenshot(self.handle))

    def close(self):
        self.browser.close_page(self.handle)


class Chromium:
    name = "Chromium"

    def __init__(self, profile, log, wrap=()):
        r1, w1 = os.pipe()
        r2, w2 = os.pipe()

        def child():
            os.dup2(r1, 3)
            os.dup2(w2, 4)

        flags = ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-quic",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--remote-debugging-pipe", "--user-data-dir=" + profile, "about:blank"]
        self.proc = subprocess.Popen(list(wrap) + [CHROMIUM] + flags, preexec_fn=child, close_fds=False,
                                     stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        os.close(r1)
        os.close(w2)
        self.out, self.inp = os.fdopen(w1, "wb"), os.fdopen(r2, "rb")
        self.next_id, self.buffer, self.events = 0, b"", []
        self.version = self.call("Browser.getVersion")["product"]

    def call(self, method, session=None, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self.out.write(json.dumps(message).encode() + b"\0")
        self.out.flush()
        while True:
            while b"\0" not in self.buffer:
                more = os.read(self.inp.fileno(), 1 << 16)
                if not more:
                    fail("Chromium closed its pipe while %s ran" % method)
                self.buffer += more
            raw, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if "method" in reply:
                self.events.append(reply)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    fail("%s: %s" % (method, reply["error"]))
                return reply["result"]

    # A person would answer the browser's question; both names are needed,
    # or both are denied. Unanswered, headless denies.
    def open_page(self, url, grant=True):
        self.call("Browser.resetPermissions")
        if grant:
            self.call("Browser.grantPermissions", origin=url.rstrip("/"), permissions=["midi", "midiSysex"])
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Page.enable", session)
        self.call("Page.navigate", session, url=url)
        return Page(self, (session, target))

    def evaluate(self, handle, expression):
        result = self.call("Runtime.evaluate", handle[0], expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            fail("%s: %s" % (expression[:200], result["exceptionDetails"]["text"]))
        return result["result"].get("value")

    def run_script(self, handle, script):
        self.evaluate(handle, script + "\n;true")

    def keys(self, handle, strokes):
        down = set()
        for key, what in strokes:
            if isinstance(what, int):
                time.sleep(what / 1000)
                continue
            name, code, text = KEYS[key]
            kind = "keyUp" if what == "up" else "keyDown" if text else "rawKeyDown"
            params = {"type": kind, "key": key, "code": name, "windowsVirtualKeyCode": code,
                      "nativeVirtualKeyCode": code, "autoRepeat": what == "down" and key in down}
            if text and what == "down":
                params["text"] = params["unmodifiedText"] = text
            self.call("Input.dispatchKeyEvent", handle[0], **params)
            (down.add if what == "down" else down.discard)(key)

    def choose_file_by_keyboard(self, handle, path):
        self.call("Page.setInterceptFileChooserDialog", handle[0], enabled=True)
        self.events = []
        self.keys(handle, [(" ", "down"), (" ", "up")])
        deadline = time.monotonic() + 10
        while not any(e["method"] == "Page.fileChooserOpened" for e in self.events):
            if time.monotonic() > deadline:
                fail("Space on the file picker opened no dialog")
            self.call("Runtime.evaluate", handle[0], expression="0")
        opened = next(e for e in self.events if e["method"] == "Page.fileChooserOpened")["params"]
        self.call("DOM.setFileInputFiles", handle[0], files=[path], backendNodeId=opened["backendNodeId"])

    def set_file(self, handle, selector, path):
        root = self.call("DOM.getDocument", handle[0])["root"]["nodeId"]
        node = self.call("DOM.querySelector", handle[0], nodeId=root, selector=selector)["nodeId"]
        self.call("DOM.setFileInputFiles", handle[0], nodeId=node, files=[path])

    def screenshot(self, handle):
        data = self.call("Page.captureScreenshot", handle[0], format="png", captureBeyondViewport=True)["data"]
        return base64.b64decode(data)

    def close_page(self, handle):
        self.call("Target.closeTarget", targetId=handle[1])

    def close(self):
        self.proc.kill()
        self.proc.wait()


class Firefox:
    name = "Firefox"
    # For tests only: MIDI with System Exclusive without the site-permission
    # add-on a person would be offered, and without asking.
    PREFS = {"midi.prompt.testing": True, "media.navigator.permission.disabled": True,
             "browser.shell.checkDefaultBrowser": False, "app.update.disabledForTesting": True,
             "datareporting.policy.dataSubmissionEnabled": False, "toolkit.telemetry.reportingpolicy.firstRun": False,
             "network.connectivity-service.enabled": False, "network.captive-portal-service.enabled": False}

    def __init__(self, profile, log, wrap=()):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        with open(os.path.join(profile, "user.js"), "w") as f:
            for name, value in dict(self.PREFS, **{"marionette.port": port}).items():
                f.write("user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value)))
        env = dict(os.environ, MOZ_HEADLESS="1")
        self.proc = subprocess.Popen(list(wrap) + [FIREFOX, "--headless", "--marionette", "--no-remote", "--profile",
                                                   profile, "about:blank"],
                                     stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env)
        deadline = time.monotonic() + 90
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
                break
            except OSError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    fail("Firefox did not listen on its Marionette port")
                time.sleep(0.2)
        self.buffer, self.next_id, self.current = b"", 0, None
        self.receive()  # the browser's hello
        capabilities = self.call("WebDriver:NewSession", capabilities={})["capabilities"]
        self.version = "Firefox %s" % capabilities["browserVersion"]
        self.first = self.call("WebDriver:GetWindowHandle")["value"]

    def receive(self):
        while b":" not in self.buffer:
            self.read_more()
        length, rest = self.buffer.split(b":", 1)
        while len(rest) < int(length):
            self.read_more()
            length, rest = self.buffer.split(b":", 1)
        self.buffer = rest[int(length):]
        return json.loads(rest[:int(length)])

    def read_more(self):
        more = self.sock.recv(1 << 16)
        if not more:
            fail("Firefox closed its Marionette connection")
        self.buffer += more

    def call(self, name, **params):
        self.next_id += 1
        data = json.dumps([0, self.next_id, name, params]).encode()
        self.sock.sendall(b"%d:%s" % (len(data), data))
        while True:
            reply = self.receive()
            if reply[0] == 1 and reply[1] == self.next_id:
                if reply[2]:
                    fail("%s: %s" % (name, reply[2].get("message", reply[2])))
                return reply[3]

    def switch(self, handle):
        if self.current != handle:
            self.call("WebDriver:SwitchToWindow", handle=handle)
            self.current = handle

    def open_page(self, url, grant=True):
        if not grant:
            fail("Firefox's MIDI permission is given by its preferences, for every page")
        handle = self.call("WebDriver:NewWindow", type="tab")["handle"]
        self.switch(handle)
        self.call("WebDriver:Navigate", url=url)
        return Page(self, handle)

    def evaluate(self, handle, expression):
        self.switch(handle)
        return self.call("WebDriver:ExecuteScript", script="return (%s);" % expression, args=[])["value"]

    def run_script(self, handle, script):
        self.switch(handle)
        self.call("WebDriver:ExecuteScript", script=script + "\n;return true;", args=[])

    # WebDriver marks a key that goes down again before it goes up as a
    # repeat.
    def keys(self, handle, strokes):
        self.switch(handle)
        actions = [{"type": "pause", "duration": what} if isinstance(what, int) else
                   {"type": "keyDown" if what == "down" else "keyUp", "value": WEBDRIVER_KEYS[key]}
                   for key, what in strokes]
        self.call("WebDriver:PerformActions", actions=[{"type": "key", "id": "keyboard", "actions": actions}])
        self.call("WebDriver:ReleaseActions")

    # Marionette cannot answer the browser's file dialog: the path is typed
    # into the focused picker, as WebDriver fills one.
    def choose_file_by_keyboard(self, handle, path):
        self.switch(handle)
        element = self.call("WebDriver:GetActiveElement")["value"][ELEMENT]
        self.call("WebDriver:ElementSendKeys", id=element, text=path)

    def set_file(self, handle, selector, path):
        self.switch(handle)
        element = self.call("WebDriver:FindElement", using="css selector", value=selector)["value"][ELEMENT]
        self.call("WebDriver:ElementSendKeys", id=element, text=path)

    def screenshot(self, handle):
        self.switch(handle)
        return base64.b64decode(self.call("WebDriver:TakeScreenshot", full=True, hash=False)["value"])

    def close_page(self, handle):
        self.switch(handle)
        self.call("WebDriver:CloseWindow")
        self.switch(self.first)

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


ENGINES = {"chromium": Chromium, "firefox": Firefox}

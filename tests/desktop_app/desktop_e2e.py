#!/usr/bin/python3
"""Quarlo against the real QuarloClient and QuarloCentral, in a temporary base folder laid out by
scripts/run.sh, under Xvfb with a session bus. The desktop user is played by xdotool, the tray
host by sni_watcher.py. Run in a network namespace of its own (the service's ports are fixed).

  desktop_e2e.py SOURCE_DIR BUILD_DIR SCREENSHOT_DIR
"""
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

SRC, BUILD, SHOTS = sys.argv[1], sys.argv[2], sys.argv[3]
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = tempfile.mkdtemp(prefix="quarlo_e2e_")
BASE = os.path.join(ROOT, "base")
ENV = dict(os.environ, XDG_CONFIG_HOME=os.path.join(ROOT, "config"), QUARLO_BASE=BASE,
           QUARLO_NAMESPACE=os.path.join(ROOT, "ns"), LANG="en_US.UTF-8", NO_AT_BRIDGE="1")
ENV.pop("LC_ALL", None)
os.makedirs(ENV["XDG_CONFIG_HOME"])
os.makedirs(ENV["QUARLO_NAMESPACE"])
os.makedirs(SHOTS, exist_ok=True)
SETTINGS = os.path.join(ENV["XDG_CONFIG_HOME"], "Quarlo", "qv_config_3.4.0.cfg")
failures = []


def wait_for(what, predicate, timeout=30):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    # What the screen showed when the wait gave up.
    subprocess.run(["import", "-window", "root", os.path.join(SHOTS, "e2e-timeout.png")], env=ENV)
    failures.append(what)
    raise AssertionError("timed out waiting for " + what)


def check(what, condition):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def run(*argv, **kw):
    return subprocess.run(list(argv), env=ENV, capture_output=True, text=True, timeout=60, **kw)


def log_text():
    try:
        with open(os.path.join(BASE, "log", "Log.txt"), errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def service_state():
    return run(os.path.join(BASE, "system", "sc"), "query", "Quarlo").stdout


def windows(pid):
    """Visible windows of a process: (id, width, height)."""
    out = run("xdotool", "search", "--onlyvisible", "--pid", str(pid)).stdout.split()
    found = []
    for wid in out:
        geo = run("xdotool", "getwindowgeometry", wid).stdout
        m = re.search(r"Geometry: (\d+)x(\d+)", geo)
        if m:
            found.append((wid, int(m.group(1)), int(m.group(2))))
    return found


def window_of(pid, size, timeout=30):
    return wait_for("a %dx%d window of %d" % (size + (pid,)),
                    lambda: next((w for w, x, y in windows(pid) if (x, y) == size), None), timeout)


def shot(wid, name):
    path = os.path.join(SHOTS, name + ".png")
    run("import", "-window", wid, path)
    return path


def xdo(*args):
    return run("xdotool", *args)


class Watcher:
    def __init__(self):
        self.out = os.path.join(ROOT, "watcher.jsonl")
        self.cmds = os.path.join(ROOT, "watcher.cmds")
        open(self.cmds, "w").close()
        self.proc = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "sni_watcher.py"), self.out, self.cmds],
                                     env=ENV)
        wait_for("the watcher on the bus", lambda: os.path.exists(self.out))

    def records(self):
        # Only whole lines: the watcher may be writing the last one right now.
        with open(self.out) as f:
            return [json.loads(line) for line in f if line.endswith("\n") and line.strip()]

    def item(self):
        items = [r["items"] for r in self.records() if "items" in r]
        return items[-1][0] if items and items[-1] else None

    def click(self, label):
        with open(self.cmds, "a") as f:
            f.write("click " + label + "\n")

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def start_quarlo():
    return subprocess.Popen([os.path.join(BASE, "bin", "Quarlo")], env=ENV,
                            stdout=open(os.path.join(ROOT, "quarlo.out"), "a"), stderr=subprocess.STDOUT)


def main():
    if not os.environ.get("QUARLO_OWN_NETNS"):
        print("skipped: runs in a network namespace of its own (ctest's desktop_app_e2e)")
        return 0
    # The system as `make run` lays it out, without a display: the central server, the service
    # signed in with a fresh account.
    run_env = dict(ENV)
    run_env.pop("DISPLAY", None)
    run_log = open(os.path.join(ROOT, "run.log"), "w")
    runner = subprocess.Popen(["bash", os.path.join(SRC, "scripts", "run.sh"), BUILD], env=run_env,
                              stdout=run_log, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        text = wait_for("run.sh to start the system",
                        lambda: "Stop with Ctrl-C" in open(run_log.name).read() and open(run_log.name).read(), 120)
        email = re.search(r"Made the account (\S+) ", text).group(1)
        password = re.search(r"its password is: (\S+)", text).group(1)
        check("run.sh says how to start Quarlo without a display", "no display here" in text)
        wait_for("the service's first log-on", lambda: "log on successfully." in log_text(), 60)
        # The desktop program starts the service when it is not running.
        run(os.path.join(BASE, "system", "net"), "stop", "Quarlo")
        check("service stopped before Quarlo starts", "STOPPED" in service_state())
        # An account that is not remembered is signed out at the start: the log-in dialog asks.
        with open(SETTINGS, "w") as f:
            f.write("[qv_config]\nRemPass=false\n")

        watcher = Watcher()
        # The first start walks the user through the first-run wizard (it comes once). The
        # session ends while its modal loop runs: the program ends through its exit, at once.
        quarlo = start_quarlo()
        wait_for("Quarlo to start the service", lambda: "RUNNING" in service_state(), 60)
        wizard = window_of(quarlo.pid, (717, 466))
        shot(wizard, "e2e-wizard")
        quarlo.send_signal(signal.SIGHUP)
        try:
            status = quarlo.wait(30)
        except subprocess.TimeoutExpired:
            quarlo.kill()
            status = quarlo.wait()
        check("SIGHUP ends Quarlo while the wizard is open (exit status %d)" % status, status == 0)
        quarlo = start_quarlo()
        wait_for("Quarlo to start the service", lambda: "RUNNING" in service_state(), 60)
        login = window_of(quarlo.pid, (422, 232))
        check("service signed out at the start", wait_for("the account cleared", lambda: account_cleared(), 20))
        item = wait_for("the tray item", watcher.item)
        check("tray item shows the offline picture", item["icon"] == "quarlo-tray-174")
        labels = [e["label"] for e in item["menu"]]
        check("logged-off menu has Exit but no Switch account", "Exit" in labels and "Switch account" not in labels)
        check("tray picture file exists", os.path.exists(os.path.join(item["themePath"], item["icon"] + ".png")))

        # The user logs in through the dialog; Enter sends it.
        xdo("windowfocus", "--sync", login)
        xdo("mousemove", "--sync", "--window", login, "230", "77", "click", "1")
        xdo("type", "--delay", "20", email.upper())
        xdo("mousemove", "--sync", "--window", login, "230", "120", "click", "1")
        xdo("type", "--delay", "20", password)
        shot(login, "e2e-login-typed")
        xdo("windowfocus", "--sync", login, "key", "--clearmodifiers", "Return")
        # The service stores the account the dialog sent and reports the log-on (the tray's
        # logged-on picture is its status 1); its log names each log-on it starts itself.
        wait_for("the account stored by the service", lambda: stored_account() == email, 30)
        check("service log shows its log-on", "log on successfully." in log_text())
        item = wait_for("the logged-on picture",
                        lambda: (watcher.item() or {}).get("icon") == "quarlo-tray-368" and watcher.item(), 30)
        labels = [e["label"] for e in item["menu"]]
        check("logged-on menu has Switch account", "Switch account" in labels and "Exit" in labels)
        with open(SETTINGS) as f:
            check("remember ticked is written", "RemPass=true" in f.read())
        check("no password in the service log", password not in log_text())

        # A second instance says so and ends; the first stays.
        second = start_quarlo()
        box = window_of(second.pid, (355, 197))
        shot(box, "e2e-second-instance")
        xdo("windowfocus", "--sync", box, "key", "--clearmodifiers", "Return")
        check("second instance exits", second.wait(30) is not None)
        check("first instance still runs", quarlo.poll() is None)

        # Switch account: the question, then the account is signed out before the dialog shows.
        watcher.click("Switch account")
        question = window_of(quarlo.pid, (355, 197))
        shot(question, "e2e-switch-account")
        xdo("windowfocus", "--sync", question, "key", "--clearmodifiers", "Return")
        wait_for("the account signed out", account_cleared, 20)
        window_of(quarlo.pid, (422, 232))
        check("switch signs out and shows the log-in dialog", True)
        wait_for("the logged-off menu", lambda: "Switch account" not in
                 [e["label"] for e in (watcher.item() or {"menu": [{"label": "Switch account"}]})["menu"]], 20)

        # Exit from the tray: the program ends and stops the service.
        watcher.click("Exit")
        check("Exit ends Quarlo", quarlo.wait(30) == 0)
        check("Exit stops the service", wait_for("the service stopped", lambda: "STOPPED" in service_state(), 30))
        watcher.stop()

        # Without a tray host the program shows its window at once.
        quarlo = start_quarlo()
        login = window_of(quarlo.pid, (422, 232))
        check("without a watcher the log-in dialog shows", True)
        # Closing the window there is no tray to come back from ends the program, not the
        # service: the phones keep the PC.
        xdo("windowfocus", "--sync", login, "key", "--clearmodifiers", "Escape")
        main = window_of(quarlo.pid, (484, 426))
        xdo("mousemove", "--sync", "--window", main, "466", "15", "click", "1")
        check("closing without a tray ends Quarlo", quarlo.wait(30) == 0)
        check("closing without a tray leaves the service running", "RUNNING" in service_state())

        quarlo = start_quarlo()
        window_of(quarlo.pid, (422, 232))
        quarlo.send_signal(signal.SIGTERM)
        status = quarlo.wait(30)
        check("SIGTERM ends Quarlo (exit status %d)" % status, status == 0)
        check("the session's end leaves the service running", "RUNNING" in service_state())
    finally:
        os.killpg(runner.pid, signal.SIGTERM)
        try:
            runner.wait(60)
        except subprocess.TimeoutExpired:
            os.killpg(runner.pid, signal.SIGKILL)
        if not failures:
            shutil.rmtree(ROOT, ignore_errors=True)
        else:
            print("kept " + ROOT)
    return 1 if failures else 0


def stored_account():
    db = sqlite3.connect(os.path.join(BASE, "etc", "Quarlo.db"))
    try:
        rows = db.execute("select email from qv_user").fetchall()
    finally:
        db.close()
    return rows[0][0] if rows else None


def account_cleared():
    db = sqlite3.connect(os.path.join(BASE, "etc", "Quarlo.db"))
    try:
        rows = db.execute("select email from qv_user").fetchall()
    finally:
        db.close()
    return all(not r[0] for r in rows)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as e:
        print("FAIL " + str(e), flush=True)
        sys.exit(1)

"""The dashboard in a real browser (headless Chromium driven by Selenium):
toruna-web --discover finds the server by broadcast; the page lists the
clients, a hostile name shows as text, watching an event plots what its owner
publishes (read from the page's plot data) within a second, a removal and a
departure show at once, a server restart is recovered in the same plot, and
closing the page drops the subscription (the owner is told). With
TORUNA_WEB_SCREENSHOT set, the page with two plotted events is saved there."""
import os
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

from web_support import (check, output, publisher, run, send, sensor, start_server, start_web, stop, wait_line,
                         wait_until)

HOSTILE_CLIENT = "<img src=x onerror=alert(1)>"
HOSTILE_EVENT = "<script>alert(2)</script>"


def browser(width, height):
    options = Options()
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              f"--window-size={width},{height}", f"--user-data-dir={tempfile.mkdtemp()}"):
        options.add_argument(a)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def plots(d):
    return {(p["client"], p["event"]): p for p in d.execute_script("return window.torunaDashboard.plots()")}


def plot(d, client, event):
    return plots(d).get((client, event))


def tick(d, client, event):
    """Ticks an event in the list of clients (found by the names as data)."""
    ok = d.execute_script("""
        const [client, event] = arguments;
        for (const c of document.querySelectorAll('#clients .client')) {
          if (c.dataset.client !== client) continue;
          for (const li of c.querySelectorAll('li')) {
            if (li.dataset.event === event) { li.querySelector('input').click(); return true; }
          }
        }
        return false;""", client, event)
    check(ok, f"no box for {client}/{event} in the list of clients")


def listed(d):
    """{client name: [event names]} as the page lists them, read as text."""
    return d.execute_script("""
        const out = {};
        for (const c of document.querySelectorAll('#clients .client')) {
          out[c.querySelector('h3').textContent] = [...c.querySelectorAll('.ename')].map((e) => e.textContent);
        }
        return out;""")


def status(d, client, event):
    p = plot(d, client, event)
    return p and p["status"]


def log_text(d):
    return d.execute_script("return document.getElementById('log').textContent")


def test():
    server = start_server("Lab")
    web = start_web("--discover")
    wait_line("web", r'^toruna-web: connected to server "Lab"', 5, "err")
    kitchen = publisher("kitchen", "Kitchen", "Temp", "--unit", "°C", "--max", "40")
    hostile = publisher("hostile", HOSTILE_CLIENT, HOSTILE_EVENT)
    greenhouse = sensor("greenhouse", "Greenhouse", "Humidity", "%", 100, 10)
    porch = publisher("porch", "Porch", "Light")

    d = browser(1366, 900)
    try:
        d.get("http://127.0.0.1:8080/")
        wait_until(lambda: {"Kitchen", "Greenhouse", "Porch", HOSTILE_CLIENT} <= set(listed(d)), 5,
                   f"the page does not list the clients: {listed(d)}")
        # Names from the wire are text, never markup.
        check(listed(d)[HOSTILE_CLIENT] == [HOSTILE_EVENT], f"hostile event shown as {listed(d)[HOSTILE_CLIENT]}")
        check(not d.execute_script("return document.querySelector('img[src=x], #clients script')"),
              "a name became an element of the page")
        check(d.execute_script("return document.getElementById('servers').textContent").find("Lab") >= 0,
              "the server is not listed")

        # Watching subscribes: the owner starts publishing, the plot shows it.
        tick(d, "Kitchen", "Temp")
        wait_line("kitchen", "^subscriber present for Temp$")
        sent = time.time()
        send(kitchen, 10, 20, 30)
        wait_until(lambda: plot(d, "Kitchen", "Temp")["values"][-3:] == [10, 20, 30], 1,
                   f"published values not plotted within a second: {plot(d, 'Kitchen', 'Temp')}")
        print(f"values plotted {time.time() - sent:.2f} s after their publication")
        p = plot(d, "Kitchen", "Temp")
        check(p["charted"], "the chart does not draw the plot's values")
        check(p["status"] == "live", f"status {p['status']}")

        tick(d, "Greenhouse", "Humidity")
        wait_line("greenhouse", "^subscribed$")
        wait_until(lambda: len(plot(d, "Greenhouse", "Humidity")["values"]) >= 20, 5, "Humidity not plotted")
        send(kitchen, 25, 22, 27, 31, 35, 33)
        if os.environ.get("TORUNA_WEB_SCREENSHOT"):
            time.sleep(float(os.environ.get("TORUNA_WEB_SCREENSHOT_WAIT", "1")))
            d.save_screenshot(os.environ["TORUNA_WEB_SCREENSHOT"])

        # A removal and a departure show at once.
        greenhouse.stdin.write(b"remove\n")
        greenhouse.stdin.flush()
        wait_until(lambda: status(d, "Greenhouse", "Humidity") == "removed", 2, "the removal does not show")
        check("Greenhouse removed Humidity" in log_text(d), "the removal is not in the page's log")
        kitchen.stdin.close()
        check(kitchen.wait(5) == 0, "the Kitchen publisher failed")
        wait_until(lambda: status(d, "Kitchen", "Temp") == "Kitchen left", 2, "the departure does not show")
        check("Kitchen left Lab" in log_text(d), "the departure is not in the page's log")

        # The server restarts: the page says so and recovers by itself, in the
        # same plot, when the owner is back.
        tick(d, "Porch", "Light")
        wait_line("porch", "^subscriber present for Light$")
        stop(server)
        wait_until(lambda: status(d, "Kitchen", "Temp") == "server lost", 3, "the lost server does not show")
        check(d.execute_script("return document.querySelector('#servers .dot.lost') !== null"),
              "the server list does not show the server lost")
        start_server("Lab")
        kitchen2 = publisher("kitchen2", "Kitchen", "Temp", "--unit", "°C", "--max", "40")
        wait_line("kitchen2", "^subscriber present for Temp$", 15)
        send(kitchen2, 12)
        wait_until(lambda: plot(d, "Kitchen", "Temp")["values"][-1:] == [12], 2,
                   f"no value after the restart: {plot(d, 'Kitchen', 'Temp')}")
        check(status(d, "Kitchen", "Temp") == "live", "the plot is not live again")
        porch2 = publisher("porch2", "Porch", "Light")
        wait_line("porch2", "^subscriber present for Light$", 5)
    finally:
        d.quit()

    # The page is gone: after the grace, the owner is told nobody listens.
    wait_line("porch2", "^no subscriber left for Light$", 10)
    wait_line("kitchen2", "^no subscriber left for Temp$", 10)
    check(stop(web) == 0, "toruna-web did not end with status 0 on SIGTERM")
    for p in (hostile, porch, porch2, kitchen2):
        p.kill()


sys.exit(run(test))

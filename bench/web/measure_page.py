"""Opens the dashboard in headless Chromium, watches every event, and after a
settling time measures for SECONDS how smoothly the page draws: the interval
between animation frames, long tasks, and the values each plot holds.
Prints one JSON object. Used by bench/web/run."""
import json
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

URL, SECONDS, EXPECT = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])

options = Options()
for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync",
          "--window-size=1600,1200", f"--user-data-dir={tempfile.mkdtemp()}"):
    options.add_argument(a)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get(URL)
    deadline = time.time() + 20
    while len(driver.find_elements("css selector", "#clients li input")) < EXPECT and time.time() < deadline:
        time.sleep(0.2)
    # Each tick redraws the list, so the boxes are found anew every time.
    driver.execute_script(
        "let b; while ((b = document.querySelector('#clients li input:not(:checked)'))) b.click();")
    time.sleep(5)  # the subscriptions start, the plots fill
    driver.set_script_timeout(SECONDS + 30)
    result = driver.execute_async_script("""
        const seconds = arguments[0], done = arguments[arguments.length - 1];
        const frames = [], long = [];
        const obs = new PerformanceObserver((l) => { for (const e of l.getEntries()) long.push(e.duration); });
        try { obs.observe({ entryTypes: ['longtask'] }); } catch (e) {}
        const counts = () => window.torunaDashboard.plots().map((p) => p.values.length);
        const draws = () => window.torunaDashboard.plots().map((p) => p.draws);
        const drawsBefore = draws();
        const before = counts();
        const end = performance.now() + seconds * 1000;
        function step(t) {
          frames.push(t);
          if (t < end) { requestAnimationFrame(step); return; }
          obs.disconnect();
          const after = counts();
          const gaps = frames.slice(1).map((t, i) => t - frames[i]).sort((a, b) => a - b);
          const q = (p) => gaps[Math.min(gaps.length - 1, Math.floor(p * gaps.length))];
          done({ plots: after.length, frames: frames.length, fps: (frames.length - 1) / seconds,
                 p50: q(0.5), p95: q(0.95), p99: q(0.99), worst: gaps[gaps.length - 1],
                 over50: gaps.filter((g) => g > 50).length, longTasks: long.length,
                 longTaskMs: long.reduce((a, b) => a + b, 0),
                 valuesPerPlotPerSecond: after.map((n, i) => (n - before[i]) / seconds),
                 drawsPerPlotPerSecond: draws().map((n, i) => (n - drawsBefore[i]) / seconds) });
        }
        requestAnimationFrame(step);
    """, SECONDS)
    print(json.dumps(result))
finally:
    driver.quit()

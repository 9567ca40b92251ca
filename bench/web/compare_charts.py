"""Chart.js (Debian's libjs-chart.js) against uPlot (the dashboard's, from
tools/web/node_modules) in headless Chromium: twenty charts of a minute of
fifty values a second each, all redrawn on every frame. Prints, for two runs
of each library in turn, the frame rate and one chart's redraw in script time.
Usage: python3 bench/web/compare_charts.py (libjs-chart.js installed)."""
import os
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

HERE = os.path.dirname(os.path.abspath(__file__))
CHART = "/usr/share/javascript/chart.js/chart.min.js"
UPLOT = os.path.join(HERE, "../../tools/web/node_modules/uplot/dist")
for path in (CHART, os.path.join(UPLOT, "uPlot.iife.min.js")):
    if not os.path.exists(path):
        sys.exit(f"missing {path} (apt install libjs-chart.js; scripts/install-deps for uPlot)")

work = tempfile.mkdtemp()
page = os.path.join(work, "charts.html")
with open(page, "w") as f:
    f.write(f"""<!doctype html><html><head><link rel=stylesheet href="file://{UPLOT}/uPlot.min.css">
<style>#grid{{display:grid;grid-template-columns:repeat(4,340px);gap:8px}}.box{{height:190px;position:relative}}</style>
</head><body><div id=grid></div><script src="file://{CHART}"></script>
<script src="file://{UPLOT}/uPlot.iife.min.js"></script></body></html>""")
options = Options()
for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1500,1000", f"--user-data-dir={work}/profile"):
    options.add_argument(a)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get("file://" + page)
    driver.set_script_timeout(120)
    with open(os.path.join(HERE, "compare_charts.js")) as f:
        results = driver.execute_async_script(f.read())
    for r in results:
        print(f"{r['kind']:9} {r['fps']:5.1f} frames a second, {r['msPerRedraw']:5.2f} ms of script per chart redraw")
finally:
    driver.quit()

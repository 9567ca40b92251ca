// Twenty charts of one library, each holding a minute of fifty values a second
// and redrawn with new values on every animation frame, for eight seconds:
// the frame rate the page keeps and the script time of one chart's redraw.
// Run by compare_charts.py, twice for each library, in turn.
const done = arguments[arguments.length - 1];
const N = 20, RATE = 50, SPAN = 60000;
const fmt = new Intl.DateTimeFormat([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });

function boxes() {
  const grid = document.getElementById('grid');
  grid.replaceChildren();
  return Array.from({ length: N }, () => {
    const d = document.createElement('div');
    d.className = 'box';
    grid.append(d);
    return d;
  });
}

function feed(s, now) {
  for (let t = (s.last || now - SPAN) + 1000 / RATE; t <= now; t += 1000 / RATE) {
    s.x.push(t);
    s.y.push(50 + 40 * Math.sin(t / 3000));
    if (s.points) s.points.push({ x: t, y: s.y[s.y.length - 1] });
    s.last = t;
  }
  while (s.x[0] < now - SPAN) {
    s.x.shift();
    s.y.shift();
    if (s.points) s.points.shift();
  }
}

function measure(kind, seconds) {
  return new Promise((resolve) => {
    const now0 = Date.now();
    const series = boxes().map((box) => ({ box, x: [], y: [], last: 0, points: kind === 'Chart.js' ? [] : null }));
    series.forEach((s) => feed(s, now0));
    const charts = series.map((s) => {
      if (kind === 'Chart.js') {
        const canvas = document.createElement('canvas');
        s.box.append(canvas);
        return new Chart(canvas, {
          type: 'line',
          data: { datasets: [{ data: s.points, borderColor: '#1f6feb', borderWidth: 1.5, pointRadius: 0, tension: 0 }] },
          options: {
            animation: false, parsing: false, normalized: true, responsive: true, maintainAspectRatio: false,
            plugins: { legend: { display: false }, tooltip: { enabled: false },
                       decimation: { enabled: true, algorithm: 'min-max', threshold: 4000 } },
            scales: { x: { type: 'linear', min: now0 - SPAN, max: now0,
                           ticks: { includeBounds: false, stepSize: 10000, maxRotation: 0, callback: (v) => fmt.format(v) } },
                      y: { min: 0, max: 100 } },
          },
        });
      }
      return new uPlot({ width: 340, height: 190, ms: 1, legend: { show: false }, cursor: { show: false },
                         scales: { x: { time: true, auto: false }, y: { auto: false, range: [0, 100] } },
                         series: [{}, { stroke: '#1f6feb', width: 1.5, points: { show: false } }] },
                       [s.x, s.y], s.box);
    });
    const frames = [];
    let updates = 0, scriptMs = 0;
    const end = performance.now() + seconds * 1000;
    function step(t) {
      frames.push(t);
      const now = Date.now();
      const t0 = performance.now();
      series.forEach((s, i) => {
        feed(s, now);
        const c = charts[i];
        if (kind === 'Chart.js') {
          c.options.scales.x.min = now - SPAN;
          c.options.scales.x.max = now;
          c.update('none');
        } else {
          c.batch(() => { c.setData([s.x, s.y], false); c.setScale('x', { min: now - SPAN, max: now }); });
        }
        ++updates;
      });
      scriptMs += performance.now() - t0;
      if (t < end) {
        requestAnimationFrame(step);
        return;
      }
      charts.forEach((c) => c.destroy());
      resolve({ kind, fps: (frames.length - 1) / seconds, msPerRedraw: scriptMs / updates });
    }
    requestAnimationFrame(step);
  });
}

(async () => {
  const results = [];
  for (const kind of ['Chart.js', 'uPlot', 'Chart.js', 'uPlot']) results.push(await measure(kind, 8));
  done(results);
})();

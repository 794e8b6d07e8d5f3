// The report as one page that opens on a station PC without a network: the JSON report inside it
// and a small script that draws its tables and its plots as SVG. No plotting library: the four
// plots are bars and one line, a few dozen lines of script, and nothing has to be fetched,
// inlined or kept up to date.
#include "run_report.h"

namespace {

const char kHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Veltora run report</title>
<style>
body { font: 14px/1.4 system-ui, sans-serif; color: #222; margin: 24px; max-width: 980px; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 28px 0 8px; border-bottom: 2px solid #2b6cb0; }
h3 { font-size: 14px; margin: 16px 0 4px; }
table { border-collapse: collapse; margin: 4px 0 12px; }
th, td { border: 1px solid #ccc; padding: 2px 8px; text-align: left; }
td.n { text-align: right; }
thead th { background: #eef2f7; }
.plots { display: flex; flex-wrap: wrap; gap: 12px; }
figure { margin: 0; border: 1px solid #ddd; padding: 6px; }
figcaption { font-weight: 600; }
svg text { font: 11px system-ui, sans-serif; fill: #444; }
.axis { stroke: #888; }
.b0 { fill: #2b6cb0; }
.b1 { fill: #48a868; }
.cum { fill: none; stroke: #c0392b; stroke-width: 2; }
.dot { fill: #c0392b; }
.key0 { fill: #2b6cb0; } .key1 { fill: #48a868; }
</style>
<script>
window.onerror = function (message) {
  document.documentElement.setAttribute('data-error', String(message));
};
</script>
</head>
<body>
<noscript>This report draws its figures with JavaScript; please allow it.</noscript>
<main id="report"></main>
<script id="report-data" type="application/json">)";

const char kScript[] = R"(</script>
<script>
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var root = document.getElementById('report');
  var NS = 'http://www.w3.org/2000/svg';

  function el(tag, text, attrs) {
    var e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = text;
    for (var k in attrs || {}) e.setAttribute(k, attrs[k]);
    return e;
  }
  function add(parent, tag, text, attrs) { return parent.appendChild(el(tag, text, attrs)); }
  function svg(parent, tag, attrs, tip) {
    var e = document.createElementNS(NS, tag);
    for (var k in attrs) e.setAttribute(k, attrs[k]);
    if (tip) e.appendChild(document.createElementNS(NS, 'title')).textContent = tip;
    return parent.appendChild(e);
  }
  // Control characters from the journal (a device's text) shown as \xHH, as the text report does.
  function shown(t) {
    return String(t).replace(/[\u0000-\u001f\u007f-\u009f]/g, function (c) {
      return '\\x' + ('0' + c.charCodeAt(0).toString(16)).slice(-2);
    });
  }
  function count(n, noun) { return n + ' ' + noun + (n === 1 ? '' : 's'); }
  function pct(x) { return x === null ? 'n/a' : (100 * x).toFixed(1) + ' %'; }
  function whole(x) { return (100 * x).toFixed(0) + ' %'; }
  function secs(ms) { return (ms / 1000).toFixed(1) + ' s'; }
  function uph(f) { return f.units_per_hour === null ? 'n/a' : f.units_per_hour.toFixed(1); }
  function results(f) {
    return count(f.runs, 'run') + ', ' + f.passed + ' passed, ' + f.failed + ' failed, ' +
      f.stopped + ' stopped';
  }

  // Bars per label for each series (values from 0 to max), an optional line on a 0-100 % scale.
  function chart(parent, title, labels, series, max, line) {
    var W = 440, H = 220, L = 44, R = line ? 44 : 12, T = 12, B = 40;
    var fig = add(parent, 'figure', null, {'data-plot': title});
    add(fig, 'figcaption', title);
    var s = svg(fig, 'svg', {width: W, height: H, viewBox: '0 0 ' + W + ' ' + H});
    var top = max.value > 0 ? max.value : 1;
    var y = function (v, m) { return T + (H - T - B) * (1 - v / m); };
    svg(s, 'line', {x1: L, y1: T, x2: L, y2: H - B, 'class': 'axis'});
    svg(s, 'line', {x1: L, y1: H - B, x2: W - R, y2: H - B, 'class': 'axis'});
    [0, 0.5, 1].forEach(function (q) {
      svg(s, 'text', {x: L - 4, y: y(q, 1) + 4, 'text-anchor': 'end'}).textContent =
        max.format(q * top);
      if (line) svg(s, 'text', {x: W - R + 4, y: y(q, 1) + 4}).textContent = whole(q);
    });
    var slot = (W - L - R) / Math.max(labels.length, 1);
    var bar = Math.max(slot * 0.8 / series.length, 1);
    // Up to eight labels each under its bar, more only as many as have room (about 6 pixels a
    // character), each cut to the room it has.
    var widest = Math.max.apply(null, labels.map(function (l) { return Math.min(l.length, 12); }));
    var every = labels.length <= 8 ? 1 : Math.ceil(labels.length * (widest * 6 + 8) / (W - L - R));
    var room = Math.max(3, Math.floor(slot * every / 6) - 1);
    var points = [];
    labels.forEach(function (label, i) {
      var x0 = L + i * slot + slot * 0.1;
      series.forEach(function (ser, j) {
        var v = ser.values[i];
        if (v === null) return;
        svg(s, 'rect', {x: x0 + j * bar, y: y(v, top), width: Math.max(bar - 1, 1),
                        height: H - B - y(v, top), 'class': 'b' + j},
            label + ': ' + ser.name + ' ' + ser.format(v));
      });
      if (i % every === 0)
        svg(s, 'text', {x: x0 + slot * 0.4, y: H - B + 14, 'text-anchor': 'middle'})
          .textContent = label.length > room ? label.slice(0, room - 1) + '\u2026' : label;
      if (line) points.push([x0 + slot * 0.4, y(line.values[i], 1), label, line.values[i]]);
    });
    if (line) {
      svg(s, 'polyline', {points: points.map(function (p) { return p[0] + ',' + p[1]; })
                                      .join(' '), 'class': 'cum'});
      points.forEach(function (p) {
        svg(s, 'circle', {cx: p[0], cy: p[1], r: 3, 'class': 'dot'},
            p[2] + ': ' + line.name + ' ' + pct(p[3]));
      });
    }
    if (series.length > 1 || line) {
      var keys = series.map(function (ser, j) { return [ser.name, 'key' + j]; });
      if (line) keys.push([line.name, 'dot']);
      keys.forEach(function (k, j) {
        svg(s, 'rect', {x: L + j * 140, y: H - 14, width: 10, height: 10, 'class': k[1]});
        svg(s, 'text', {x: L + j * 140 + 14, y: H - 5}).textContent = k[0];
      });
    }
  }

  function table(parent, heads, rows) {
    var t = add(parent, 'table');
    var hr = add(add(t, 'thead'), 'tr');
    heads.forEach(function (h) { add(hr, 'th', h); });
    var body = add(t, 'tbody');
    rows.forEach(function (r) {
      var tr = add(body, 'tr');
      r.forEach(function (c, i) { add(tr, 'td', c, i ? {'class': 'n'} : {}); });
    });
    return t;
  }

  function groups(parent, title, key, list, units) {
    add(parent, 'h3', title);
    var heads = [key, 'runs', 'passed', 'failed', 'stopped'];
    if (units) heads = heads.concat(['units', 'first-pass yield', 'final yield', 'retest rate',
                                     'units/h']);
    table(parent, heads, list.map(function (g) {
      var row = [shown(g[key]), g.runs, g.passed, g.failed, g.stopped];
      return units ? row.concat([g.units, pct(g.first_pass_yield), pct(g.final_yield),
                                 pct(g.retest_rate), uph(g)]) : row;
    })).setAttribute('data-groups', key);
  }

  function pareto(parent, title, key, list) {
    add(parent, 'h3', title);
    var cum = 0;
    table(parent, [key, 'failures', 'share', 'cumulative'], list.map(function (c) {
      cum += c.share;
      return [shown(c[key]), c.count, pct(c.share), pct(cum)];
    })).setAttribute('data-pareto', key);
  }

  function kindSection(name, k) {
    var sec = add(root, 'section', null, {id: name});
    add(sec, 'h2', name);
    var figures = [['runs', 'Runs', results(k)]];
    if (k.units) {
      figures.push(['units', 'Units', String(k.units)],
        ['first_pass_yield', 'First-pass yield', pct(k.first_pass_yield) + ' (' +
          k.first_pass_units + ' of ' + count(k.first_run_units, 'unit') + ')'],
        ['final_yield', 'Final yield', pct(k.final_yield) + ' (' + k.final_pass_units + ' of ' +
          count(k.units, 'unit') + ')'],
        ['retest_rate', 'Retest rate', pct(k.retest_rate)],
        ['units_per_hour', 'Units per hour', uph(k) + ' over ' +
          (k.active_ms / 3600000).toFixed(2) + ' h of activity']);
    }
    if (k.passed_median_ms !== null)
      figures.push(['passed_durations', 'Passed runs', 'median ' + secs(k.passed_median_ms) +
        ', 95th percentile ' + secs(k.passed_p95_ms)]);
    if (k.failed_median_ms !== null)
      figures.push(['failed_durations', 'Failed runs', 'median ' + secs(k.failed_median_ms) +
        ', 95th percentile ' + secs(k.failed_p95_ms)]);
    if (k.stopped_by_cause.length)
      figures.push(['stopped', 'Stopped runs', k.stopped_by_cause.map(function (c) {
        return c.count + ' x ' + shown(c.cause);
      }).join(', ')]);
    var t = add(sec, 'table');
    figures.forEach(function (f) {
      var tr = add(t, 'tr');
      add(tr, 'th', f[1]);
      add(tr, 'td', f[2], {'data-figure': f[0]});
    });

    var plots = add(sec, 'div', null, {'class': 'plots'});
    var days = k.days.map(function (d) { return d.day; });
    var share = {value: 1, format: whole};
    if (k.units) {
      chart(plots, 'Yield per day', days, [
        {name: 'first-pass yield', format: pct,
         values: k.days.map(function (d) { return d.first_pass_yield; })},
        {name: 'final yield', format: pct,
         values: k.days.map(function (d) { return d.final_yield; })}], share);
      var most = Math.max.apply(null, k.days.map(function (d) { return d.units_per_hour || 0; }));
      chart(plots, 'Units per hour per day', days, [
        {name: 'units per hour', format: function (v) { return v.toFixed(1); },
         values: k.days.map(function (d) { return d.units_per_hour; })}],
        {value: most, format: function (v) { return v.toFixed(0); }});
    }
    if (k.failures_by_step.length) {
      var cum = 0;
      var steps = k.failures_by_step;
      chart(plots, 'Failures by step', steps.map(function (c) { return shown(c.step); }), [
        {name: 'failures', format: String, values: steps.map(function (c) { return c.count; })}],
        {value: steps[0].count, format: function (v) { return v.toFixed(0); }},
        {name: 'cumulative share', values: steps.map(function (c) { return cum += c.share; })});
    }
    var h = k.passed_duration_histogram;
    if (h) {
      var edges = h.counts.map(function (c, i) {
        var from = h.from_ms + i * h.bin_ms;
        return (from / 1000).toFixed(1) + '\u2013' + secs(from + h.bin_ms);
      });
      chart(plots, 'Durations of passed runs', edges, [
        {name: 'runs', format: String, values: h.counts}],
        {value: Math.max.apply(null, h.counts), format: function (v) { return v.toFixed(0); }});
    }
    if (k.failures_by_step.length) {
      pareto(sec, 'Failures by step', 'step', k.failures_by_step);
      pareto(sec, 'Failures by red line', 'error', k.failures_by_error);
    }
    groups(sec, 'Per day', 'day', k.days, k.units > 0);
    groups(sec, 'Per station', 'station', k.stations, k.units > 0);
  }

  add(root, 'h1', 'Veltora run report');
  add(root, 'p', 'Period: ' + data.period, {id: 'period'});
  if (data.station) add(root, 'p', 'Station: ' + shown(data.station));
  add(root, 'p', 'Run journal: ' + shown(data.journal));
  var kinds = ['production', 'test', 'retest', 'fetch'].filter(function (k) {
    return data.kinds[k];
  });
  if (!kinds.length) add(root, 'p', 'No runs');
  kinds.forEach(function (name) { kindSection(name, data.kinds[name]); });
  var ids = add(root, 'section', null, {id: 'ids'});
  add(ids, 'h2', 'Device IDs');
  var ul = add(ids, 'ul');
  add(ul, 'li', 'Produced: ' + data.device_ids.length);
  add(ul, 'li', 'Produced more than once: ' + (data.repeated_device_ids.join(', ') || 'none'));
  add(ul, 'li', 'Units re-identified: ' + data.reidentified.length + (data.reidentified.length ?
    ' (' + data.reidentified.map(function (p) {
      return p.device_id + ' was ' + p.previous_device_id;
    }).join(', ') + ')' : ''));
  if (data.skipped_lines) add(ul, 'li', 'Malformed lines skipped: ' + data.skipped_lines);
  document.documentElement.setAttribute('data-rendered', 'yes');
})();
</script>
</body>
</html>
)";

} // namespace

QByteArray runReportHtml(const RunReport& report)
{
    // The JSON sits in the page's markup: with every "<" written as \u003c (inside JSON strings,
    // the only place it can stand) no text from the journal can end the script element.
    QByteArray json = runReportJson(report).trimmed();
    json.replace('<', "\\u003c");
    return QByteArray(kHead) + json + kScript;
}

// The status page as a person uses it, in Debian's headless Chromium driven
// by puppeteer-core: sort, filter, a shared link, open a row, point at a bar
// and read bars (their times and values) with the keyboard, 256 events with
// hostile names, contrast; at the widths of a phone, a tablet and three
// screens no sideways scrolling, names in 2 lines at most that keep 12
// characters a line, times inside the table, the trend's range and a bar's
// time; a 300-character name in 2 lines, whole in a tip on hover and on
// focus and in its opened row; and the warning and the stale header once the
// server has stopped. scripts/live.sh runs it:
//
//   QEL_PAGE=http://127.0.0.1:PORT/ QEL_SERVER_PID=PID QEL_SHOTS=DIR \
//     node --test tests/browser/status_page.test.mjs
//
// QEL_SERVER_PID is the server that the last test stops. Screenshots go to
// QEL_SHOTS. The refresh time the page measures (Performance API) is printed.
import assert from "node:assert/strict";
import { after, before, test } from "node:test";
import puppeteer from "puppeteer-core";

const pageUrl = process.env.QEL_PAGE;
const shots = process.env.QEL_SHOTS || ".";
const serverPid = Number(process.env.QEL_SERVER_PID || 0);
const EVENTS = 256;
const WIDTHS = [360, 768, 1024, 1400, 1920];
const PHONE = 720;  // narrower than this, each event is a card
const widthPages = new Map();  // width -> a page kept open until the server stops

let browser;
let page;
let opened;  // the event whose row a test has opened

before(async () => {
  assert.ok(pageUrl, "QEL_PAGE names the page");
  browser = await puppeteer.launch({
    executablePath: process.env.QEL_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 1000 });
  await page.goto(pageUrl);
  await waitForRows(EVENTS);
});

after(async () => {
  if (browser) await browser.close();
});

// Rows of events in the table, in order: id and the text of each cell.
// Read in one go: found first and read later, rows could be read in an
// order that a refresh between the two has changed.
function tableRows(p = page) {
  return p.evaluate(() => [...document.querySelectorAll("#events tbody tr:not(.details)")].map((row) => ({
    id: Number(row.id.replace("row-", "")),
    cells: [...row.children].map((cell) => cell.textContent),
  })));
}

async function waitForRows(count, p = page) {
  await p.waitForFunction((n) => document.querySelectorAll("#events tbody tr:not(.details)").length === n,
                          { timeout: 20000 }, count);
}

const number = (text) => (text === "" ? null : Number(text.replace(/[^0-9.]/g, "")));

// The clock time that starts a bar's text ("14:03:27 UTC: 6,060") or the
// page's refresh time ("2026-12-07 14:03:28 UTC"), in seconds of the day.
function clockOf(text) {
  const m = /(?:^| )(\d\d):(\d\d):(\d\d) UTC/.exec(text);
  assert.ok(m, `a time in "${text}"`);
  return Number(m[1]) * 3600 + Number(m[2]) * 60 + Number(m[3]);
}
function secondsApart(a, b) {
  const d = Math.abs(a - b) % 86400;
  return Math.min(d, 86400 - d);
}

// Points at the middle of what `selector` finds, found and measured in one
// go: a chart draws its bars anew at each refresh, so a bar found first could
// be gone when pointed at.
async function pointAt(p, selector) {
  const at = await p.$eval(selector, (node) => {
    node.scrollIntoView({ block: "center", inline: "nearest" });
    const box = node.getBoundingClientRect();
    return { x: box.left + box.width / 2, y: box.top + box.height / 2 };
  });
  await p.mouse.move(at.x, at.y);
}

function assertOrdered(rows, column, direction) {
  const values = rows.map((r) => number(r.cells[column])).filter((v) => v !== null);
  assert.ok(values.length > 10, "rows with figures");
  for (let i = 1; i < values.length; ++i) {
    const ok = direction === "desc" ? values[i - 1] >= values[i] : values[i - 1] <= values[i];
    assert.ok(ok, `column ${column} ${direction} at row ${i}: ${values[i - 1]} then ${values[i]}`);
  }
}

test("256 events: one row each, sorted by the last minute, every name shown as text", async () => {
  const rows = await tableRows();
  assert.equal(rows.length, EVENTS);
  assert.equal(await page.$eval('th[data-key="minute"]', (th) => th.getAttribute("aria-sort")), "descending");
  assertOrdered(rows, 1, "desc");
  const names = rows.map((r) => r.cells[0]);
  assert.ok(names.includes("quote \"q\""), "a quoted name");
  assert.ok(names.includes("new\nline"), "a name with a newline");
  assert.ok(names.some((n) => /^odd \d+ <b>&amp;<\/b> w+$/.test(n)), "markup stays text");
  assert.ok(names.includes("n".repeat(300)), "the 300-character name");
  assert.equal(await page.$$eval("#events tbody b", (b) => b.length), 0, "no markup from a name");
  // The layout holds: nothing wider than the window.
  const overflow = await page.evaluate(() =>
    document.scrollingElement.scrollWidth - document.scrollingElement.clientWidth);
  assert.ok(overflow <= 0, `the page is ${overflow}px wider than the window`);
  await page.screenshot({ path: `${shots}/status-page-256.png`, fullPage: false });
});

test("one refresh of 256 events, measured by the page", async () => {
  await page.waitForFunction(() => performance.getEntriesByName("qel-refresh").length >= 4,
                             { timeout: 20000 });
  const durations = await page.evaluate(() =>
    performance.getEntriesByName("qel-refresh").map((entry) => entry.duration));
  durations.sort((a, b) => a - b);
  const median = durations[Math.floor(durations.length / 2)];
  console.log(`refresh with ${EVENTS} events: median ${median.toFixed(1)} ms, ` +
              `slowest ${durations[durations.length - 1].toFixed(1)} ms over ${durations.length}`);
  assert.ok(durations.length >= 4);
});

test("sort by any column, both ways; the order is in the link", async () => {
  await page.click('th[data-key="total"] button');
  assert.equal(await page.$eval('th[data-key="total"]', (th) => th.getAttribute("aria-sort")), "descending");
  assert.equal(await page.$eval('th[data-key="minute"]', (th) => th.getAttribute("aria-sort")), "none");
  assertOrdered(await tableRows(), 4, "desc");
  await page.click('th[data-key="total"] button');
  assertOrdered(await tableRows(), 4, "asc");
  assert.match(page.url(), /[?&]sort=total&dir=asc/);
  await page.click('th[data-key="name"] button');
  const names = (await tableRows()).map((r) => r.cells[0]);
  assert.deepEqual(names, [...names].sort((a, b) => (a < b ? -1 : a > b ? 1 : 0)));
  await page.click('th[data-key="minute"] button');
  assertOrdered(await tableRows(), 1, "desc");
});

test("filter by name; a shared link opens the same view", async () => {
  const all = await tableRows();
  const matching = all.filter((r) => r.cells[0].toLowerCase().includes("odd 2"));
  await page.type("#filter", "ODD 2");
  await waitForRows(matching.length);
  const rows = await tableRows();
  assert.deepEqual(rows.map((r) => r.id).sort(), matching.map((r) => r.id).sort());
  assert.match(await page.$eval("#shown", (n) => n.textContent), new RegExp(`^${rows.length} of ${EVENTS} events$`));
  const link = page.url();
  assert.match(link, /filter=ODD\+2/);
  const other = await browser.newPage();
  await other.goto(link);
  await other.waitForFunction((n) => document.querySelectorAll("#events tbody tr:not(.details)").length === n,
                              { timeout: 20000 }, rows.length);
  assert.deepEqual((await tableRows(other)).map((r) => r.id).sort(), rows.map((r) => r.id).sort());
  assert.equal(await other.$eval("#filter", (input) => input.value), "ODD 2");
  assert.equal(await other.$eval('th[data-key="minute"]', (th) => th.getAttribute("aria-sort")),
               "descending");
  await other.close();
  await page.click("#filter", { clickCount: 3 });
  await page.keyboard.press("Backspace");
  await waitForRows(EVENTS);
  await page.type("#filter", "no such event");
  await waitForRows(0);
  assert.equal(await page.$eval("#empty", (n) => n.hidden), false);
  await page.click("#filter", { clickCount: 3 });
  await page.keyboard.press("Backspace");
  await waitForRows(EVENTS);
});

test("a row opens its three charts: scale, time labels, no data yet where a window is empty", async () => {
  const id = await page.$eval("#events tbody tr:not(.details)", (row) => Number(row.id.replace("row-", "")));
  opened = id;
  await page.click(`#row-${id} button.event`);
  assert.equal(await page.$eval(`#row-${id} button.event`, (b) => b.getAttribute("aria-expanded")), "true");
  await page.waitForSelector(`#details-${id}:not([hidden]) svg.chart`);
  const charts = await page.$$eval(`#details-${id} svg.chart`, (svgs) => svgs.map((svg) => ({
    window: svg.dataset.window,
    texts: [...svg.querySelectorAll("text")].map((t) => t.textContent),
    bars: svg.querySelectorAll("rect.bar").length,
  })));
  assert.deepEqual(charts.map((c) => c.window), ["seconds", "minutes", "hours"]);
  const seconds = charts[0];
  assert.ok(seconds.bars > 0, "the last seconds have bars");
  assert.ok(seconds.texts.includes("0") && seconds.texts.includes("now") &&
            seconds.texts.includes("60 s ago"), seconds.texts.join("|"));
  assert.ok(charts[2].texts.includes("no data yet"), "no hour has closed yet");
  assert.match(page.url(), new RegExp(`open=${id}`));
  await page.screenshot({ path: `${shots}/status-page-256-open.png` });
});

test("a bar tells its time and value under the pointer and to the keyboard", async () => {
  const chart = `#details-${opened} svg.chart[data-window="seconds"]`;
  const last = await page.$$eval(`${chart} rect.slot`, (slots) => slots.length - 1);
  // A refresh between pointing and reading draws the bars anew, one second
  // on: then the bar is pointed at again.
  let seen;
  for (let attempt = 0; attempt < 3; ++attempt) {
    await page.mouse.move(0, 0);
    await pointAt(page, `${chart} rect.slot[data-index="${last}"]`);
    seen = await page.evaluate((chart, last) => ({
      tip: document.querySelector("#tip").textContent,
      hidden: document.querySelector("#tip").hidden,
      value: document.querySelector(`${chart} rect.bar[data-index="${last}"]`).dataset.value,
      refreshed: document.querySelector("#refreshed").textContent,
    }), chart, last);
    if (seen.tip.endsWith(` UTC: ${Number(seen.value).toLocaleString("en-US")}`)) break;
  }
  assert.equal(seen.hidden, false);
  // The newest second closed with the snapshot that the page last read.
  assert.match(seen.tip, /^\d\d:\d\d:\d\d UTC: [0-9,]+$/);
  assert.equal(seen.tip.replace(/^.* UTC: /, ""), Number(seen.value).toLocaleString("en-US"));
  assert.ok(secondsApart(clockOf(seen.tip), clockOf(seen.refreshed)) <= 5,
            `the newest bar "${seen.tip}", refreshed ${seen.refreshed}`);
  await page.$eval(chart, (svg) => svg.focus());
  await page.keyboard.press("End");
  await page.keyboard.press("ArrowLeft");
  const readout = await page.$eval(`${chart} + p.readout`, (p) => p.textContent);
  assert.match(readout, /^\d\d:\d\d:\d\d UTC: [0-9,]+$/);
  // One step to the left is one second earlier; both read between two
  // refreshes, which would move the bars.
  const [newest, before] = await page.$eval(chart, (svg) => [["End"], ["ArrowLeft"]].map(([key]) => {
    svg.dispatchEvent(new KeyboardEvent("keydown", { key, bubbles: true }));
    return svg.nextElementSibling.textContent;
  }));
  assert.equal(secondsApart(clockOf(newest), clockOf(before)), 1, `${newest} then ${before}`);
});

async function tipText(p) {
  return p.$eval("#tip", (tip) => {
    const box = tip.getBoundingClientRect();
    return { hidden: tip.hidden, text: tip.textContent, left: box.left, right: box.right,
             room: document.scrollingElement.clientWidth };
  });
}

test("the keyboard reaches the filter, the sort buttons and the rows", async () => {
  await page.focus("#filter");
  await page.keyboard.press("Tab");
  assert.equal(await page.evaluate(() => document.activeElement.closest("th").dataset.key), "name");
  for (let i = 0; i < 11; ++i) await page.keyboard.press("Tab");
  const focused = await page.evaluate(() => document.activeElement.className);
  assert.equal(focused, "event", "after the eleven sort buttons, the first event's name");
  const id = await page.evaluate(() => document.activeElement.closest("tr").id);
  const expanded = () => page.$eval(`#${id} button.event`, (b) => b.getAttribute("aria-expanded"));
  const before = await expanded();
  await page.keyboard.press("Enter");
  assert.equal(await expanded(), before === "true" ? "false" : "true");
  await page.keyboard.press("Enter");
  assert.equal(await expanded(), before);
});

test("table semantics and contrast", async () => {
  const semantics = await page.evaluate(() => ({
    caption: !!document.querySelector("#events caption"),
    columnHeads: document.querySelectorAll('#events thead th[scope="col"]').length,
    rowHeads: document.querySelectorAll('#events tbody tr:not(.details) th[scope="row"]').length,
  }));
  assert.deepEqual(semantics, { caption: true, columnHeads: 11, rowHeads: EVENTS });
  // WCAG contrast of text against its background: at least 4.5.
  const ratios = await page.evaluate(() => {
    const rgb = (c) => c.match(/[\d.]+/g).slice(0, 3).map(Number);
    const lum = ([r, g, b]) => [r, g, b].map((v) => {
      v /= 255;
      return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4;
    }).reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
    const background = (node) => {
      for (; node; node = node.parentElement) {
        const c = getComputedStyle(node).backgroundColor;
        if (!c.startsWith("rgba(0, 0, 0, 0)") && c !== "transparent") return c;
      }
      return "rgb(255, 255, 255)";
    };
    const out = {};
    for (const selector of ["h1", "#status dt", "#status dd", "caption", "thead th button",
                            "button.event", "tbody td", "#shown", "label", ".readout"]) {
      const node = document.querySelector(selector);
      const a = lum(rgb(getComputedStyle(node).color)), b = lum(rgb(background(node)));
      out[selector] = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
    }
    return out;
  });
  for (const [selector, ratio] of Object.entries(ratios)) {
    assert.ok(ratio >= 4.5, `${selector}: contrast ${ratio.toFixed(2)}`);
  }
});

// The layout at one width, as the page shows it: how far it scrolls
// sideways; the lines of every name (characters grouped by the line they
// fall on); the right edges of the table, of every time shown and of its
// cell; the heads shown, and the figures the opened row lists.
function layout() {
  const root = document.scrollingElement;
  const table = document.querySelector("#events").getBoundingClientRect();
  const shown = (node) => node.getClientRects().length > 0;
  const names = [];
  const range = document.createRange();
  for (const button of document.querySelectorAll("#events tbody button.event")) {
    const text = button.firstChild;
    if (!text || !shown(button)) continue;
    const edge = button.getBoundingClientRect();
    const lines = [];
    let line = "", middle = null;
    for (let i = 0; i < text.length; ++i) {
      const c = text.data[i];
      if (c === "\n") { lines.push(line + c); line = ""; middle = null; continue; }
      range.setStart(text, i);
      range.setEnd(text, i + 1);
      const box = range.getBoundingClientRect();
      const y = (box.top + box.bottom) / 2;
      if (middle !== null && Math.abs(y - middle) > box.height / 2 && line) { lines.push(line); line = ""; }
      if (!line) middle = y;
      line += c;
    }
    lines.push(line);
    // The lines one sees: those a cut name hides lie below its box.
    const height = parseFloat(getComputedStyle(button).lineHeight);
    names.push({ lines, seen: Math.round(edge.height / height),
                 open: button.getAttribute("aria-expanded") === "true" });
  }
  const times = [];
  for (const node of document.querySelectorAll("#events td.time, #events .f-peakTime dd, #events .f-markTime dd")) {
    if (!shown(node) || !node.textContent) continue;
    range.selectNodeContents(node);
    times.push({ text: node.textContent, right: range.getBoundingClientRect().right,
                 cell: node.getBoundingClientRect().right });
  }
  const heads = [...document.querySelectorAll("#events thead th")];
  const opened = document.querySelector("#events tr.details:not([hidden])");
  return {
    scrollWidth: root.scrollWidth, clientWidth: root.clientWidth, tableRight: table.right, names, times,
    heads: heads.filter(shown).map((th) => th.dataset.key),
    hidden: heads.filter((th) => !shown(th)).map((th) => th.dataset.key),
    listed: opened ? [...opened.querySelectorAll(".figures > div")].filter(shown).map((d) => d.className) : [],
    filled: opened ? [...opened.querySelectorAll(".figures > div")].filter((d) => d.querySelector("dd").textContent)
      .map((d) => d.className) : [],
  };
}

// Characters on each line of a name that wraps inside a word: a break at
// a space or at a newline of the name may leave less, as in any text.
function brokenWords(names) {
  const broken = [];
  for (const { lines } of names) {
    for (let i = 0; i + 1 < lines.length; ++i) {
      if (!/\s$/.test(lines[i]) && !/^\s/.test(lines[i + 1])) broken.push(lines[i]);
    }
  }
  return broken;
}

for (const width of WIDTHS) {
  test(`${width} px: no sideways scrolling, names of 12 characters a line, times inside the table, ` +
       `the trend's range, a bar's time`, async () => {
    const p = await browser.newPage();
    widthPages.set(width, p);
    await p.setViewport({ width, height: 900 });
    await p.goto(pageUrl);
    await waitForRows(EVENTS, p);
    const id = await p.$eval("#events tbody tr:not(.details)", (row) => Number(row.id.replace("row-", "")));
    await p.click(`#row-${id} button.event`);
    const chart = `#details-${id} svg.chart[data-window="seconds"]`;
    await p.waitForSelector(`#details-${id}:not([hidden]) svg.chart[data-window="seconds"] rect.slot`);
    const seen = await p.evaluate(layout);

    assert.ok(seen.scrollWidth <= seen.clientWidth,
              `the page scrolls sideways: ${seen.scrollWidth}px in a window of ${seen.clientWidth}px`);
    assert.ok(seen.tableRight <= seen.clientWidth + 0.5, `the table ends at ${seen.tableRight}px`);
    assert.equal(seen.names.length, EVENTS);
    const broken = brokenWords(seen.names);
    assert.ok(broken.length > 0, "the 300-character name wraps");
    const shortest = broken.reduce((a, b) => (b.length < a.length ? b : a));
    assert.ok(shortest.length >= 12, `a name wraps after ${shortest.length} characters: "${shortest}"`);
    const tallest = Math.max(...seen.names.filter((n) => !n.open).map((n) => n.seen));
    assert.ok(tallest <= 2, `a name takes ${tallest} lines`);
    assert.ok(seen.names.some((n) => n.lines.length > 2), "names longer than 2 lines are cut");
    assert.ok(seen.times.length > 0, "times shown");
    for (const time of seen.times) {
      assert.ok(time.right <= seen.tableRight + 0.5 && time.cell <= seen.tableRight + 0.5,
                `"${time.text}" ends at ${time.right}px, its cell at ${time.cell}px, the table at ${seen.tableRight}px`);
    }
    if (width < PHONE) {
      // A card per event, each figure under its own label.
      assert.deepEqual(seen.heads, [], "no table head on a phone");
      const cards = await p.$eval(`#row-${id}`, (row) => [...row.querySelectorAll("td")]
        .filter((td) => td.getClientRects().length)
        .map((td) => getComputedStyle(td, "::before").content === `"${td.dataset.label}"` && td.dataset.label !== ""));
      assert.ok(cards.length >= 5 && cards.every(Boolean), "every figure of a card is labelled");
    } else {
      // The columns a narrower window leaves out are listed in the opened row.
      assert.ok(seen.heads.length >= 6, `heads shown: ${seen.heads}`);
      for (const key of seen.hidden) {
        if (seen.filled.includes(`f-${key}`)) assert.ok(seen.listed.includes(`f-${key}`), `${key} in the opened row`);
      }
      for (const key of seen.heads) assert.ok(!seen.listed.includes(`f-${key}`), `${key} shown twice`);
    }

    // The trend gives its range under the pointer and to the keyboard.
    const spark = `#row-${id} svg.spark`;
    for (const how of ["hover", "focus"]) {
      await p.mouse.move(0, 0);
      await p.$eval(spark, (svg) => svg.blur());
      assert.equal((await tipText(p)).hidden, true);
      if (how === "hover") {
        await pointAt(p, spark);
      } else {
        await p.focus(`#row-${id} button.event`);
        await p.keyboard.press("Tab");
        assert.ok(await p.$eval(spark, (svg) => svg === document.activeElement), "Tab from the name reaches the trend");
      }
      const tip = await tipText(p);
      const range = /^Last (\d+) s: ([0-9,]+) to ([0-9,]+) a second$/.exec(tip.text);
      assert.ok(!tip.hidden && range, `${how}: ${tip.hidden ? "no tip" : `"${tip.text}"`}`);
      assert.ok(number(range[2]) <= number(range[3]), tip.text);
      assert.ok(tip.left >= 0 && tip.right <= tip.room, `${how}: the tip at ${tip.left} to ${tip.right}px`);
    }

    // A bar's tip names its time: the newest second, near the refresh.
    const last = await p.$$eval(`${chart} rect.slot`, (slots) => slots.length - 1);
    await pointAt(p, `${chart} rect.slot[data-index="${last}"]`);
    const tip = await tipText(p);
    assert.equal(tip.hidden, false);
    assert.match(tip.text, /^\d\d:\d\d:\d\d UTC: [0-9,]+$/);
    const refreshed = await p.$eval("#refreshed", (n) => n.textContent);
    assert.ok(secondsApart(clockOf(tip.text), clockOf(refreshed)) <= 5, `"${tip.text}", refreshed ${refreshed}`);
    assert.ok(tip.left >= 0 && tip.right <= tip.room, `the tip at ${tip.left} to ${tip.right}px`);
    assert.ok(await p.evaluate(() => document.scrollingElement.scrollWidth <= document.scrollingElement.clientWidth),
              "no sideways scrolling with the tip shown");
    await p.screenshot({ path: `${shots}/status-page-${width}.png` });
  });
}

// A name cut to 2 lines: how many it takes, whether it is cut, its text.
function nameBox(p, selector) {
  return p.$eval(selector, (b) => ({
    lines: b.getBoundingClientRect().height / parseFloat(getComputedStyle(b).lineHeight),
    cut: b.scrollHeight > b.clientHeight + 1,
    text: b.textContent,
  }));
}

for (const width of WIDTHS) {
  test(`${width} px: a 300-character name in 2 lines, whole in the tip on hover and on focus, ` +
       `and in its row once opened; a name that fits has no tip`, async () => {
    const p = await browser.newPage();
    await p.setViewport({ width, height: 900 });
    const name = "n".repeat(300);
    const button = "#events tbody button.event";
    await p.goto(`${pageUrl}?filter=${"n".repeat(20)}`);
    await waitForRows(1, p);
    let box = await nameBox(p, button);
    assert.equal(box.text, name);
    assert.ok(box.lines <= 2.01 && box.cut, `${box.lines} lines, cut: ${box.cut}`);
    for (const how of ["hover", "focus"]) {
      await p.mouse.move(0, 0);
      await p.$eval(button, (b) => b.blur());
      assert.equal((await tipText(p)).hidden, true, `${how}: no tip before`);
      if (how === "hover") await pointAt(p, button);
      else await p.focus(button);
      const tip = await tipText(p);
      assert.ok(!tip.hidden, `${how}: a tip`);
      assert.equal(tip.text, name, `${how}: the whole name`);
      assert.ok(tip.left >= 0 && tip.right <= tip.room, `${how}: the tip at ${tip.left} to ${tip.right}px`);
    }
    await p.click(button);
    box = await nameBox(p, button);
    assert.ok(box.lines > 2 && !box.cut, `opened: ${box.lines} lines, cut: ${box.cut}`);
    assert.equal((await tipText(p)).hidden, true, "opened: no tip");
    await p.click(button);
    box = await nameBox(p, button);
    assert.ok(box.lines <= 2.01 && box.cut, `closed again: ${box.lines} lines, cut: ${box.cut}`);
    await p.goto(`${pageUrl}?filter=queueDepth`);
    await waitForRows(1, p);
    await p.mouse.move(0, 0);
    await pointAt(p, button);
    assert.equal((await tipText(p)).hidden, true, "a name that fits: no tip");
    await p.close();
  });
}

// The header's figures once refreshes fail: those of the last answer, each
// marked "(stale)", and the last roll-up at least as old as it was then.
async function assertStaleHeader(p, where) {
  const header = await p.evaluate(() => Object.fromEntries(["state", "thread", "waiting", "refused", "rollup"]
    .map((id) => [id, { text: document.getElementById(id).textContent,
                        stale: document.getElementById(id).classList.contains("stale") }])));
  assert.equal(header.state.text, "collecting (stale)", where);
  assert.equal(header.thread.text, "running (stale)", where);
  assert.match(header.waiting.text, /^[0-9,]+ \(stale\)$/, where);
  assert.match(header.refused.text, /^[0-9,]+ \(stale\)$/, where);
  assert.match(header.rollup.text, /^over \d+ s ago \(stale\)$/, where);
  assert.ok(Object.values(header).every((figure) => figure.stale), `${where}: marked stale`);
}

test("a stopped server: the page says its figures are not current", async () => {
  assert.ok(serverPid > 0, "QEL_SERVER_PID names the server to stop");
  assert.equal(await page.$eval("#warning", (w) => w.hidden), true, "no warning while it answers");
  process.kill(serverPid, "SIGTERM");
  // A page behind others polls no condition (no animation frames): each is
  // brought to the front before waiting on it.
  await page.bringToFront();
  await page.waitForFunction(() => !document.querySelector("#warning").hidden, { timeout: 20000 });
  assert.match(await page.$eval("#warning", (w) => w.textContent),
               /^No answer from the server since \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC \(.+\): the figures shown are not current\.$/);
  assert.equal(await page.evaluate(() => document.body.classList.contains("stale")), true);
  await assertStaleHeader(page, "the header");
  await page.screenshot({ path: `${shots}/status-page-stale.png` });
  for (const [width, p] of widthPages) {
    await p.bringToFront();
    await p.waitForFunction(() => !document.querySelector("#warning").hidden, { timeout: 20000 });
    await assertStaleHeader(p, `${width} px`);
    const overflow = await p.evaluate(() =>
      document.scrollingElement.scrollWidth - document.scrollingElement.clientWidth);
    assert.ok(overflow <= 0, `${width} px: the stale page is ${overflow}px wider than the window`);
    await p.screenshot({ path: `${shots}/status-page-stale-${width}.png` });
  }
});

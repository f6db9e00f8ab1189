// ui.js: what a person does on the management page and what they see there,
// in the terms of the page's element ids and field names.
'use strict';

const { waitFor, sleep, startDaemon, launchBrowser, openPage } = require('./harness');
const assert = require('node:assert/strict');

// The table's colours as the browser reports them.
const colours = {
  selected: 'rgb(60, 90, 140)', // #3c5a8c
  odd: 'rgb(110, 110, 110)', // #6e6e6e
  even: 'rgb(100, 100, 100)', // #646464
  picked: 'rgb(187, 221, 255)', // #bbddff
  unpicked: 'rgb(255, 255, 255)', // #ffffff
};

const stripe = (n) => (n % 2 ? colours.odd : colours.even);

const field = (page, name) => page.locator(`[name="${name}"]`);

async function background(page, selector) {
  return page.locator(selector).evaluate((e) => getComputedStyle(e).backgroundColor);
}

// The four cells of row n as shown: number, source, memo, status.
async function rowTexts(page, n) {
  return page.locator(`#row${n} > td`).evaluateAll((cells) => cells.map((c) => c.textContent));
}

async function statusCell(page, n) {
  return page.locator(`#row${n} td.status`).evaluate((cell) => ({
    text: cell.textContent,
    icon: getComputedStyle(cell).backgroundImage,
  }));
}

// Shown: neither the element nor an ancestor is display:none or hidden.
async function visible(page, selector) {
  return page.locator(selector).evaluate((e) => e.checkVisibility({ visibilityProperty: true }));
}

async function waitVisible(page, selector, shown = true, limitMs = 5000) {
  await waitFor(async () => (await visible(page, selector)) === shown,
    `${selector} to be ${shown ? 'shown' : 'hidden'}`, limitMs);
}

// Every value of the channel panel a test looks at, as the page holds it.
async function panel(page) {
  return page.evaluate(() => {
    const value = (name) => {
      const e = document.querySelector(`[name="${name}"]`);
      if (!e)
        return undefined;
      return e.type === 'checkbox' ? e.checked : e.value;
    };
    const names = ['sfmt', 'surl', 'memo', 'svparam', 'tfmt', 'turl', 'ev', 'cv', 'vx', 'vy', 'vr', 'qv', 'vb',
      'kfi', 'deint', 'muxbr', 'tvparam', 'ea', 'ca', 'ar', 'ac', 'ab', 'mparam', 'fparam', 'rtmpflash', 'rtmpswf',
      'rtmpuser', 'rtmppass', 'tslen', 'tspath', 'sparam', 'tparam'];
    const result = Object.fromEntries(names.map((n) => [n, value(n)]));
    for (const id of ['frameSize', 'profile', 'level', 'threads', 'preset'])
      result[id] = document.getElementById(id)?.value;
    return result;
  });
}

// Clicks row n and waits until the panel shows the channel's target address
// (`turl`, the address the server holds for it).
async function selectRow(page, n, turl) {
  await page.click(`#row${n} > td >> nth=1`);
  await waitFor(async () => (await field(page, 'turl').inputValue()) === turl, `row ${n} to load`);
}

// Starts editing the selected row: the source editors move into its cells.
async function edit(page, n) {
  await page.click('#btnEdit');
  await page.locator(`#row${n} [name="surl"]`).waitFor({ state: 'attached' });
}

const isPost = (n) => (response) => response.request().method() === 'POST' &&
  new URL(response.url()).pathname === `/channel${n}`;

// Clicks Apply and waits for the post of channel n to be answered and the
// channel to be read back.
async function apply(page, n) {
  const reload = page.waitForResponse((r) => r.request().method() === 'GET' &&
    new URL(r.url()).pathname === `/channel${n}`, { timeout: 8000 });
  const [saved] = await Promise.all([page.waitForResponse(isPost(n), { timeout: 8000 }), page.click('#btnApply')]);
  assert.equal(saved.status(), 200, `saving channel ${n}: ${await saved.text()}`);
  await reload;
  await sleep(100);
}

// The requests the page makes from now on, as "METHOD /path?query".
function recordRequests(page) {
  const seen = [];
  const listener = (request) => {
    const url = new URL(request.url());
    seen.push(`${request.method()} ${url.pathname}${url.search}`);
  };
  page.on('request', listener);
  return { seen, stop: () => page.off('request', listener) };
}

// Chooses a value in a select (or types it into an editable field) as a
// person does, so the page's change handlers run.
async function choose(page, name, value) {
  // The advanced video box and the size preset are known by their ids.
  const control = page.locator(`[name="${name}"], #${name}`).first();
  if (await control.evaluate((e) => e.tagName === 'SELECT'))
    return control.selectOption(value);
  await control.fill(String(value));
  return control.dispatchEvent('change');
}

// Closes whatever box is open and ends editing, as Escape does (agreeing to
// throw changed values away), so a test starts from the page at rest
// whatever the one before left.
async function atRest(page) {
  const agree = (dialog) => dialog.accept();
  page.on('dialog', agree);
  try {
    for (let i = 0; i < 8; i++) {
      const busy = await page.evaluate(() => document.querySelector('[id^="row"] [name="surl"]') !== null ||
        ['boxAdvFormat', 'boxAdvVideo', 'boxSettings', 'boxDecklink', 'boxNdi', 'wall']
          .some((id) => document.getElementById(id)?.checkVisibility()));
      if (!busy)
        return;
      await page.keyboard.press('Escape');
      await sleep(100);
    }
  } finally {
    page.off('dialog', agree);
  }
  throw new Error('the page does not come to rest');
}

// The daemon with `options`, Chromium and the page, once row 1 has loaded
// into the panel with the target address `firstTarget`.
async function openSession(options, firstTarget) {
  const daemon = await startDaemon(options);
  const browser = await launchBrowser();
  const page = await openPage(browser, daemon);
  await waitFor(async () => (await field(page, 'turl').inputValue()) === firstTarget, 'row 1 to load');
  return { daemon, browser, page };
}

async function closeSession(browser, daemon) {
  await browser?.close();
  await daemon?.stop();
}

module.exports = {
  atRest,
  openSession,
  closeSession,
  colours, stripe, field, background, rowTexts, statusCell, visible, waitVisible, panel, selectRow, edit,
  apply, isPost, recordRequests, choose,
};

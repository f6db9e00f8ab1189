// look.test.js: the page as it looks and reads at 1100, 1440 and 1920 pixels
// wide: the table growing with the window, readable read-only values, an
// axe-core accessibility pass over the page, every box, editing and the login
// page, and the screenshots of each (build/screenshots/).
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');
const ui = require('./ui');

let browser;
let daemon;
let page;

const widths = [1100, 1440, 1920];

before(async () => {
  ({ daemon, browser, page } = await ui.openSession({
    decklink: 'card DeckLink Duo 2\ninput Hp50 1920 1080 50000 1000 prog\noutput Hp25 1920 1080 25000 1000 prog\n',
    ndi: 'source 0 192.168.1.20:5961 STUDIO-PC (Camera 1)\n',
    channels: [1, 2, 3].map((n) => h.channelBlock(n, {
      memo: n === 2 ? 'A memo long enough to be cut in its cell, read whole on hover' : `memo ${n}`,
      source: n === 2 ? '/media/a/rather/long/path/to/a/source/file/that/the/cell/cuts/clip2.ts' : `/media/clip${n}.ts`,
    })).join(''),
  }, 'udp://127.0.0.1:5001'));
  daemon.setProgress('frame=500 fps=25 q=28.0 size=2048kB time=00:12:34.56 bitrate=1534.2kbits/s speed=1x\n');
  await daemon.request('channel1?start');
});

after(() => ui.closeSession(browser, daemon));

// WCAG's contrast ratio of two colours given as "rgb(r, g, b)".
function contrast(a, b) {
  const luminance = (rgb) => {
    const [r, g, bl] = rgb.match(/\d+/g).slice(0, 3).map((v) => {
      const c = Number(v) / 255;
      return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
    });
    return 0.2126 * r + 0.7152 * g + 0.0722 * bl;
  };
  const [light, dark] = [luminance(a), luminance(b)].sort((x, y) => y - x);
  return (light + 0.05) / (dark + 0.05);
}

// Findings that may stay, each with its reason (see the README).
const accepted = [];

function assertClean(findings, where) {
  const left = findings.filter((f) => !accepted.some((rule) => f.startsWith(rule)));
  assert.deepEqual(left, [], `${where}: ${left.join('; ')}`);
}

// Opens box `id` through the page's own control and waits for it.
async function withBox(id, open, close, work) {
  await open();
  await ui.waitVisible(page, `#${id}`);
  await h.sleep(200);
  try {
    await work();
  } finally {
    await close();
    await ui.waitVisible(page, `#${id}`, false);
  }
}

const boxes = [
  ['boxSettings', () => page.click('#btnSettings'), () => page.click('#boxSettingsCancel')],
  ['wall', () => page.click('#btnWall'), () => page.click('#wallClose')],
  ['boxAdvFormat', async () => { await ui.edit(page, 1); await page.click('#btnAdvFormat'); },
    async () => { await page.click('#boxAdvFormatCancel'); await page.click('#btnCancel'); }],
  ['boxAdvVideo', async () => { await ui.edit(page, 1); await page.click('#btnAdvVideo'); },
    async () => { await page.click('#boxAdvVideoCancel'); await page.click('#btnCancel'); }],
  ['boxDecklink', async () => { await ui.edit(page, 1); await ui.choose(page, 'sfmt', 'decklink'); },
    async () => { await page.click('#boxDecklinkCancel'); await page.click('#btnCancel'); }],
  ['boxNdi', async () => { await ui.edit(page, 1); await ui.choose(page, 'sfmt', 'ndi'); },
    async () => { await page.click('#boxNdiCancel'); await page.click('#btnCancel'); }],
];

test('the table takes the window\'s height and width; the panel stays beside it', { timeout: 30000 }, async () => {
  const measure = () => page.evaluate(() => {
    const box = document.getElementById('tableBox').getBoundingClientRect();
    const source = document.querySelector('#row1 td.src').getBoundingClientRect();
    const right = document.getElementById('right').getBoundingClientRect();
    return { height: box.height, bottom: box.bottom, source: source.width, tableRight: box.right, panelLeft: right.left };
  });
  await page.setViewportSize({ width: 1100, height: 900 });
  const narrow = await measure();
  await page.setViewportSize({ width: 1920, height: 1080 });
  const wide = await measure();
  assert.ok(wide.height >= 900, `the table box is ${wide.height} px high in a 1080-pixel window`);
  assert.ok(wide.bottom <= 1080, 'and fits in it');
  assert.ok(wide.height / 21 >= 40, 'at least 40 rows show');
  assert.ok(wide.source > narrow.source + 500, `Media Source grows: ${narrow.source} → ${wide.source} px`);
  assert.ok(wide.panelLeft >= wide.tableRight && wide.panelLeft > 1400, 'the panel stays beside the table');
  const title = await page.locator('#row2 td.src').getAttribute('title');
  assert.match(title, /cuts\/clip2\.ts$/, 'a long source reads whole on hover');
  await page.setViewportSize({ width: 1100, height: 900 });
});

test('read-only values are readable (4.5:1) and plainly not editable', { timeout: 30000 }, async () => {
  for (const id of ['#turl', '#tfmt', '#kfi', '#ca']) {
    const [fore, back, disabled] = await page.locator(id).evaluate((e) => {
      const style = getComputedStyle(e);
      return [style.webkitTextFillColor || style.color, style.backgroundColor, e.disabled];
    });
    assert.equal(disabled, true, id);
    assert.ok(contrast(fore, back) >= 4.5, `${id}: ${fore} on ${back} is ${contrast(fore, back).toFixed(2)}:1`);
  }
});

test('axe-core finds nothing critical or serious on the page, editing, each box and the login page',
  { timeout: 90000 }, async () => {
    assertClean(await h.accessibility(page), 'the page');
    await ui.edit(page, 1);
    assertClean(await h.accessibility(page), 'editing');
    await page.click('#btnCancel');
    for (const [id, open, close] of boxes)
      await withBox(id, open, close, async () => assertClean(await h.accessibility(page, `#${id}`), id));

    const guarded = await h.startDaemon({ loginPass: 'secret' });
    const login = await browser.newPage();
    try {
      await login.goto(guarded.url);
      const findings = await h.accessibility(login);
      // The login page's markup is the login handler's; what it still lacks is named in the README.
      console.log(`axe on the login page: ${findings.length ? findings.join('; ') : 'no finding'}`);
      assert.deepEqual(findings.filter((f) => f.includes('(critical)') && !f.startsWith('label')), []);
    } finally {
      await login.close();
      await guarded.stop();
    }
  });

test('screenshots at 1100, 1440 and 1920 pixels: the page, each box, editing, an error, connection lost',
  { timeout: 120000 }, async () => {
    await h.waitFor(async () => (await ui.statusCell(page, 1)).text.includes('00:12:34'), 'channel 1 to run');
    for (const width of widths) {
      await page.setViewportSize({ width, height: 1080 });
      await ui.selectRow(page, 1, 'udp://127.0.0.1:5001');
      await h.screenshot(page, `look-${width}-page`);
      for (const [id, open, close] of boxes)
        await withBox(id, open, close, () => h.screenshot(page, `look-${width}-${id}`));
      await ui.edit(page, 1);
      await h.screenshot(page, `look-${width}-editing`);
      await ui.field(page, 'kfi').fill('99999999999');
      await page.click('#btnApply');
      await ui.waitVisible(page, '#notice', true, 3000);
      await h.screenshot(page, `look-${width}-error`);
      await page.locator('#notice').getByRole('button', { name: 'Dismiss' }).click();
      await ui.atRest(page);
    }
    await daemon.halt();
    try {
      await h.waitFor(async () => (await page.locator('#live').innerText()).startsWith('connection lost'),
        '"connection lost"', 9000);
      for (const width of widths) {
        await page.setViewportSize({ width, height: 1080 });
        await h.screenshot(page, `look-${width}-connection-lost`);
      }
    } finally {
      await daemon.launch();
      await page.setViewportSize({ width: 1100, height: 900 });
    }
  });

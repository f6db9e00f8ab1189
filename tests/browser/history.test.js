// history.test.js: the run history table of the channel panel: empty for a
// channel that has not run, a row per run (newest first) with how it ended,
// its code and the transcoder's last error line, and a refused start.
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');
const ui = require('./ui');

let browser;
let daemon;
let page;
const emptyFolder = fs.mkdtempSync(path.join(os.tmpdir(), 'orval-history-'));

before(async () => {
  ({ daemon, browser, page } = await ui.openSession({
    channels: h.channelBlock(1, { memo: 'runs' }) + h.channelBlock(2, { source: emptyFolder }),
  }, 'udp://127.0.0.1:5001'));
});

after(async () => {
  await ui.closeSession(browser, daemon);
  fs.rmSync(emptyFolder, { recursive: true, force: true });
});

// The rows of the history table, each as its cells' texts.
async function historyRows() {
  return page.locator('#history tbody tr').evaluateAll((rows) =>
    rows.map((row) => [...row.cells].map((cell) => cell.textContent)));
}

async function waitForRows(count, what) {
  return h.waitFor(async () => {
    const rows = await historyRows();
    return rows.length === count ? rows : null;
  }, what, 10000);
}

test('a channel without runs shows an empty table and says so', { timeout: 30000 }, async () => {
  assert.deepEqual(await historyRows(), []);
  assert.equal(await page.locator('#historyNone').isVisible(), true);
  assert.equal(await page.locator('#historyBox legend').textContent(), 'Run History');
});

test('each stopped run appears newest first with its code and last error line', { timeout: 60000 }, async () => {
  await ui.selectRow(page, 1, 'udp://127.0.0.1:5001');
  daemon.setProgress('[tcp @ 0x1] Connection refused\nframe= 1 time=00:00:01.00 bitrate=1.0kbits/s\r');
  await page.click('#btnStart');
  await h.waitFor(async () => (await ui.statusCell(page, 1)).text !== 'STOPPED', 'channel 1 to run');
  await h.sleep(500);  // the transcoder prints its lines
  await page.click('#btnStop');
  let rows = await waitForRows(1, 'the first run in the table');
  assert.deepEqual(rows[0].slice(2), ['Stopped', '255', '[tcp @ 0x1] Connection refused']);
  assert.match(rows[0][0], /^\d\d:\d\d:\d\d$/);
  assert.match(await page.locator('#history tbody td').first().getAttribute('title'),
    /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
  assert.equal(await page.locator('#historyNone').isVisible(), false);

  daemon.setProgress('Error while decoding stream #0:0\n');
  await page.click('#btnStart');
  await h.waitFor(async () => (await ui.statusCell(page, 1)).text !== 'STOPPED', 'channel 1 to run again');
  await h.sleep(500);
  await page.click('#btnStop');
  rows = await waitForRows(2, 'the second run in the table');
  assert.deepEqual(rows.map((row) => row[4]), ['Error while decoding stream #0:0', '[tcp @ 0x1] Connection refused']);
  await h.screenshot(page, 'history');
});

test('a refused start shows as refused with its reason, and rows follow the selection', { timeout: 30000 },
  async () => {
    await ui.selectRow(page, 2, 'udp://127.0.0.1:5002');
    await waitForRows(0, 'channel 2 to show no runs');
    await page.click('#btnStart');
    const rows = await waitForRows(1, 'the refusal in the table');
    assert.deepEqual(rows[0].slice(2, 4), ['Refused', '-99']);
    assert.notEqual(rows[0][4], '');
    assert.equal(await page.locator('#history tbody tr').getAttribute('class'), 'bad');
    await ui.selectRow(page, 1, 'udp://127.0.0.1:5001');
    await waitForRows(2, 'channel 1 to show its runs again');
  });

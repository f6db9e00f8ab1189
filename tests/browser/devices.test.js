// devices.test.js: the DeckLink box on the capture and the playback side and
// the NDI box, against the fake driver library and the fake NDI runtime.
'use strict';

const { test, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');
const ui = require('./ui');

let browser;
let daemon;
let page;

const cards = `card DeckLink Duo 2
input Hp50 1920 1080 50000 1000 prog
input Hi50 1920 1080 25000 1000 uppr
output Hp25 1920 1080 25000 1000 prog
output hp60 1280 720 60000 1000 prog
card DeckLink Mini Recorder
input Hi59 1920 1080 30000 1001 lowr
`;
const sources = `source 0 192.168.1.20:5961 STUDIO-PC (Camera 1)
source 0 192.168.1.21:5961 EDIT-PC (Program)
`;

before(async () => {
  ({ daemon, browser, page } = await ui.openSession({
    decklink: cards,
    ndi: sources,
    channels: h.channelBlock(1, { memo: 'capture' }) + h.channelBlock(2, { memo: 'ndi' }),
  }, 'udp://127.0.0.1:5001'));
});

beforeEach(async () => {
  if (page)
    await ui.atRest(page);
});

after(() => ui.closeSession(browser, daemon));

const entries = (list) => page.locator(`${list} > *`);
const texts = (list) => entries(list).evaluateAll((items) => items.map((e) => e.textContent.trim()));

async function waitEntries(list, count) {
  await h.waitFor(async () => (await entries(list).count()) === count &&
    !(await page.locator(list).textContent()).includes('Searching...'), `${count} entries in ${list}`, 15000);
}

const deviceRequest = (output) => (r) => {
  const url = new URL(r.url());
  return url.pathname === '/decklink_config' && url.searchParams.get('output') === output;
};

test('capture side: the devices and their modes; OK sets the source and -format_code', { timeout: 30000 },
  async () => {
    await ui.edit(page, 1);
    let release;
    const held = new Promise((resolve) => { release = resolve; });
    await page.route('**/decklink_config*', async (route) => {
      await held;
      await route.continue();
    });
    const asked = page.waitForRequest(deviceRequest('0'));
    await ui.choose(page, 'sfmt', 'decklink');
    await asked;
    await ui.waitVisible(page, '#boxDecklink');
    assert.match(await page.locator('#boxDecklink').innerText(), /Searching\.\.\./);
    assert.equal(await page.locator('#boxDecklinkOk').isDisabled(), true);
    release();
    await waitEntries('#decklinkDevices', 2);
    await page.unroute('**/decklink_config*');

    assert.deepEqual(await texts('#decklinkDevices'), ['DeckLink Duo 2', 'DeckLink Mini Recorder']);
    assert.equal(await ui.background(page, '#decklinkDevices > * >> nth=0'), ui.colours.picked);
    assert.equal(await ui.background(page, '#decklinkDevices > * >> nth=1'), ui.colours.unpicked);
    assert.deepEqual(await texts('#decklinkFormats'), ['1920x1080p @ 50000/1000 fps', '1920x1080i @ 25000/1000 fps']);
    assert.equal(await page.locator('#boxDecklinkOk').isDisabled(), false);
    await h.screenshot(page, 'box-decklink');

    await page.click('#boxDecklinkOk');
    await ui.waitVisible(page, '#boxDecklink', false);
    let panel = await ui.panel(page);
    assert.deepEqual([panel.surl, panel.svparam], ['DeckLink Duo 2', '-format_code Hp50']);

    await ui.choose(page, 'sfmt', 'decklink');
    await waitEntries('#decklinkDevices', 2);
    await entries('#decklinkDevices').nth(1).click();
    assert.equal(await ui.background(page, '#decklinkDevices > * >> nth=1'), ui.colours.picked);
    assert.equal(await ui.background(page, '#decklinkDevices > * >> nth=0'), ui.colours.unpicked);
    assert.deepEqual(await texts('#decklinkFormats'), ['1920x1080i @ 30000/1001 fps']);
    await page.click('#boxDecklinkCancel');
    await ui.waitVisible(page, '#boxDecklink', false);
    panel = await ui.panel(page);
    assert.deepEqual([panel.surl, panel.svparam], ['DeckLink Duo 2', '-format_code Hp50'], 'Cancel changes nothing');

    await ui.apply(page, 1);
    const first = await daemon.channel(1);
    assert.deepEqual([first.source.format, first.source.url, first.source.svparam],
      ['decklink', 'DeckLink Duo 2', '-format_code Hp50']);
    assert.match(daemon.configBlock(1), /VideoParam "-format_code Hp50"/);
    await page.click('#btnStart');
    assert.match(await daemon.transcoderLine('udp://127.0.0.1:5001'), /-format_code Hp50/);
    await page.click('#btnStop');
  });

test('playback side: OK sets the target address, frame size and rate', { timeout: 30000 }, async () => {
  await ui.edit(page, 1);
  const asked = page.waitForRequest(deviceRequest('1'));
  await ui.choose(page, 'tfmt', 'decklink');
  await asked;
  await waitEntries('#decklinkDevices', 2);
  assert.deepEqual(await texts('#decklinkFormats'), ['1920x1080p @ 25000/1000 fps', '1280x720p @ 60000/1000 fps']);
  await entries('#decklinkFormats').nth(1).click();
  await page.click('#boxDecklinkOk');
  await ui.waitVisible(page, '#boxDecklink', false);
  const panel = await ui.panel(page);
  assert.deepEqual([panel.turl, panel.vx, panel.vy, panel.frameSize], ['DeckLink Duo 2', '1280', '720', 'hd720']);
  assert.equal(Number(panel.vr), 60);
  await ui.apply(page, 1);
  const target = (await daemon.channel(1)).target;
  assert.deepEqual([target.format, target.url, target.width, target.height, target.fps],
    ['decklink', 'DeckLink Duo 2', '1280', '720', '60.000000']);
});

test('without cards the box says "No Decklink devices found"', { timeout: 30000 }, async () => {
  daemon.setDevices({ decklink: '' });
  assert.deepEqual(JSON.parse((await daemon.request('decklink_config')).body).devices, []);
  await ui.edit(page, 1);
  await ui.choose(page, 'sfmt', 'decklink');
  await ui.waitVisible(page, '#boxDecklink');
  await h.waitFor(async () => (await page.locator('#decklinkDevices').innerText()).includes('No Decklink devices found'),
    'the empty list');
  await page.click('#boxDecklinkCancel');
  await ui.waitVisible(page, '#boxDecklink', false);
  assert.equal((await ui.panel(page)).surl, 'DeckLink Duo 2');
  await page.click('#btnCancel');
});

test('NDI: the sources, Search Again with its timeout, and OK sets -wait_sources', { timeout: 40000 }, async () => {
  await ui.selectRow(page, 2, 'udp://127.0.0.1:5002');
  await ui.edit(page, 2);
  const first = page.waitForRequest((r) => new URL(r.url()).pathname === '/ndi_config');
  await ui.choose(page, 'sfmt', 'ndi');
  assert.equal(new URL((await first).url()).searchParams.get('timeout'), '5');
  await ui.waitVisible(page, '#boxNdi');
  assert.equal(await page.locator('#ndiTimeout').inputValue(), '5');
  assert.match(await page.locator('#ndiList').innerText(), /Searching\.\.\./);
  assert.equal(await page.locator('#ndiList').evaluate((e) => getComputedStyle(e).cursor), 'wait');
  await waitEntries('#ndiList', 2);
  assert.deepEqual(await texts('#ndiList'), [
    'STUDIO-PC (Camera 1)\u00a0\u00a0\u00a0(192.168.1.20:5961)', 'EDIT-PC (Program)\u00a0\u00a0\u00a0(192.168.1.21:5961)']);
  await h.screenshot(page, 'box-ndi');

  await page.locator('#ndiTimeout').fill('1');
  const again = page.waitForRequest((r) => new URL(r.url()).pathname === '/ndi_config');
  await page.click('#ndiSearchAgain');
  assert.equal(new URL((await again).url()).searchParams.get('timeout'), '1');
  await waitEntries('#ndiList', 2);
  await entries('#ndiList').nth(1).click();
  await page.click('#boxNdiOk');
  await ui.waitVisible(page, '#boxNdi', false);
  const panel = await ui.panel(page);
  assert.deepEqual([panel.surl, panel.svparam], ['EDIT-PC (Program)', '-wait_sources 1']);
  await ui.apply(page, 2);
  const second = await daemon.channel(2);
  assert.deepEqual([second.source.format, second.source.url, second.source.svparam],
    ['ndi', 'EDIT-PC (Program)', '-wait_sources 1']);

  daemon.setDevices({ ndi: '' });
  await ui.edit(page, 2);
  await ui.choose(page, 'sfmt', 'ndi');
  await ui.waitVisible(page, '#boxNdi');
  await page.locator('#ndiTimeout').fill('1');
  await page.click('#ndiSearchAgain');
  await h.waitFor(async () => (await page.locator('#ndiList').innerText()).includes('No NDI sources found'),
    'the empty list', 15000);
  await page.click('#boxNdiCancel');
  await ui.waitVisible(page, '#boxNdi', false);
  assert.equal((await ui.panel(page)).surl, 'EDIT-PC (Program)');
  await page.click('#btnCancel');
});

test('playback side: a card without playback modes is not chosen and says why; Cancel keeps the target',
  { timeout: 30000 }, async () => {
    daemon.setDevices({ decklink: 'card DeckLink Mini Recorder\ninput Hi59 1920 1080 30000 1001 lowr\n' +
      'card DeckLink Duo 2\noutput Hp25 1920 1080 25000 1000 prog\n' });
    await ui.selectRow(page, 1, 'DeckLink Duo 2');
    await ui.edit(page, 1);
    await ui.choose(page, 'tfmt', 'udpts');
    await ui.choose(page, 'tfmt', 'decklink');
    await waitEntries('#decklinkDevices', 2);
    assert.deepEqual(await texts('#decklinkFormats'), ['1920x1080p @ 25000/1000 fps'], 'the card with modes is chosen');
    assert.equal(await page.locator('#boxDecklinkOk').isDisabled(), false);
    await entries('#decklinkDevices').nth(0).click();
    assert.equal(await page.locator('#boxDecklinkOk').isDisabled(), true);
    assert.match(await page.locator('#decklinkFormats').innerText(), /no playback modes/);
    await h.screenshot(page, 'box-decklink-no-modes');
    await page.click('#boxDecklinkCancel');
    await ui.waitVisible(page, '#boxDecklink', false);
    const panel = await ui.panel(page);
    assert.deepEqual([panel.tfmt, panel.turl], ['udpts', 'udp://127.0.0.1:1234']);
    await page.click('#btnCancel');
  });

test('a driver or runtime that is not installed is named in its box', { timeout: 30000 }, async () => {
  await page.route('**/decklink_config*', (route) => route.fulfill({ status: 200, contentType: 'application/json',
    body: '{ "devices": [\n ],\n "error": "DeckLink driver not installed"\n}\n' }));
  await page.route('**/ndi_config*', (route) => route.fulfill({ status: 200, contentType: 'application/json',
    body: '{ "sources": [\n ],\n "error": "NDI runtime not found"\n}\n' }));
  try {
    await ui.edit(page, 1);
    await ui.choose(page, 'sfmt', 'file');
    await ui.choose(page, 'sfmt', 'decklink');
    await h.waitFor(async () => (await page.locator('#decklinkDevices').innerText()) === 'DeckLink driver not installed',
      'the DeckLink reason');
    await page.click('#boxDecklinkCancel');
    assert.equal((await ui.panel(page)).sfmt, 'file', 'Cancel keeps the source format');
    await ui.choose(page, 'sfmt', 'ndi');
    await h.waitFor(async () => (await page.locator('#ndiList').innerText()) === 'NDI runtime not found',
      'the NDI reason');
    await page.click('#boxNdiCancel');
    await page.click('#btnCancel');
  } finally {
    await page.unroute('**/decklink_config*');
    await page.unroute('**/ndi_config*');
  }
});

// format.test.js: the advanced format box: its tabs, the HLS fields and the
// fparam they compose, RTMP, time shifting with its cache folder, the custom
// parameters, and Cancel.
'use strict';

const { test, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');
const ui = require('./ui');

let browser;
let daemon;
let page;

const hlsParam = '-hls_time 3725 -hls_list_size 10 -hls_wrap 7 -start_number 3 -hls_base_url http://cdn.example/x/';

before(async () => {
  ({ daemon, browser, page } = await ui.openSession({
    channels:
      h.channelBlock(1, { memo: 'hls', format: 'hls', url: '/media/one.m3u8', output: { FormatParam: `"${hlsParam}"` } }) +
      h.channelBlock(2, { memo: 'udp', output: { MapParam: '"-map 0:0"' }, input: { SourceParam: '"-re"' } }),
  }, '/media/one.m3u8'));
});

beforeEach(async () => {
  if (page)
    await ui.atRest(page);
});

after(() => ui.closeSession(browser, daemon));

const ids = ['hlsHours', 'hlsMinutes', 'hlsSeconds', 'hlsListSize', 'hlsStartNumber', 'hlsBaseUrl',
  'tsHours', 'tsMinutes', 'tsSeconds'];

async function boxValues() {
  return page.evaluate((list) => Object.fromEntries(list.map((id) => [id, document.getElementById(id).value])), ids);
}

async function disabled(selectors) {
  return Promise.all(selectors.map((s) => page.locator(s).isDisabled()));
}

const hlsFields = ids.slice(0, 6).map((id) => `#${id}`);
const rtmpFields = ['rtmpflash', 'rtmpswf', 'rtmpuser', 'rtmppass'].map((n) => `[name="${n}"]`);

const showTab = (tab) => page.locator('#boxAdvFormat').getByRole('button', { name: tab, exact: true }).click();

async function openBox(tab) {
  await page.click('#btnAdvFormat');
  await ui.waitVisible(page, '#boxAdvFormat');
  await showTab(tab);
}

async function fill(values) {
  for (const [id, value] of Object.entries(values))
    await page.locator(`#${id}`).fill(String(value));
}

test('an existing fparam is read back into the HLS fields, which serve hls alone', { timeout: 30000 }, async () => {
  await ui.edit(page, 1);
  await openBox('HLS Config');
  for (const tab of ['Stream Selection', 'RTMP Param', 'HLS Config', 'Time Shifting', 'Custom Param'])
    assert.equal(await page.locator('#boxAdvFormat').getByRole('button', { name: tab, exact: true }).count(), 1, tab);
  await h.screenshot(page, 'box-advanced-format');
  const values = await boxValues();
  assert.deepEqual([values.hlsHours, values.hlsMinutes, values.hlsSeconds].map(Number), [1, 2, 5]);
  assert.equal(values.hlsListSize, '10');
  assert.equal(values.hlsStartNumber, '3');
  assert.equal(values.hlsBaseUrl, 'http://cdn.example/x/');
  assert.deepEqual(await disabled(hlsFields), hlsFields.map(() => false));
  assert.deepEqual(await disabled(rtmpFields), rtmpFields.map(() => true));
});

test('OK rebuilds fparam: 0:0:0 gives -hls_time 5 and the defaults add nothing', { timeout: 30000 }, async () => {
  await ui.edit(page, 1);
  await openBox('HLS Config');
  await fill({ hlsHours: 0, hlsMinutes: 0, hlsSeconds: 0, hlsListSize: 5, hlsStartNumber: 1, hlsBaseUrl: '' });
  await page.click('#boxAdvFormatOk');
  await ui.waitVisible(page, '#boxAdvFormat', false);
  assert.equal((await ui.panel(page)).fparam, '-hls_time 5');

  await openBox('HLS Config');
  await fill({ hlsMinutes: 1, hlsSeconds: 30, hlsListSize: 'many', hlsStartNumber: 'x', hlsBaseUrl: 'http://b/' });
  await page.click('#boxAdvFormatOk');
  assert.equal((await ui.panel(page)).fparam, '-hls_time 90 -hls_base_url http://b/', 'non-numbers add nothing');

  await openBox('HLS Config');
  await fill({ hlsMinutes: 0, hlsSeconds: 4, hlsListSize: 0, hlsStartNumber: 7, hlsBaseUrl: '' });
  await page.click('#boxAdvFormatOk');
  const built = '-hls_time 4 -hls_list_size 0 -start_number 7';
  assert.equal((await ui.panel(page)).fparam, built);
  await ui.apply(page, 1);
  assert.equal((await daemon.channel(1)).format, built);
  assert.match(daemon.configBlock(1), /FormatParam "-hls_time 4 -hls_list_size 0 -start_number 7"/);
  await page.click('#btnStart');
  assert.match(await daemon.transcoderLine('/media/one.m3u8'), /-hls_time 4 /);
  await page.click('#btnStop');
});

test('time shifting without a cache folder is refused; the folder is proposed', { timeout: 30000 }, async () => {
  await ui.selectRow(page, 2, 'udp://127.0.0.1:5002');
  await ui.edit(page, 2);
  await openBox('Time Shifting');
  assert.equal(await ui.field(page, 'tspath').inputValue(), '/var/orval/cache/2');
  assert.deepEqual(await disabled(hlsFields), hlsFields.map(() => true), 'HLS fields serve hls alone');
  await fill({ tsHours: 0, tsMinutes: 1, tsSeconds: 30 });
  await ui.field(page, 'tspath').fill('');
  const [message] = await Promise.all([h.nextDialog(page), page.click('#boxAdvFormatOk')]);
  assert.equal(message, 'Time Shifting enabled but cache folder not set!');
  assert.equal(await ui.visible(page, '#boxAdvFormat'), true, 'the box stays open');

  await ui.field(page, 'tspath').fill('/tmp/cache two');
  await page.click('#boxAdvFormatOk');
  await ui.waitVisible(page, '#boxAdvFormat', false);
  assert.equal(Number((await ui.panel(page)).tslen), 90);
  await ui.apply(page, 2);
  const second = await daemon.channel(2);
  assert.equal(second.tslen, 90);
  assert.equal(second.tspath, '/tmp/cache two');
  assert.match(daemon.configBlock(2), /TimeShiftSec 90\n/);
});

test('RTMP, stream selection and custom parameters reach the server', { timeout: 30000 }, async () => {
  await ui.edit(page, 2);
  await ui.choose(page, 'tfmt', 'rtmp');
  await openBox('RTMP Param');
  assert.deepEqual(await disabled(rtmpFields), rtmpFields.map(() => false));
  await ui.field(page, 'rtmpflash').fill('FMLE/3.0');
  await ui.field(page, 'rtmpswf').fill('http://swf.example/p.swf');
  await ui.field(page, 'rtmpuser').fill('pub');
  await ui.field(page, 'rtmppass').fill('pa ss');
  await showTab('Stream Selection');
  assert.equal(await ui.field(page, 'mparam').inputValue(), '-map 0:0');
  await ui.field(page, 'mparam').fill('-map 0:0 -map 0:1');
  await showTab('Custom Param');
  assert.equal(await ui.field(page, 'sparam').inputValue(), '-re');
  await ui.field(page, 'sparam').fill('-re -fflags +genpts');
  await ui.field(page, 'tparam').fill('-flvflags no_duration_filesize');
  await page.click('#boxAdvFormatOk');
  await ui.apply(page, 2);
  const second = await daemon.channel(2);
  assert.deepEqual([second.target.rtmpflash, second.target.rtmpswf, second.target.rtmpuser, second.target.rtmppass],
    ['FMLE/3.0', 'http://swf.example/p.swf', 'pub', 'pa ss']);
  assert.equal(second.map, '-map 0:0 -map 0:1');
  assert.equal(second.source.param, '-re -fflags +genpts');
  assert.equal(second.param, '-flvflags no_duration_filesize');
  assert.equal(second.tslen, 90, 'the time shift is kept');
});

test('Cancel restores every field of the box as it was at opening', { timeout: 30000 }, async () => {
  await ui.edit(page, 2);
  await openBox('Time Shifting');
  const before = { ...(await boxValues()), ...(await ui.panel(page)) };
  await fill({ tsHours: 2, tsMinutes: 3, tsSeconds: 4 });
  await ui.field(page, 'tspath').fill('/elsewhere');
  await showTab('Stream Selection');
  await ui.field(page, 'mparam').fill('-map 1:0');
  await showTab('Custom Param');
  await ui.field(page, 'sparam').fill('');
  await ui.field(page, 'tparam').fill('-x');
  await showTab('RTMP Param');
  await ui.field(page, 'rtmpuser').fill('other');
  await page.click('#boxAdvFormatCancel');
  await ui.waitVisible(page, '#boxAdvFormat', false);
  const restored = { ...(await boxValues()), ...(await ui.panel(page)) };
  for (const key of [...ids.slice(6), 'tspath', 'tslen', 'mparam', 'sparam', 'tparam', 'rtmpuser', 'fparam'])
    assert.equal(restored[key], before[key], key);
  await ui.apply(page, 2);
  const second = await daemon.channel(2);
  assert.deepEqual([second.tspath, second.map, second.source.param, second.param, second.target.rtmpuser],
    ['/tmp/cache two', '-map 0:0 -map 0:1', '-re -fflags +genpts', '-flvflags no_duration_filesize', 'pub']);
});

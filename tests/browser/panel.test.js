// panel.test.js: the channel panel: loading a channel with its conversions,
// Edit, Apply and Cancel, the source scheme rule, New Channel, the target
// formats' defaults, the advanced video box and the Escape key.
'use strict';

const { test, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');
const ui = require('./ui');

let browser;
let daemon;
let page;

before(async () => {
  ({ daemon, browser, page } = await ui.openSession({
    settings: 'RTSPPort 5554\n',
    channels:
      h.channelBlock(1, {
        memo: 'one',
        target: {
          VideoWidth: 1280, VideoHeight: 720, VideoFrameRate: 25, VideoKeyFrameInterval: 50, AudioChannel: 2,
          VideoParam: '"-Profile:v HIGH -level 4 -threads 8 -preset:v SLOW"',
        },
      }) +
      h.channelBlock(2, {
        memo: 'two',
        source: 'http://10.0.0.5/live.ts',
        target: {
          VideoFrameRate: 29.97, VideoBitRate: 1600, AudioSampleRate: 44100, AudioBitRate: 128, AudioChannel: 1,
          MuxBitRate: 3000, VideoParam: '"-preset:v bogus -profile:v main"',
        },
      }) +
      h.channelBlock(3, { memo: 'three', target: { VideoWidth: 800, VideoHeight: 600, VideoQuality: 70 } }) +
      h.channelBlock(4, { memo: 'four', format: 'rtsp', url: 'rtsp://127.0.0.1:5554/rtsp/004' }) +
      // Options that belong to one format: a DeckLink source's, an HLS and an RTMP target's.
      h.channelBlock(6, {
        memo: 'card', sourceFormat: 'decklink', source: 'DeckLink Mini Recorder',
        input: { VideoParam: '"-format_code Hi59"' },
      }) +
      h.channelBlock(7, { memo: 'hls', format: 'hls', url: '/media/seven.m3u8',
        output: { FormatParam: '"-hls_time 4 -hls_list_size 6"' } }) +
      h.channelBlock(8, { memo: 'rtmp', format: 'rtmp', url: 'rtmp://10.0.0.9/live/x',
        target: { RTMPPubUser: 'alice', RTMPPubPass: 'secret' } }),
  }, 'udp://127.0.0.1:5001'));
});

beforeEach(async () => {
  if (page)
    await ui.atRest(page);
});

after(() => ui.closeSession(browser, daemon));

// Sets the encoding preset slider as a person drags it.
async function setPreset(value) {
  await page.locator('#preset').evaluate((e, v) => {
    e.value = String(v);
    e.dispatchEvent(new Event('input', { bubbles: true }));
    e.dispatchEvent(new Event('change', { bubbles: true }));
  }, value);
}

async function cancelEditing() {
  if (await page.locator('[id^="row"] [name="surl"]').count())
    await page.click('#btnCancel');
  await h.waitFor(async () => (await page.locator('[id^="row"] [name="surl"]').count()) === 0, 'editing to end');
}

test('selecting a row loads the panel with Default, Original, three decimals and the size preset',
  { timeout: 30000 }, async () => {
    const first = await ui.panel(page);
    assert.equal(first.frameSize, 'hd720');
    assert.equal(first.vx, '1280');
    assert.equal(first.vy, '720');
    assert.equal(first.vr, '25.000');
    assert.equal(first.qv, 'Default');
    assert.equal(first.vb, 'Default');
    assert.equal(first.ar, 'Original');
    assert.equal(first.ab, 'Default');
    assert.equal(first.kfi, '50');
    assert.equal(first.ac, '2');
    assert.equal(first.cv, 'H264');
    assert.equal(first.ca, 'AAC');
    assert.equal(first.tfmt, 'udpts');
    assert.equal(first.ev, true);
    assert.equal(first.ea, true);
    assert.equal(first.tvparam.toLowerCase(), '-profile:v high -level 4 -threads 8 -preset:v slow');
    assert.deepEqual([first.profile, first.level, first.threads, first.preset], ['high', '4', '8', '7']);

    await ui.selectRow(page, 2, 'udp://127.0.0.1:5002');
    const second = await ui.panel(page);
    assert.equal(second.frameSize, '0');
    assert.equal(second.vr, '29.970');
    assert.equal(second.vb, '1600');
    assert.equal(second.ar, '44100');
    assert.equal(second.ab, '128');
    assert.equal(second.ac, '1');
    assert.equal(second.muxbr, '3000');
    assert.deepEqual([second.profile, second.level, second.threads, second.preset], ['main', 'default', '2', '3'],
      'an unknown preset name counts as 3');

    await ui.selectRow(page, 3, 'udp://127.0.0.1:5003');
    const third = await ui.panel(page);
    assert.equal(third.frameSize, 'other');
    assert.deepEqual([third.vx, third.vy], ['800', '600']);
    assert.equal(third.vr, 'Original');
    assert.equal(third.qv, '70');

    await ui.selectRow(page, 4, 'rtsp://127.0.0.1:5554/rtsp/004');
    assert.equal((await ui.panel(page)).tfmt, 'rtsp');
  });

test('a channel read that fails or is refused leaves the panel as it was', { timeout: 30000 }, async () => {
  await ui.selectRow(page, 1, 'udp://127.0.0.1:5001');
  let reads = 0;
  await page.route('**/channel3', (route) => {
    reads++;
    return reads === 1 ? route.abort() : route.fulfill({
      status: 500, contentType: 'text/xml',
      body: '<root><source format="file">\n<url>/broken</url>\n<param></param>\n<svparam></svparam>\n</source>\n' +
        '<targets total="1">\n<target format="file">\n/broken.mov\n</target>\n</targets>\n</root>\n',
    });
  });
  for (let i = 0; i < 2; i++) {
    await page.click('#row3 > td >> nth=1');
    await h.waitFor(() => reads > i, 'the read of channel 3');
  }
  await h.sleep(300);
  await page.unroute('**/channel3');
  const kept = await ui.panel(page);
  assert.equal(kept.turl, 'udp://127.0.0.1:5001');
  assert.equal(kept.tfmt, 'udpts');
  assert.deepEqual((await ui.rowTexts(page, 3)).slice(1, 3), ['/media/clip3.ts', 'three']);
});

test('the panel is locked until Edit; Apply and Cancel do nothing then', { timeout: 30000 }, async () => {
  await ui.selectRow(page, 2, 'udp://127.0.0.1:5002');
  for (const name of ['tfmt', 'turl', 'cv', 'vb', 'ca', 'ab'])
    assert.equal(await ui.field(page, name).isDisabled(), true, `${name} is disabled`);
  const requests = ui.recordRequests(page);
  await page.locator('#btnApply').click({ force: true });
  await page.locator('#btnCancel').click({ force: true });
  await h.sleep(300);
  requests.stop();
  assert.deepEqual(requests.seen.filter((r) => r.startsWith('POST')), []);
});

test('Edit puts the source editors into the row and picks the scheme; Cancel restores', { timeout: 30000 },
  async () => {
    await ui.edit(page, 2);
    const cells = page.locator('#row2 > td');
    assert.equal(await cells.nth(1).locator('[name="sfmt"]').count(), 1);
    assert.equal(await cells.nth(1).locator('[name="surl"]').count(), 1);
    assert.equal(await cells.nth(2).locator('[name="memo"]').count(), 1);
    const editing = await ui.panel(page);
    assert.equal(editing.sfmt, 'http');
    assert.equal(editing.surl, 'http://10.0.0.5/live.ts');
    assert.equal(editing.memo, 'two');
    assert.equal(await ui.field(page, 'turl').isDisabled(), false);

    await ui.field(page, 'memo').fill('changed');
    await ui.field(page, 'turl').fill('udp://127.0.0.1:9999');
    await ui.choose(page, 'cv', 'MJPEG');
    const requests = ui.recordRequests(page);
    await page.click('#btnCancel');
    await h.waitFor(async () => (await ui.field(page, 'turl').inputValue()) === 'udp://127.0.0.1:5002', 'the reload');
    requests.stop();
    assert.deepEqual(requests.seen.filter((r) => r.startsWith('POST')), []);
    assert.deepEqual((await ui.rowTexts(page, 2)).slice(0, 3), ['2', 'http://10.0.0.5/live.ts', 'two']);
    assert.equal((await ui.panel(page)).cv, 'H264');
    assert.equal(await ui.field(page, 'turl').isDisabled(), true);
    assert.equal((await daemon.channel(2)).memo, 'two');
  });

test('Apply refuses an empty source or target with an alert and sends nothing', { timeout: 30000 }, async () => {
  await ui.selectRow(page, 3, 'udp://127.0.0.1:5003');
  await ui.edit(page, 3);
  const requests = ui.recordRequests(page);
  await ui.field(page, 'surl').fill('');
  let [message] = await Promise.all([h.nextDialog(page), page.click('#btnApply')]);
  assert.equal(message, 'Media Source empty!');
  await ui.field(page, 'surl').fill('/media/other.ts');
  await ui.field(page, 'turl').fill('');
  [message] = await Promise.all([h.nextDialog(page), page.click('#btnApply')]);
  assert.equal(message, 'Target URL empty!');
  await h.sleep(300);
  requests.stop();
  assert.deepEqual(requests.seen.filter((r) => r.startsWith('POST')), []);
  assert.equal((await daemon.channel(3)).source.url, '/media/clip3.ts');
  await cancelEditing();
});

test('an rtsp address typed without its scheme is sent as rtsp://… with the format file', { timeout: 30000 },
  async () => {
    await ui.edit(page, 3);
    await ui.choose(page, 'sfmt', 'rtsp');
    await ui.field(page, 'surl').fill('192.168.1.10:554/live');
    await ui.field(page, 'memo').fill('camera & "door"');
    await ui.apply(page, 3);
    const third = await daemon.channel(3);
    assert.equal(third.source.url, 'rtsp://192.168.1.10:554/live');
    assert.equal(third.source.format, 'file');
    assert.equal(third.memo, 'camera & "door"');
    assert.match(daemon.configBlock(3), /Format file\n\s*File "rtsp:\/\/192\.168\.1\.10:554\/live"/);
    assert.deepEqual((await ui.rowTexts(page, 3)).slice(0, 3), ['3', 'rtsp://192.168.1.10:554/live', 'camera & "door"']);
    assert.equal(await page.locator('#row3 input, #row3 select').count(), 0, 'editing has ended');
    assert.equal(await ui.field(page, 'turl').isDisabled(), true);
    await page.click('#btnStart');
    assert.match(await daemon.transcoderLine('udp://127.0.0.1:5003'), /rtsp:\/\/192\.168\.1\.10:554\/live/);
    await page.click('#btnStop');
  });

test('Apply sends every panel field, with 0 for Original and Default', { timeout: 30000 }, async () => {
  await ui.selectRow(page, 1, 'udp://127.0.0.1:5001');
  await page.dblclick('#row1 > td >> nth=0');
  await page.locator('#row1 [name="surl"]').waitFor({ state: 'attached' });
  await ui.choose(page, 'cv', 'H265');
  await ui.choose(page, 'frameSize', 'sdtv');
  assert.deepEqual([await ui.field(page, 'vx').inputValue(), await ui.field(page, 'vy').inputValue()], ['720', '576']);
  await ui.choose(page, 'vr', '30');
  await ui.choose(page, 'vb', '2000');
  await ui.field(page, 'kfi').fill('75');
  await ui.field(page, 'deint').check();
  await ui.field(page, 'muxbr').fill('2500');
  await ui.choose(page, 'ca', 'MP3');
  await ui.choose(page, 'ar', '48000');
  await ui.choose(page, 'ac', '1');
  await ui.choose(page, 'ab', '64');
  await ui.apply(page, 1);
  let target = (await daemon.channel(1)).target;
  assert.deepEqual(
    [target.vcodec, target.width, target.height, target.fps, target.quality, target.vbr, target.kfi, target.deint,
      target.muxbr, target.acodec, target.srate, target.ach, target.abr, target.tvparam],
    ['H265', '720', '576', '30.000000', '0', '2000', '75', '1', '2500', 'MP3', '48000', '1', '64', '']);
  await page.click('#btnStart');
  const line = await daemon.transcoderLine('udp://127.0.0.1:5001');
  assert.match(line, /-s 720x576 /);
  assert.match(line, /-g 75 /);
  await page.click('#btnStop');

  await ui.edit(page, 1);
  for (const [name, text] of [['vr', 'Original'], ['vb', 'Default'], ['ar', 'Original'], ['ab', 'Default']])
    await ui.choose(page, name, text);
  await ui.field(page, 'ev').uncheck();
  await ui.apply(page, 1);
  target = (await daemon.channel(1)).target;
  assert.deepEqual([target.fps, target.vbr, target.srate, target.abr, target.venable],
    ['0.000000', '0', '0', '0', '0']);
  assert.equal((await ui.panel(page)).vr, 'Original');
});

test('New Channel proposes the defaults in the first empty row and saves them', { timeout: 30000 }, async () => {
  await page.click('#btnNew');
  await page.locator('#row5 [name="surl"]').waitFor({ state: 'attached' });
  assert.equal(await ui.background(page, '#row5'), ui.colours.selected);
  const fresh = await ui.panel(page);
  assert.deepEqual(
    [fresh.sfmt, fresh.surl, fresh.memo, fresh.tfmt, fresh.turl, fresh.ev, fresh.cv, fresh.frameSize, fresh.vx,
      fresh.vy, fresh.vr, fresh.qv, fresh.vb, fresh.kfi, fresh.deint, fresh.muxbr],
    ['file', '', '', 'udpts', 'udp://127.0.0.1:1234', true, 'H264', '0', '0', '0', 'Original', 'Default', 'Default',
      '50', false, '0']);
  assert.deepEqual([fresh.profile, fresh.level, fresh.threads, fresh.preset, fresh.tvparam],
    ['default', 'default', '2', '3', '']);
  assert.deepEqual([fresh.ea, fresh.ca, fresh.ar, fresh.ac, fresh.ab], [true, 'AAC', 'Original', '2', 'Default']);
  assert.deepEqual([fresh.mparam, fresh.fparam, fresh.rtmpflash, fresh.rtmpswf, fresh.rtmpuser, fresh.rtmppass,
    fresh.tspath, fresh.sparam, fresh.tparam], ['', '', '', '', '', '', '', '', '']);
  assert.equal(Number(fresh.tslen), 0);
  assert.match(await page.locator('body').innerText(), /Key Frame Interval \(frames\)/);

  await ui.field(page, 'surl').fill('/media/new.ts');
  await ui.field(page, 'memo').fill('fifth');
  await ui.apply(page, 5);
  const fifth = await daemon.channel(5);
  assert.equal(fifth.source.url, '/media/new.ts');
  assert.deepEqual(
    [fifth.target.format, fifth.target.url, fifth.target.kfi, fifth.target.vcodec, fifth.target.width,
      fifth.target.fps, fifth.target.quality, fifth.target.vbr, fifth.target.acodec, fifth.target.srate,
      fifth.target.ach, fifth.target.abr, fifth.target.venable, fifth.target.aenable],
    ['udpts', 'udp://127.0.0.1:1234', '50', 'H264', '0', '0.000000', '0', '0', 'AAC', '0', '2', '0', '1', '1']);
  assert.match(daemon.configBlock(5), /VideoKeyFrameInterval 50\n/);
  await page.click('#btnStart');
  assert.match(await daemon.transcoderLine('/media/new.ts'), /-g 50 /);
  await page.click('#btnStop');
});

test('each target format fills in its defaults', { timeout: 30000 }, async () => {
  await ui.edit(page, 5);
  const expected = {
    udpts: 'udp://127.0.0.1:1234', httpts: 'http://0.0.0.0:1234', rtpts: 'rtp://127.0.0.1:1234',
    hls: '/media/stream.m3u8', dash: '/media/stream.mpd', srt: 'srt://127.0.0.1:1234', file: '/media/stream.mov',
    ndi: 'ORVAL#5', httpmjpg: 'http://0.0.0.0:1234', rtsp: 'rtsp://127.0.0.1:5554/rtsp/005',
    rtmp: 'rtmp://192.168.1.2/live/stream',
  };
  for (const [format, url] of Object.entries(expected)) {
    await ui.choose(page, 'cv', 'MP2V');
    await ui.field(page, 'ea').check();
    await ui.choose(page, 'vb', '500');
    await ui.field(page, 'muxbr').fill('100');
    await ui.choose(page, 'ca', 'MP3');
    await ui.choose(page, 'ar', '22050');
    await ui.choose(page, 'tfmt', format);
    const after = await ui.panel(page);
    assert.equal(after.turl, url, format);
    const video = { rtmp: 'H264', hls: 'H264', dash: 'H264', httpmjpg: 'MJPEG' }[format] || 'MP2V';
    assert.equal(after.cv, video, `${format}: video encoding`);
    assert.equal(after.ea, format !== 'httpmjpg', `${format}: audio`);
    const rtmp = format === 'rtmp';
    assert.deepEqual([after.vb, after.muxbr, after.ca, after.ar],
      rtmp ? ['Default', '0', 'AAC', 'Original'] : ['500', '100', 'MP3', '22050'], `${format}: the rest`);
  }
  await ui.apply(page, 5);
  const fifth = await daemon.channel(5);
  assert.deepEqual([fifth.target.format, fifth.target.url, fifth.target.vcodec, fifth.target.vbr, fifth.target.muxbr],
    ['rtmp', 'rtmp://192.168.1.2/live/stream', 'H264', '0', '0']);
  assert.match(daemon.configBlock(5), /Format rtmp\n/);
});

test('the advanced video box builds tvparam, reads it back, and Cancel keeps it', { timeout: 30000 }, async () => {
  await ui.selectRow(page, 2, 'udp://127.0.0.1:5002');
  await ui.edit(page, 2);
  await page.click('#btnAdvVideo');
  await ui.waitVisible(page, '#boxAdvVideo');
  assert.match(await page.locator('#boxAdvVideo').innerText(), /6/, 'the tip on presets below 6');
  await h.screenshot(page, 'box-advanced-video');
  await ui.choose(page, 'profile', 'high');
  await ui.choose(page, 'level', '4');
  await ui.choose(page, 'threads', '4');
  await setPreset(6);
  await page.click('#boxAdvVideoOk');
  await ui.waitVisible(page, '#boxAdvVideo', false);
  const built = '-profile:v high -level 4 -threads 4 -preset:v medium';
  assert.equal((await ui.panel(page)).tvparam, built);

  await page.click('#btnAdvVideo');
  await ui.waitVisible(page, '#boxAdvVideo');
  assert.deepEqual(await page.evaluate(() => ['profile', 'level', 'threads', 'preset']
    .map((id) => document.getElementById(id).value)), ['high', '4', '4', '6']);
  await ui.choose(page, 'profile', 'baseline');
  await setPreset(9);
  await page.click('#boxAdvVideoCancel');
  await ui.waitVisible(page, '#boxAdvVideo', false);
  assert.equal((await ui.panel(page)).tvparam, built);
  assert.equal((await ui.panel(page)).profile, 'high', 'Cancel reads the text back into the controls');

  await ui.apply(page, 2);
  assert.equal((await daemon.channel(2)).target.tvparam, built);
  assert.match(daemon.configBlock(2), /VideoParam "-profile:v high -level 4 -threads 4 -preset:v medium"/);

  await ui.edit(page, 2);
  await page.click('#btnAdvVideo');
  await ui.waitVisible(page, '#boxAdvVideo');
  for (const [id, value] of [['profile', 'default'], ['level', 'default'], ['threads', '2']])
    await ui.choose(page, id, value);
  await setPreset(3);
  await page.click('#boxAdvVideoOk');
  assert.equal((await ui.panel(page)).tvparam, '', 'the defaults add nothing');
  await page.click('#btnAdvVideo');
  await setPreset(1);
  await page.click('#boxAdvVideoOk');
  assert.equal((await ui.panel(page)).tvparam, '-preset:v ultrafast');
  await ui.choose(page, 'cv', 'H265');
  assert.equal((await ui.panel(page)).tvparam, '', 'changing the encoding clears the text');
  await cancelEditing();
});

test('boxes are modal: focus enters them, Escape is their Cancel and gives focus back; then Escape asks '
  + 'before it throws changed values away', { timeout: 30000 }, async () => {
  await ui.selectRow(page, 1, 'udp://127.0.0.1:5001');
  await ui.edit(page, 1);
  await page.focus('#btnAdvFormat');
  await page.keyboard.press('Enter');
  await ui.waitVisible(page, '#boxAdvFormat');
  assert.ok(await page.evaluate(() => document.getElementById('boxAdvFormat').contains(document.activeElement)),
    'focus enters the box');
  // A modal box keeps the page behind it out of reach.
  await assert.rejects(page.locator('#btnSettings').click({ timeout: 500 }));
  await page.locator('#boxAdvFormat').getByRole('button', { name: 'Stream Selection', exact: true }).click();
  await ui.field(page, 'mparam').fill('-map 0:v');
  await page.keyboard.press('Escape');
  await ui.waitVisible(page, '#boxAdvFormat', false);
  assert.equal((await ui.panel(page)).mparam, '', 'Escape on the format box is its Cancel');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'btnAdvFormat', 'focus goes back');

  // Unchanged, Escape ends the editing at once; changed, it asks first.
  await page.keyboard.press('Escape');
  await h.waitFor(async () => (await page.locator('#row1 [name="surl"]').count()) === 0, 'editing to end');
  await ui.edit(page, 1);
  await ui.field(page, 'memo').fill('changed');
  let [question] = await Promise.all([h.nextDialog(page, false), page.keyboard.press('Escape')]);
  assert.equal(question, 'Discard the changes to channel 1?');
  assert.equal(await page.locator('#row1 [name="surl"]').count(), 1, 'still editing, the value kept');
  assert.equal(await ui.field(page, 'memo').inputValue(), 'changed');
  [question] = await Promise.all([h.nextDialog(page, true), page.keyboard.press('Escape')]);
  await h.waitFor(async () => (await page.locator('#row1 [name="surl"]').count()) === 0, 'editing to end');
  assert.equal((await daemon.channel(1)).memo, 'one');
});

// Delays the page's reads of channel n by `ms`, as a slow network does.
async function slowReads(n, ms) {
  await page.route(`**/channel${n}`, async (route) => {
    if (route.request().method() === 'GET')
      await h.sleep(ms);
    return route.continue();
  });
}

test('an edit begun before the channel arrived holds that channel\'s own settings', { timeout: 30000 }, async () => {
  const fourth = await daemon.channel(4);
  const first = await daemon.channel(1);
  await ui.selectRow(page, 1, first.target.url);
  await slowReads(4, 300);
  try {
    // A double click while the read takes 300 ms.
    await page.dblclick('#row4 > td >> nth=1');
    await page.locator('#row4 [name="surl"]').waitFor({ state: 'attached', timeout: 2000 });
    let editing = await ui.panel(page);
    assert.deepEqual([editing.surl, editing.memo, editing.turl], [fourth.source.url, fourth.memo, fourth.target.url]);
    await ui.apply(page, 4);
    assert.deepEqual(await daemon.channel(4), fourth, 'Apply wrote channel 4\'s own settings back');
    assert.deepEqual(await daemon.channel(1), first);

    // A click and Edit at once.
    await ui.selectRow(page, 1, first.target.url);
    await page.click('#row4 > td >> nth=1');
    await page.click('#btnEdit');
    await page.locator('#row4 [name="surl"]').waitFor({ state: 'attached', timeout: 2000 });
    editing = await ui.panel(page);
    assert.deepEqual([editing.surl, editing.turl], [fourth.source.url, fourth.target.url]);
  } finally {
    await page.unroute('**/channel4');
  }
  await cancelEditing();
});

// Waits for the page's message about an action to read `expected` (an
// earlier message may still be shown meanwhile).
async function notice(expected) {
  await h.waitFor(async () => (await ui.visible(page, '#notice')) &&
    expected.test(await page.locator('#notice').innerText()), `the message ${expected}`, 3000);
}

test('every refusal is shown with the server\'s reason, and editing goes on with the values typed',
  { timeout: 30000 }, async () => {
    await ui.selectRow(page, 2, 'udp://127.0.0.1:5002');
    const before = await daemon.channel(2);
    await ui.edit(page, 2);
    await ui.field(page, 'kfi').fill('99999999999');
    await page.click('#btnApply');
    await notice(/refused \(400\): Key Frame Interval must be a whole number/);
    assert.equal(await page.locator('#row2 [name="surl"]').count(), 1, 'still editing');
    assert.equal(await ui.field(page, 'kfi').inputValue(), '99999999999');

    await ui.field(page, 'kfi').fill('50');
    await page.evaluate(() => { document.getElementById('tparam').value = 'x'.repeat(1000); });
    await page.click('#btnApply');
    await notice(/refused \(413\): Target Param is longer than 999 characters/);
    await page.evaluate(() => { document.getElementById('tparam').value = ''; });

    // A 30-hour delay through the time-shifting page of the format box.
    await page.click('#btnAdvFormat');
    await page.locator('#boxAdvFormat').getByRole('button', { name: 'Time Shifting', exact: true }).click();
    await page.fill('#tsHours', '30');
    await page.click('#boxAdvFormatOk');
    await page.click('#btnApply');
    await notice(/refused \(400\): Time Shift delay must be a whole number from 0 to 86400/);
    assert.equal(await page.locator('#row2 [name="surl"]').count(), 1, 'still editing');
    // A failure stays until dismissed.
    await h.sleep(3500);
    assert.equal(await ui.visible(page, '#notice'), true);
    await page.locator('#notice').getByRole('button', { name: 'Dismiss' }).click();
    await ui.waitVisible(page, '#notice', false);
    assert.deepEqual(await daemon.channel(2), before);
    await cancelEditing();

    // A refused action says so too.
    await page.route('**/channel2?start*', (route) => route.fulfill({
      status: 500, contentType: 'text/plain', body: 'the engine is busy' }));
    try {
      await page.click('#btnStart');
      await notice(/Starting channel 2 was refused \(500\): the engine is busy/);
    } finally {
      await page.unroute('**/channel2?start*');
    }
    await page.locator('#notice').getByRole('button', { name: 'Dismiss' }).click();
  });

test('options that belong to a format go with it', { timeout: 30000 }, async () => {
  // Kept while the format stays.
  await ui.selectRow(page, 7, '/media/seven.m3u8');
  await ui.edit(page, 7);
  await ui.field(page, 'memo').fill('hls kept');
  await ui.apply(page, 7);
  assert.equal((await daemon.channel(7)).format, '-hls_time 4 -hls_list_size 6');

  const changes = [
    [6, 'udp://127.0.0.1:5006', async () => {
      await ui.choose(page, 'sfmt', 'file');
      await ui.field(page, 'surl').fill('/media/six.ts');
    }],
    [7, '/media/seven.m3u8', () => ui.choose(page, 'tfmt', 'udpts')],
    [8, 'rtmp://10.0.0.9/live/x', () => ui.choose(page, 'tfmt', 'udpts')],
  ];
  for (const [n, turl, change] of changes) {
    await ui.selectRow(page, n, turl);
    await ui.edit(page, n);
    await change();
    await ui.apply(page, n);
  }
  assert.equal((await daemon.channel(6)).source.svparam, '');
  assert.equal((await daemon.channel(7)).format, '');
  const eighth = (await daemon.channel(8)).target;
  assert.deepEqual([eighth.rtmpuser, eighth.rtmppass], ['', '']);
  assert.doesNotMatch(daemon.configBlock(8), /secret/);
  for (const [n, text, gone] of [[6, '/media/six.ts', /-format_code/], [7, 'udp://127.0.0.1:1234', /-hls_/]]) {
    await ui.selectRow(page, n, n === 6 ? 'udp://127.0.0.1:5006' : text);
    const [started] = await Promise.all([
      page.waitForResponse((r) => r.url().includes(`/channel${n}?start`), { timeout: 5000 }), page.click('#btnStart')]);
    assert.equal(started.status(), 200, `start of channel ${n}: ${await started.text()}`);
    assert.doesNotMatch(await daemon.transcoderLine(text), gone);
    await page.click('#btnStop');
  }
});

test('the keyboard: rows take focus, arrows move the selection, Enter edits and applies', { timeout: 30000 },
  async () => {
    await ui.selectRow(page, 1, (await daemon.channel(1)).target.url);
    await page.focus('#row1');
    await page.keyboard.press('ArrowDown');
    await h.waitFor(async () => (await ui.field(page, 'turl').inputValue()) === 'udp://127.0.0.1:5002', 'row 2 to load');
    assert.equal(await ui.background(page, '#row2'), ui.colours.selected);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'row2');
    await page.keyboard.press('Enter');
    await page.locator('#row2 [name="surl"]').waitFor({ state: 'attached' });
    await ui.field(page, 'memo').fill('typed');
    const post = page.waitForResponse(ui.isPost(2), { timeout: 3000 });
    await ui.field(page, 'memo').press('Enter');
    assert.equal((await post).status(), 200);
    await h.waitFor(async () => (await daemon.channel(2)).memo === 'typed', 'the memo to be saved');
    await h.waitFor(async () => (await page.locator('#row2 [name="surl"]').count()) === 0, 'editing to end');
  });

test('the continuity settings: shown from the document (defaults without), edited and sent; alarms marked, a target\'s too',
  { timeout: 30000 }, async () => {
    const continuity = '<bsrc>/media/backup &amp; slate.ts</bsrc>\n<stimeout>2500</stimeout>\n<ablack>0</ablack>\n' +
      '<afreeze>30</afreeze>\n<asilent>5</asilent>\n';
    await page.route('**/channel1', async (route) => {
      if (route.request().method() !== 'GET')
        return route.continue();
      const reply = await route.fetch();
      // The server's own elements give way to the test's.
      const body = (await reply.text()).replace(/<bsrc>[\s\S]*<\/asilent>\n/, '').replace('</root>', continuity + '</root>');
      return route.fulfill({ response: reply, body });
    });
    const shown = () => page.evaluate(() => ['bsrc', 'stimeout', 'ablack', 'afreeze', 'asilent']
      .map((id) => document.getElementById(id).value));
    try {
      await ui.selectRow(page, 2, 'udp://127.0.0.1:5002');
      assert.deepEqual(await shown(), ['', '1000', '10', '10', '10'], 'a document without them shows the defaults');
      await ui.selectRow(page, 1, (await daemon.channel(1)).target.url);
      assert.deepEqual(await shown(), ['/media/backup & slate.ts', '2500', '0', '30', '5']);
      await ui.edit(page, 1);
      await page.click('#btnAdvFormat');
      await page.locator('#boxAdvFormat').getByRole('button', { name: 'Backup & Alarms', exact: true }).click();
      assert.equal(await page.getByLabel('Silence Alarm after').inputValue(), '5');
      await page.getByLabel('Silence Alarm after').fill('7');
      await page.click('#boxAdvFormatOk');
      const [post] = await Promise.all([page.waitForRequest((r) => r.method() === 'POST'), page.click('#btnApply')]);
      const sent = new URLSearchParams(post.postData());
      assert.deepEqual(['bsrc', 'stimeout', 'ablack', 'afreeze', 'asilent'].map((k) => sent.get(k)),
        ['/media/backup & slate.ts', '2500', '0', '30', '7']);
    } finally {
      await page.unroute('**/channel1');
    }

    const now = Math.floor(Date.now() / 1000);
    await page.route('**/alarms', (route) => route.fulfill({ status: 200, contentType: 'application/json',
      body: JSON.stringify({ alarms: [{ channel: 1, kind: 'source_lost', since: now - 30 },
        { channel: 1, kind: 'on_backup', since: now - 29 }, { channel: 1, kind: 'target_down', target: 2, since: now - 5 },
        { channel: 3, kind: 'target_down', target: 1, since: now }] }) }));
    try {
      await h.waitFor(() => page.locator('#row1').evaluate((r) => r.classList.contains('alarm')), 'the mark on row 1', 9000);
      assert.equal(await page.locator('#row3').evaluate((r) => r.classList.contains('alarm')), true);
      assert.equal(await page.locator('#row2').evaluate((r) => r.classList.contains('alarm')), false);
      const listed = await page.locator('#alarmList li').allInnerTexts();
      assert.deepEqual(listed.map((t) => t.replace(/ since .*/, '')),
        ['Source lost', 'On backup source', 'Target down (target 2)']);
      assert.match(await page.locator('#row1 td.status').getAttribute('title'), /Source lost/);
      // A target's alarm alone marks its row.
      assert.match(await page.locator('#row3 td.status').getAttribute('title'), /^Alarm: Target down \(target 1\) since /);
      await h.screenshot(page, 'panel-alarms');
    } finally {
      await page.unroute('**/alarms');
    }
    // A service without alarms (404) shows none.
    await page.route('**/alarms', (route) => route.fulfill({ status: 404, body: '' }));
    try {
      await h.waitFor(() => page.locator('#row1').evaluate((r) => !r.classList.contains('alarm')), 'the mark to go');
    } finally {
      await page.unroute('**/alarms');
    }
  });

test('Start right after Apply acts on the channel just saved, without waiting for a poll', { timeout: 30000 },
  async () => {
    await ui.selectRow(page, 3, (await daemon.channel(3)).target.url);
    await page.route('**/status', (route) => route.abort());
    try {
      await ui.edit(page, 3);
      await ui.field(page, 'surl').fill('/media/right-after.ts');
      await ui.apply(page, 3);
      const [reply] = await Promise.all([
        page.waitForResponse((r) => r.url().includes('/channel3?start'), { timeout: 3000 }),
        page.click('#btnStart'),
      ]);
      assert.equal(reply.status(), 200);
      assert.match(await daemon.transcoderLine('/media/right-after.ts'), /right-after/);
    } finally {
      await page.unroute('**/status');
    }
    await page.click('#btnStop');
  });

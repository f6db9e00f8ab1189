// wall.test.js: the live pictures: the selected channel's above its panel and
// the Wall of every running channel, refreshed every five seconds. The fake
// transcoder writes no picture, so the test puts them where the real one
// would, in the work folder.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const h = require('./harness');
const ui = require('./ui');

let browser;
let daemon;
let page;

const colours = { red: [255, 0, 0], blue: [0, 0, 255], lime: [0, 255, 0], yellow: [255, 255, 0] };

function thumbFile(n) {
  return path.join(daemon.root, 'var', 'orval', 'thumb', `orva_${String(n).padStart(3, '0')}.jpg`);
}

// A 320 x 180 JPEG of one colour, replaced whole as the transcoder replaces it.
function writePicture(n, colour) {
  const file = thumbFile(n);
  fs.mkdirSync(path.dirname(file), { recursive: true });
  const temporary = `${file}.tmp.jpg`;
  execFileSync('ffmpeg', ['-v', 'error', '-nostdin', '-y', '-f', 'lavfi', '-i', `color=c=${colour}:s=320x180`,
    '-frames:v', '1', temporary]);
  fs.renameSync(temporary, file);
}

// The colour in the middle of an image as the page drew it, or null when it shows none.
async function shownColour(selector) {
  return page.locator(selector).evaluate((image) => {
    if (!image.complete || image.naturalWidth === 0 || !image.checkVisibility({ visibilityProperty: true }))
      return null;
    const canvas = document.createElement('canvas');
    canvas.width = image.naturalWidth;
    canvas.height = image.naturalHeight;
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    const [r, g, b] = context.getImageData(canvas.width / 2, canvas.height / 2, 1, 1).data;
    return [r, g, b];
  });
}

function near(shown, colour) {
  return shown !== null && shown.every((value, i) => Math.abs(value - colours[colour][i]) < 40);
}

async function waitForColour(selector, colour, limitMs = 8000) {
  await h.waitFor(async () => near(await shownColour(selector), colour), `${selector} to show ${colour}`, limitMs);
}

async function wallChannels() {
  return page.locator('#wallGrid .tile').evaluateAll((tiles) => tiles.map((t) => Number(t.dataset.channel)));
}

before(async () => {
  ({ daemon, browser, page } = await ui.openSession({
    channels: h.channelBlock(1, { enable: 1, memo: 'studio' }) + h.channelBlock(2, { memo: 'stopped' }) +
      h.channelBlock(3, { enable: 1, memo: 'field' }) + h.channelBlock(4, { enable: 1, memo: 'radio' }),
  }, 'udp://127.0.0.1:5001'));
  writePicture(1, 'red');
  writePicture(2, 'lime');  // left by an earlier run: channel 2 is not running
  writePicture(3, 'blue');
  await h.waitFor(async () => (await daemon.status()).slice(0, 4).map((s) => s.state).join() ===
    'start,stop,start,start', 'channels 1, 3 and 4 to run');
});

after(() => ui.closeSession(browser, daemon));

test('the selected channel shows its picture while it runs and none when it is stopped', { timeout: 30000 },
  async () => {
    await ui.selectRow(page, 1, 'udp://127.0.0.1:5001');
    await waitForColour('#thumb', 'red');
    // The picture's place stays, so the panel below it does not move.
    const panelTop = () => page.locator('#btnEdit').evaluate((e) => e.getBoundingClientRect().top);
    const top = await panelTop();
    await ui.selectRow(page, 2, 'udp://127.0.0.1:5002');
    await ui.waitVisible(page, '#thumb', false);
    assert.equal(await ui.visible(page, '#thumbNone'), true);
    await ui.selectRow(page, 4, 'udp://127.0.0.1:5004');
    await h.sleep(500);
    assert.equal(await ui.visible(page, '#thumb'), false, 'a channel without a picture shows none');
    assert.equal(await panelTop(), top, 'Edit stays where it was');
    await ui.selectRow(page, 3, 'udp://127.0.0.1:5003');
    await waitForColour('#thumb', 'blue');
  });

test('the wall shows every running channel in order and renews the pictures every five seconds',
  { timeout: 60000 }, async () => {
    await page.click('#btnWall');
    await ui.waitVisible(page, '#wall');
    await h.waitFor(async () => (await wallChannels()).join() === '1,3,4', 'the running channels on the wall');
    assert.deepEqual(await page.locator('#wallGrid .caption').allTextContents(),
      ['1  studio', '3  field', '4  radio']);
    await waitForColour('#wallGrid .tile[data-channel="1"] img', 'red');
    await waitForColour('#wallGrid .tile[data-channel="3"] img', 'blue');
    await h.waitFor(() => page.locator('#wallGrid .tile[data-channel="4"]').evaluate((t) => t.classList.contains('none')),
      'channel 4 to show that it has no picture');

    // New pictures are fetched again, not taken from the cache, within one period.
    const requests = ui.recordRequests(page);
    writePicture(1, 'yellow');
    await waitForColour('#wallGrid .tile[data-channel="1"] img', 'yellow', 8000);
    requests.stop();
    const fetched = requests.seen.filter((r) => r.startsWith('GET /thumb'));
    assert.ok(fetched.some((r) => r.startsWith('GET /thumb3?')), fetched.join(', '));
    assert.equal(new Set(fetched).size, fetched.length, 'every request has an address of its own');

    // A channel that stops leaves the wall at the next renewal.
    await daemon.request('channel3?stop');
    await h.waitFor(async () => (await wallChannels()).join() === '1,4', 'channel 3 to leave the wall', 8000);
    await page.keyboard.press('Escape');
    await ui.waitVisible(page, '#wall', false);
  });

test('a click on a picture on the wall selects that channel', { timeout: 30000 }, async () => {
  await page.click('#btnWall');
  await h.waitFor(async () => (await wallChannels()).includes(4), 'channel 4 on the wall');
  await page.click('#wallGrid .tile[data-channel="4"]');
  await ui.waitVisible(page, '#wall', false);
  await h.waitFor(async () => (await ui.field(page, 'turl').inputValue()) === 'udp://127.0.0.1:5004',
    'channel 4 in the panel');
});

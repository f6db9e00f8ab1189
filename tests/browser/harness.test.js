// harness.test.js: the harness itself against the daemon, before any page
// behaviour is relied on: the daemon answers "/" in Chromium, the documents
// parse, the fake transcoder records its line and reports progress.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');

let daemon;
let browser;

before(async () => {
  daemon = await h.startDaemon({
    channels: h.channelBlock(1, { memo: 'first & <one>' }) + h.channelBlock(3, { memo: 'third' }),
  });
  browser = await h.launchBrowser();
});

after(async () => {
  await browser?.close();
  await daemon?.stop();
});

test('the daemon serves "/" to Chromium under the application title', { timeout: 30000 }, async () => {
  const page = await h.openPage(browser, daemon);
  assert.equal(await page.title(), 'Kestova Live!');
});

test('channel and status documents parse, empty slots included', { timeout: 30000 }, async () => {
  const first = await daemon.channel(1);
  assert.equal(first.memo, 'first & <one>');
  assert.equal(first.source.url, '/media/clip1.ts');
  assert.equal(first.target.format, 'udpts');
  assert.equal(first.target.url, 'udp://127.0.0.1:5001');
  assert.equal(await daemon.channel(2), null);
  const status = await daemon.status();
  assert.equal(status.length, 64);
  assert.deepEqual(status[0], { state: 'stop', status: 'STOPPED' });
  assert.equal(status[1], null);
  assert.match(daemon.configBlock(3), /Memo "third"/);
});

test('a started channel runs the fake transcoder, which reports progress', { timeout: 30000 }, async () => {
  daemon.setProgress('frame=1 time=00:01:07.00 bitrate= 64.0kbits/s\n');
  assert.equal((await daemon.request('channel3?start')).status, 200);
  const line = await daemon.transcoderLine('udp://127.0.0.1:5003');
  assert.match(line, /clip3\.ts/);
  const status = await h.waitFor(async () => {
    const third = (await daemon.status())[2];
    return third.status.includes('00:01:07') && third;
  }, 'the progress in the status');
  assert.equal(status.state, 'start');
  assert.match(status.status, /64Kbps/);
  await daemon.request('channel3?stop');
  await h.waitFor(async () => (await daemon.status())[2].state === 'stop', 'the channel to stop');
});

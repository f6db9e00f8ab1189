// table.test.js: the channel table: gaps, hover and selection colours, the
// live status, Start and Stop, and Remove with the rows moving up.
'use strict';

const { test, before, after, describe } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');
const ui = require('./ui');

let browser;
before(async () => {
  browser = await h.launchBrowser();
});
after(async () => {
  await browser?.close();
});

// The status text as the cell shows it: every white-space character a
// non-breaking space.
const shown = (status) => status.replace(/\s/g, '\u00a0');

describe('slots 1 and 3 configured, slot 2 empty', () => {
  let daemon;
  let page;
  before(async () => {
    daemon = await h.startDaemon({
      channels: h.channelBlock(1, { memo: 'Studio <A> & "B"' }) + h.channelBlock(3, { memo: 'third' }),
    });
    page = await h.openPage(browser, daemon);
    await h.waitFor(async () => (await ui.rowTexts(page, 1))[3] !== '', 'the first poll');
  });
  after(async () => daemon?.stop());

  test('rows 1 and 3 show their channels, every other row is blank', { timeout: 30000 }, async () => {
    assert.deepEqual((await ui.rowTexts(page, 1)).slice(0, 3), ['1', '/media/clip1.ts', 'Studio <A> & "B"']);
    assert.deepEqual((await ui.rowTexts(page, 3)).slice(0, 3), ['3', '/media/clip3.ts', 'third']);
    for (const n of [2, 4, 37, 64])
      assert.deepEqual(await ui.rowTexts(page, n), ['', '', '', ''], `row ${n}`);
    assert.equal(await page.locator('#row1 > td').count(), 4);
    assert.ok(await page.locator('#row1 > td').nth(3).evaluate((c) => c.classList.contains('status')));
    assert.deepEqual(await ui.statusCell(page, 1).then((s) => s.text), 'STOPPED');
    assert.equal((await ui.statusCell(page, 2)).text, '');
  });

  test('row 1 is selected at load; hovering colours only rows with a channel', { timeout: 30000 }, async () => {
    assert.equal(await ui.background(page, '#row1'), ui.colours.selected);
    assert.equal(await ui.background(page, '#row3'), ui.colours.odd);
    assert.equal(await ui.background(page, '#row4'), ui.colours.even);

    await page.hover('#row3');
    assert.equal(await ui.background(page, '#row3'), ui.colours.selected);
    await page.hover('#row2');
    assert.equal(await ui.background(page, '#row3'), ui.colours.odd, 'leaving restores the stripe');
    assert.equal(await ui.background(page, '#row2'), ui.colours.even, 'an empty row is not coloured');
    await page.hover('#row5');
    assert.equal(await ui.background(page, '#row1'), ui.colours.selected, 'the selection stays coloured');
  });

  test('clicking the empty row 2 selects nothing and loads nothing', { timeout: 30000 }, async () => {
    const requests = ui.recordRequests(page);
    await page.click('#row2');
    await page.dblclick('#row2');
    await h.sleep(300);
    requests.stop();
    assert.deepEqual(requests.seen.filter((r) => r.includes('channel')), []);
    assert.equal(await ui.background(page, '#row1'), ui.colours.selected);
    assert.equal(await page.locator('#row2 input, #row2 select').count(), 0, 'no editing in row 2');
  });

  test('selecting row 3 moves the colour and loads channel 3', { timeout: 30000 }, async () => {
    await ui.selectRow(page, 3, 'udp://127.0.0.1:5003');
    assert.equal(await ui.background(page, '#row3'), ui.colours.selected);
    assert.equal(await ui.background(page, '#row1'), ui.colours.odd);
    await page.hover('#row3');
    await page.hover('#row1');
    await page.hover('#row4');
    assert.equal(await ui.background(page, '#row3'), ui.colours.selected, 'the selected row keeps its colour');
    assert.equal(await ui.background(page, '#row1'), ui.colours.odd);
  });

  test('Start shows RUNNING at once; the status follows the transcoder; Stop stops it', { timeout: 30000 },
    async () => {
      daemon.setProgress('');
      await ui.selectRow(page, 3, 'udp://127.0.0.1:5003');
      await page.click('#btnStart');
      const atOnce = await ui.statusCell(page, 3);
      assert.equal(atOnce.text, 'RUNNING');
      assert.match(atOnce.icon, /start\.png/);
      assert.match(await daemon.transcoderLine('udp://127.0.0.1:5003'), /clip3\.ts/);
      assert.equal((await daemon.status())[2].state, 'start');

      daemon.setProgress('frame=  10 fps=25 q=28.0 size=100kB time=00:01:07.40 bitrate= 512.3kbits/s speed=1x\n');
      const running = await h.waitFor(async () => {
        const server = (await daemon.status())[2];
        return server.status.includes('00:01:07') && server;
      }, 'the server to read the progress');
      await h.waitFor(async () => (await ui.statusCell(page, 3)).text === shown(running.status),
        `the cell to show "${running.status}"`);
      assert.match(running.status, /00:01:07 +512Kbps/);
      assert.match((await ui.statusCell(page, 3)).icon, /start\.png/);
      assert.equal((await ui.statusCell(page, 1)).text, 'STOPPED', 'row 1 is not started');

      await page.click('#btnStop');
      await h.waitFor(async () => (await daemon.status())[2].state === 'stop', 'the server to stop channel 3');
      await h.waitFor(async () => (await ui.statusCell(page, 3)).text === 'STOPPED', 'the cell to show STOPPED');
      assert.match((await ui.statusCell(page, 3)).icon, /stop\.png/);
    });

  test('a failed or refused poll keeps what is shown, and polling goes on', { timeout: 30000 }, async () => {
    daemon.setProgress('frame=1 time=00:00:09.00 bitrate= 64.0kbits/s\n');
    await ui.selectRow(page, 1, 'udp://127.0.0.1:5001');
    await page.click('#btnStart');
    const running = await h.waitFor(async () => {
      const server = (await daemon.status())[0];
      return server.status.includes('00:00:09') && server;
    }, 'channel 1 to report progress');
    await h.waitFor(async () => (await ui.statusCell(page, 1)).text === shown(running.status), 'the cell to follow');

    // The server stops the channel while the page cannot read the status.
    let polls = 0;
    await page.route('**/status', (route) => {
      polls++;
      return polls % 2 ? route.abort() : route.fulfill({
        status: 500, contentType: 'text/xml',
        body: '<root>\n<ch id="1"><state>term</state><status>BROKEN</status></ch>\n</root>',
      });
    });
    await daemon.request('channel1?stop');
    await h.waitFor(() => polls >= 3, 'three polls', 6000);
    assert.deepEqual(await ui.statusCell(page, 1).then((s) => s.text), shown(running.status));
    assert.match((await ui.statusCell(page, 1)).icon, /start\.png/);

    await page.unroute('**/status');
    await h.waitFor(async () => (await ui.statusCell(page, 1)).text === 'STOPPED', 'polling to go on');
  });

  test('the status is asked for about once a second', { timeout: 30000 }, async () => {
    const requests = ui.recordRequests(page);
    await h.sleep(3500);
    requests.stop();
    const polls = requests.seen.filter((r) => r === 'GET /status').length;
    assert.ok(polls >= 3 && polls <= 5, `${polls} polls in 3.5 s`);
  });

  test('New Channel takes the empty row 2 and saves a channel there', { timeout: 30000 }, async () => {
    await page.click('#btnNew');
    await page.locator('#row2 [name="surl"]').waitFor({ state: 'attached' });
    assert.equal(await ui.background(page, '#row2'), ui.colours.selected);
    await ui.field(page, 'surl').fill('/media/second.ts');
    await ui.field(page, 'memo').fill('second');
    await ui.apply(page, 2);
    const second = await daemon.channel(2);
    assert.equal(second.source.url, '/media/second.ts');
    assert.equal(second.memo, 'second');
    assert.match(daemon.configBlock(2), /Memo "second"/);
    assert.deepEqual((await ui.rowTexts(page, 2)).slice(0, 3), ['2', '/media/second.ts', 'second']);
  });
});

describe('no channel in slot 1', () => {
  let daemon;
  let page;
  before(async () => {
    daemon = await h.startDaemon({ channels: h.channelBlock(3, { memo: 'third' }) });
    page = await h.openPage(browser, daemon);
  });
  after(async () => daemon?.stop());

  test('without a channel selected only New Channel is offered, and nothing is sent', { timeout: 30000 },
    async () => {
    const requests = ui.recordRequests(page);
    for (const button of ['#btnStart', '#btnStop', '#btnEdit', '#btnRemove']) {
      assert.equal(await page.locator(button).isDisabled(), true, button);
      await page.locator(button).click({ force: true });
    }
    assert.equal(await page.locator('#btnNew').isDisabled(), false);
    await h.sleep(300);
    requests.stop();
    assert.deepEqual(requests.seen.filter((r) => r.includes('channel')), []);
    assert.equal((await daemon.status())[2].state, 'stop');
    assert.deepEqual(daemon.transcoderLines(), []);
  });
});

describe('five channels', () => {
  let daemon;
  let page;
  const memos = ['one', 'two', 'three', 'four', 'five'];
  before(async () => {
    daemon = await h.startDaemon({
      channels: memos.map((memo, i) => h.channelBlock(i + 1, { memo })).join(''),
    });
    page = await h.openPage(browser, daemon);
  });
  after(async () => daemon?.stop());

  test('several channels running, as the operator sees them', { timeout: 30000 }, async () => {
    daemon.setProgress('frame=500 fps=25 q=28.0 size=2048kB time=00:12:34.56 bitrate=1534.2kbits/s speed=1x\n');
    for (const n of [1, 2, 4]) {
      await ui.selectRow(page, n, `udp://127.0.0.1:${5000 + n}`);
      await page.click('#btnStart');
    }
    for (const n of [1, 2, 4]) {
      await h.waitFor(async () => (await ui.statusCell(page, n)).text.includes('00:12:34'), `row ${n} to run`);
      assert.match((await ui.statusCell(page, n)).text, /1534Kbps/);
    }
    assert.equal((await ui.statusCell(page, 3)).text, 'STOPPED');
    await h.screenshot(page, 'page-running');
  });

  // At 1100 px the 160-pixel cell must show "00:12:34   1534Kbps" whole.
  test('a running channel\'s status text fits its cell', { timeout: 30000 }, async () => {
    for (const n of [1, 2, 4]) {
      const [width, needed] = await page.locator(`#row${n} td.status`).evaluate((c) => [c.clientWidth, c.scrollWidth]);
      assert.ok(needed <= width, `row ${n}: the status needs ${needed} px of ${width}`);
    }
  });

  test('the running channels stop', { timeout: 30000 }, async () => {
    for (const n of [1, 2, 4])
      await daemon.request(`channel${n}?stop`);
    await h.waitFor(async () => (await daemon.status()).slice(0, 5).every((c) => c.state === 'stop'),
      'every channel to stop');
  });

  test('Remove asks first; dismissed, nothing changes', { timeout: 30000 }, async () => {
    await ui.selectRow(page, 3, 'udp://127.0.0.1:5003');
    const [message] = await Promise.all([h.nextDialog(page, false), page.click('#btnRemove')]);
    assert.equal(message, 'Remove this channel?');
    await h.sleep(300);
    assert.equal((await daemon.channel(3)).memo, 'three');
    assert.deepEqual((await ui.rowTexts(page, 3)).slice(0, 3), ['3', '/media/clip3.ts', 'three']);
  });

  test('Remove moves the rows below up, as the server renumbers', { timeout: 30000 }, async () => {
    await Promise.all([h.nextDialog(page, true), page.click('#btnRemove')]);
    await h.waitFor(async () => (await ui.rowTexts(page, 5))[0] === '', 'row 5 to empty');
    assert.deepEqual((await ui.rowTexts(page, 3)).slice(0, 3), ['3', '/media/clip4.ts', 'four']);
    assert.deepEqual((await ui.rowTexts(page, 4)).slice(0, 3), ['4', '/media/clip5.ts', 'five']);
    assert.deepEqual((await ui.rowTexts(page, 5)).slice(0, 3), ['', '', '']);
    assert.deepEqual((await ui.rowTexts(page, 2)).slice(0, 3), ['2', '/media/clip2.ts', 'two']);

    assert.equal((await daemon.channel(3)).memo, 'four');
    assert.equal((await daemon.channel(4)).memo, 'five');
    assert.equal(await daemon.channel(5), null);
    assert.doesNotMatch(daemon.config(), /three/);
    assert.match(daemon.configBlock(3), /Memo "four"/);
    await h.waitFor(async () => (await ui.statusCell(page, 4)).text === 'STOPPED', 'row 4 to follow the server');
  });
});

describe('the table follows the server', () => {
  let daemon;
  let page;
  const memos = ['one', 'two', 'three', 'four'];
  const channels = () => memos.map((memo, i) => h.channelBlock(i + 1, { memo })).join('');
  // Waits as long as three times the two seconds the page has to follow a change.
  const follows = (n, texts, what) => h.waitFor(async () =>
    JSON.stringify((await ui.rowTexts(page, n)).slice(0, 3)) === JSON.stringify(texts), what, 6000);
  before(async () => {
    daemon = await h.startDaemon({ channels: channels() });
    page = await h.openPage(browser, daemon);
    await h.waitFor(async () => (await ui.rowTexts(page, 1))[3] !== '', 'the first poll');
  });
  after(async () => daemon?.stop());

  test('an edit, a removal and an import made elsewhere reach the rows and the panel within 2 s',
    { timeout: 40000 }, async () => {
      await ui.selectRow(page, 3, 'udp://127.0.0.1:5003');
      assert.equal((await daemon.request('channel1', { method: 'POST', body: 'surl=%2Fmedia%2Fnew1.ts&memo=edited' }))
        .status, 200);
      await follows(1, ['1', '/media/new1.ts', 'edited'], 'the edit to reach row 1');

      assert.equal((await daemon.request('channel2?remove')).status, 200);
      await follows(2, ['2', '/media/clip3.ts', 'three'], 'row 2 to show the former channel 3');
      await follows(3, ['3', '/media/clip4.ts', 'four'], 'row 3 to show the former channel 4');
      await follows(4, ['', '', ''], 'row 4 to empty');
      assert.equal((await ui.statusCell(page, 4)).text, '');
      // The selected row 3 now holds another channel: the panel shows it.
      await h.waitFor(async () => (await ui.field(page, 'turl').inputValue()) === 'udp://127.0.0.1:5004',
        'the panel to show the channel now numbered 3', 6000);

      const imported = `# Kestova Configuration File\n\nAutoRestart 0\nHTTPPort ${new URL(daemon.url).port}\n\n` +
        h.channelBlock(2, { memo: 'imported' }) + h.channelBlock(5, { memo: 'fifth' });
      const form = new FormData();
      form.append('file', new Blob([imported]), 'orval.conf');
      assert.equal((await daemon.request('import', { method: 'POST', body: form })).status, 301);
      await follows(1, ['', '', ''], 'row 1 to empty after the import');
      await follows(2, ['2', '/media/clip2.ts', 'imported'], 'row 2 to show the import');
      await follows(5, ['5', '/media/clip5.ts', 'fifth'], 'row 5 to show the import');
      await follows(3, ['', '', ''], 'row 3 to empty after the import');
    });

  test('an action acts on the channel the operator sees: a renumbered row is refused, nothing runs',
    { timeout: 30000 }, async () => {
      await ui.selectRow(page, 5, 'udp://127.0.0.1:5005');
      // The page stops hearing from the server; meanwhile channel 2 is removed elsewhere.
      await page.route('**/status', (route) => route.abort());
      try {
        assert.equal((await daemon.request('channel2?remove')).status, 200);
        const before = daemon.transcoderLines().length;
        await page.click('#btnStart');
        await h.waitFor(async () => /Starting channel 5 was refused \(409\): Channel 5 was changed/
          .test(await page.locator('#notice').innerText()), 'the refusal to be shown', 3000);
        await h.sleep(300);
        assert.equal(daemon.transcoderLines().length, before, 'nothing started');
        assert.equal(await daemon.channel(5), null);
      } finally {
        await page.unroute('**/status');
      }
      await follows(5, ['', '', ''], 'row 5 to empty');
      await follows(4, ['4', '/media/clip5.ts', 'fifth'], 'row 4 to show the former channel 5');
      await page.locator('#notice').getByRole('button', { name: 'Dismiss' }).click();
    });

  test('an empty row offers New Channel only, also after New Channel and Cancel', { timeout: 30000 }, async () => {
    // Row 4 holds the former channel 5 since the removal.
    await ui.selectRow(page, 4, 'udp://127.0.0.1:5005');
    await page.click('#btnNew');
    await page.locator('#row1 [name="surl"]').waitFor({ state: 'attached' });
    await page.click('#btnCancel');
    await h.waitFor(async () => (await page.locator('#row1 [name="surl"]').count()) === 0, 'editing to end');
    assert.equal(await ui.background(page, '#row1'), ui.colours.odd, 'the empty row is not selected');
    assert.equal(await ui.background(page, '#row4'), ui.colours.selected, 'the selection goes back');
    assert.deepEqual(await ui.rowTexts(page, 1), ['', '', '', '']);
    // With nothing selected, nothing but New Channel acts.
    await page.evaluate(() => selectRow(0));
    for (const button of ['#btnStart', '#btnStop', '#btnEdit', '#btnRemove'])
      assert.equal(await page.locator(button).isDisabled(), true, button);
    assert.equal(await page.locator('#btnNew').isDisabled(), false);
    const lines = daemon.transcoderLines().length;
    await page.locator('#btnStart').click({ force: true });
    await h.sleep(300);
    assert.equal(daemon.transcoderLines().length, lines);
  });

  test('"connection lost" within 3 s of the service stopping; by itself live again, rows read anew',
    { timeout: 60000 }, async () => {
      await h.waitFor(async () => (await page.locator('#live').innerText()).startsWith('live'), 'live', 6000);
      const stopped = Date.now();
      await daemon.halt(h.channelBlock(1, { memo: 'after restart' }));
      await h.waitFor(async () => (await page.locator('#live').innerText()).startsWith('connection lost'),
        '"connection lost"', 9000);
      console.log(`"connection lost" shown ${Date.now() - stopped} ms after the stop began`);
      assert.equal(await page.locator('body').evaluate((b) => b.classList.contains('stale')), true);
      await h.screenshot(page, 'page-connection-lost');
      await daemon.launch();
      await h.waitFor(async () => (await page.locator('#live').innerText()).startsWith('live'), 'live again', 9000);
      await follows(1, ['1', '/media/clip1.ts', 'after restart'], 'row 1 to be read anew');
      await follows(4, ['', '', ''], 'row 4 to be read anew');
    });
});

describe('a session refused', () => {
  let daemon;
  let page;
  before(async () => {
    daemon = await h.startDaemon({ loginPass: 'first', channels: h.channelBlock(1, { memo: 'one' }) });
    page = await h.openPage(browser, daemon);
    await h.waitFor(async () => (await ui.rowTexts(page, 1))[3] !== '', 'the first poll');
  });
  after(async () => daemon?.stop());

  test('a password changed elsewhere shows "log in again"', { timeout: 30000 }, async () => {
    assert.equal((await daemon.request('global_config', { method: 'POST', body: 'http_port=' +
      new URL(daemon.url).port + '&login_pass=second' })).status, 200);
    await h.waitFor(async () => (await page.locator('#live').innerText()).includes('log in again'),
      '"log in again"', 9000);
    assert.equal(await ui.visible(page, '#loginAgain'), true);
  });
});

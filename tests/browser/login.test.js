// login.test.js: the page's frame and the warning box, without a login
// password and with one (logging in through the login page).
'use strict';

const { test, before, after, describe } = require('node:test');
const assert = require('node:assert/strict');
const http = require('node:http');
const h = require('./harness');
const ui = require('./ui');

let browser;
before(async () => {
  browser = await h.launchBrowser();
});
after(async () => {
  await browser?.close();
});

const warningLines = [
  'CAUTION!',
  'ORVAL web interface is INSECURE! Channel configuration details and HTTP streams could be',
  'exposed to unexpected streamers over the internet. Please set up web login password in Global Settings immediately!',
];

const squash = (text) => text.replace(/\s+/g, ' ').trim();

describe('without a login password', () => {
  let daemon;
  let page;
  before(async () => {
    daemon = await h.startDaemon({ channels: h.channelBlock(1, { memo: 'first' }) });
    page = await h.openPage(browser, daemon);
  });
  after(async () => daemon?.stop());

  test('the page is served whole: title, logo, version, table and buttons', { timeout: 30000 }, async () => {
    assert.equal(await page.title(), 'Kestova Live!');
    assert.match(await page.locator('#logo').textContent(), /Kestova Live!/);
    assert.match(await page.locator('body').textContent(), /Version 5\.13\.4\.1/);
    const header = await page.locator('#channels tr').first().locator('th, td')
      .evaluateAll((cells) => cells.map((c) => c.textContent.trim()));
    assert.deepEqual(header, ['#', 'Media Source', 'Memo', 'Status']);
    assert.equal(await page.locator('#channels tr[id^="row"]').count(), 64);
    const labels = { btnStart: 'Start Channel', btnStop: 'Stop Channel', btnSettings: 'Global Settings',
      btnManual: 'Online Manual', btnEdit: 'Edit', btnApply: 'Apply', btnCancel: 'Cancel',
      btnNew: 'New Channel', btnRemove: 'Remove Channel', btnAdvFormat: 'Advanced...', btnAdvVideo: 'Advanced' };
    for (const [id, label] of Object.entries(labels))
      assert.equal((await page.locator(`#${id}`).textContent()).trim() ||
        await page.locator(`#${id}`).getAttribute('value'), label, id);
    const frame = page.locator('iframe#iframe_hidden');
    assert.equal(await frame.getAttribute('name'), 'iframe_hidden');
    const box = await frame.evaluate((e) => e.getBoundingClientRect());
    assert.ok(!(await ui.visible(page, '#iframe_hidden')) || box.width * box.height <= 1, 'the frame is hidden');
  });

  test('the warning box stands above the table with its three lines', { timeout: 30000 }, async () => {
    assert.equal((await daemon.settings()).loginPass, '');
    assert.equal(await ui.visible(page, '#warning'), true);
    const text = squash(await page.locator('#warning').textContent());
    for (const line of warningLines)
      assert.ok(text.includes(line), `warning lacks "${line}": ${text}`);
    const bold = await page.locator('#warning b, #warning strong').first().textContent();
    assert.equal(bold.trim(), 'CAUTION!');
    const warningBottom = await page.locator('#warning').evaluate((e) => e.getBoundingClientRect().bottom);
    const tableTop = await page.locator('#channels').evaluate((e) => e.getBoundingClientRect().top);
    assert.ok(warningBottom <= tableTop, 'the warning is above the table');
    await h.screenshot(page, 'page-warning');
  });

  test('the online manual opens in a window of its own and is served', { timeout: 30000 }, async () => {
    const [manual] = await Promise.all([browser.waitForEvent('page'), page.click('#btnManual')]);
    await manual.waitForLoadState();
    const reply = await daemon.request(new URL(manual.url()).pathname);
    assert.equal(reply.status, 200);
    assert.match(await manual.locator('body').textContent(), /time shift/i);
    await manual.close();
  });
  test('a page of another origin changes nothing: its form post and its removal link are refused',
    { timeout: 30000 }, async () => {
      const settings = await daemon.settings();
      // The removal goes first, as an image; the form is posted once it has failed.
      const evil = http.createServer((request, reply) => {
        reply.setHeader('Content-Type', 'text/html');
        reply.end('<!doctype html><title>elsewhere</title>' +
          `<form id="f" method="post" action="${daemon.url}global_config">` +
          '<input name="log" value="on"><input name="auto_restart" value="77"></form>' +
          `<img src="${daemon.url}channel1?remove" onerror="f.submit()" onload="f.submit()">`);
      });
      await new Promise((resolve) => evil.listen(0, '127.0.0.1', resolve));
      const visitor = await browser.newPage();
      try {
        const removal = visitor.waitForResponse((r) => r.url().endsWith('/channel1?remove'), { timeout: 5000 });
        const post = visitor.waitForResponse((r) => r.url().endsWith('/global_config'), { timeout: 5000 });
        await visitor.goto(`http://127.0.0.1:${evil.address().port}/`);
        assert.equal((await removal).status(), 403);
        assert.equal((await post).status(), 403);
      } finally {
        await visitor.close();
        evil.close();
      }
      assert.deepEqual(await daemon.settings(), settings);
      assert.equal((await daemon.channel(1)).memo, 'first');
    });
});

describe('with a login password', () => {
  let daemon;
  // The login form's redirect back to "/", loaded.
  const backToPage = (page) => page.waitForResponse((r) => r.request().isNavigationRequest() &&
    r.request().method() === 'GET' && r.url() === daemon.url).then(() => page.waitForLoadState());
  before(async () => {
    daemon = await h.startDaemon({ loginPass: 'open sesame&1', channels: h.channelBlock(1, { memo: 'first' }) });
  });
  after(async () => daemon?.stop());

  test('a browser without the cookie logs in through the login page', { timeout: 30000 }, async () => {
    await browser.clearCookies();
    const page = await browser.newPage();
    try {
      await page.goto(daemon.url);
      assert.equal(await page.locator('#channels').count(), 0);
      await page.fill('input[name="auth"]', 'wrong');
      // A wrong password is answered by the login page again, saying so.
      await Promise.all([page.waitForNavigation(), page.click('input[type="submit"]')]);
      assert.equal(await page.locator('#channels').count(), 0, 'a wrong password shows the login page again');
      assert.match(await page.locator('body').innerText(), /Wrong password/);

      await page.fill('input[name="auth"]', 'open sesame&1');
      await Promise.all([backToPage(page), page.click('input[type="submit"]')]);
      await page.locator('#channels').waitFor();
      const cookie = (await browser.cookies(daemon.url)).find((c) => c.name === 'auth');
      assert.equal(decodeURIComponent(cookie.value.replace(/\+/g, ' ')), 'open sesame&1');
      const warnings = await page.locator('#warning').count();
      assert.ok(warnings === 0 || !(await ui.visible(page, '#warning')), 'no warning with a password');
      assert.equal((await daemon.settings()).loginPass, 'open sesame&1');
      // The page's own requests carry the cookie: the status fills row 1.
      await h.waitFor(async () => (await ui.rowTexts(page, 1))[3].includes('STOPPED'), 'the first poll');
      assert.deepEqual((await ui.rowTexts(page, 1)).slice(0, 3), ['1', '/media/clip1.ts', 'first']);
    } finally {
      await page.close();
    }
  });
});

// settings.test.js: the global settings box: its fields as the server holds
// them, OK and Cancel, Import with its confirmation and Export.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const h = require('./harness');
const ui = require('./ui');

let browser;
let daemon;
let page;

before(async () => {
  daemon = await h.startDaemon({
    settings: 'Log 32\nAutoStart 1\nFolderRecur 1\nCpuPerChannel 2\nRTSPPort 5554\n',
    channels: h.channelBlock(1, { memo: 'one' }),
  });
  browser = await h.launchBrowser();
  page = await h.openPage(browser, daemon);
});

after(async () => {
  await browser?.close();
  await daemon?.stop();
});

async function openSettings() {
  await page.click('#btnSettings');
  await ui.waitVisible(page, '#boxSettings');
  await h.waitFor(async () => !(await page.locator('#boxSettingsOk').isDisabled()), 'the settings to arrive');
}

async function settingsForm() {
  return page.evaluate(() => Object.fromEntries(
    ['http_port', 'login_pass', 'log', 'autorun', 'auto_restart', 'folder_recur', 'cpu_affinity'].map((name) => {
      const e = document.querySelector(`#boxSettings [name="${name}"]`);
      return [name, e.type === 'checkbox' ? e.checked : e.value];
    })));
}

// The check box beside the restart delay, found by its label as a person does.
const restartBox = () => page.locator('#boxSettings').getByLabel('Auto Restart Streaming on Failure after');

const isYellow = (rgb) => {
  const [r, g, b] = rgb.match(/\d+/g).map(Number);
  return r > 200 && g > 200 && b < 200;
};

test('OK waits for the settings, then the fields show them; an empty password is yellow', { timeout: 30000 },
  async () => {
    let release;
    const held = new Promise((resolve) => { release = resolve; });
    await page.route('**/global_config', async (route) => {
      await held;
      await route.continue();
    });
    await page.click('#btnSettings');
    await ui.waitVisible(page, '#boxSettings');
    assert.equal(await page.locator('#boxSettingsOk').isDisabled(), true, 'OK waits for the settings');
    release();
    await h.waitFor(async () => !(await page.locator('#boxSettingsOk').isDisabled()), 'the settings to arrive');
    await page.unroute('**/global_config');

    assert.deepEqual(await settingsForm(), {
      http_port: String(daemon.port), login_pass: '', log: true, autorun: true, auto_restart: '0',
      folder_recur: true, cpu_affinity: '2',
    });
    assert.ok(isYellow(await ui.background(page, '#boxSettings [name="login_pass"]')), 'the empty password is yellow');
    const text = await page.locator('#boxSettings').innerText();
    const shownValues = await page.locator('#boxSettings input[readonly]').evaluateAll((list) => list.map((e) => e.value));
    const acl = path.join(daemon.root, 'etc/orval/orval.acl');
    assert.ok(text.includes(acl) || shownValues.includes(acl), `the access list path: ${text} ${shownValues}`);
    assert.equal(await restartBox().isChecked(), false, 'no automatic restart');
    for (const label of ['HTTP Port', 'Web Login Password', 'Debug Log', 'Auto Start on System Boot',
      'Recursive in Folder Streaming', 'Enable CPU Affinity Management', 'Logical Processor(s) per Channel',
      '(Loop Play in Single File Streaming)'])
      assert.ok(text.includes(label), `the box names "${label}"`);
    await h.screenshot(page, 'box-settings');
  });

test('Cancel closes the box and changes nothing', { timeout: 30000 }, async () => {
  await page.locator('#boxSettings [name="cpu_affinity"]').fill('9');
  const requests = ui.recordRequests(page);
  await page.click('#boxSettingsCancel');
  await ui.waitVisible(page, '#boxSettings', false);
  await h.sleep(300);
  requests.stop();
  assert.deepEqual(requests.seen.filter((r) => r.startsWith('POST')), []);
  assert.equal((await daemon.settings()).cpuAffinity, 2);
});

test('Import asks first; confirmed, it replaces the channels and comes back to the page', { timeout: 30000 },
  async () => {
    const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'orval-import-')), 'other.conf');
    fs.writeFileSync(file, `# Kestova Configuration File\n\nHTTPPort ${daemon.port}\nRTSPPort 5554\nAutoRestart 0\n\n` +
      h.channelBlock(5, { memo: 'imported' }));
    const input = page.locator('input[type="file"][name="file"]');
    assert.match(await input.getAttribute('accept'), /\.conf/);

    const [message] = await Promise.all([h.nextDialog(page, false), input.setInputFiles(file)]);
    assert.match(message, /^Import all channels from <.*>\?\nAll current channel settings will be OVERWRITTEN!$/);
    await h.sleep(500);
    assert.equal(await daemon.channel(5), null, 'dismissed, nothing is imported');

    const posted = page.waitForResponse((r) => r.request().method() === 'POST' &&
      new URL(r.url()).pathname === '/import');
    await Promise.all([h.nextDialog(page, true), input.setInputFiles(file)]);
    await posted;
    fs.rmSync(path.dirname(file), { recursive: true });
    // The page comes back after the redirect; until then it may be gone.
    await h.waitFor(async () => (await ui.rowTexts(page, 5).catch(() => []))[2] === 'imported',
      'row 5 to show the import', 8000);
    assert.equal((await daemon.channel(5)).memo, 'imported');
    assert.equal(await daemon.channel(1), null);
    assert.deepEqual(await ui.rowTexts(page, 1), ['', '', '', '']);
  });

test('Export downloads the configuration file', { timeout: 30000 }, async () => {
  await openSettings();
  const [download] = await Promise.all([page.waitForEvent('download'),
    page.locator('#boxSettings').getByRole('button', { name: 'Export Config', exact: true }).click()]);
  assert.equal(download.suggestedFilename(), 'orval.conf');
  const text = fs.readFileSync(await download.path(), 'utf8');
  assert.equal(text, daemon.config());
  assert.match(text, /<Channel5>[\s\S]*Memo "imported"/);
  await page.click('#boxSettingsCancel');
});

test('OK posts the form: the server saves it and the browser holds the new password', { timeout: 30000 },
  async () => {
    await openSettings();
    const box = page.locator('#boxSettings');
    await box.locator('[name="log"]').uncheck();
    await box.locator('[name="autorun"]').uncheck();
    await box.locator('[name="folder_recur"]').uncheck();
    await restartBox().check();
    await box.locator('[name="auto_restart"]').fill('12');
    await box.locator('[name="cpu_affinity"]').fill('0');
    await box.locator('[name="login_pass"]').fill('new pass&1');
    await Promise.all([
      page.waitForResponse((r) => r.request().method() === 'POST' && r.url().endsWith('/global_config')),
      page.click('#boxSettingsOk'),
    ]);
    await ui.waitVisible(page, '#boxSettings', false);
    daemon.loginPass = 'new pass&1';
    const saved = await daemon.settings();
    const keys = ['log', 'httpPort', 'rtspPort', 'loginPass', 'autorun', 'autoRestart', 'folderRecur', 'folderShuffle',
      'cpuAffinity'];
    assert.deepEqual(Object.fromEntries(keys.map((k) => [k, saved[k]])), { log: 0, httpPort: daemon.port,
      rtspPort: 5554, loginPass: 'new pass&1', autorun: 0, autoRestart: 12, folderRecur: 0, folderShuffle: 0,
      cpuAffinity: 0 });
    assert.match(daemon.config(), /\nLoginPass new pass&1\n/);
    assert.match(daemon.config(), /\nAutoRestart 12\n/);

    // Still logged in with the cookie of the answer, and no longer warned.
    await page.reload();
    await page.locator('#channels').waitFor();
    const warnings = await page.locator('#warning').count();
    assert.ok(warnings === 0 || !(await ui.visible(page, '#warning')));
    await openSettings();
    assert.equal(await box.locator('[name="login_pass"]').inputValue(), 'new pass&1');
    assert.equal(isYellow(await ui.background(page, '#boxSettings [name="login_pass"]')), false);
    assert.equal(await restartBox().isChecked(), true);
    assert.equal(await box.locator('[name="auto_restart"]').inputValue(), '12');
    await page.click('#boxSettingsCancel');
  });

test('a refused save keeps the box open with the values typed and says why', { timeout: 30000 }, async () => {
  await openSettings();
  const box = page.locator('#boxSettings');
  const before = await daemon.settings();
  await restartBox().check();
  await box.locator('[name="auto_restart"]').fill('100000');
  const [reply] = await Promise.all([
    page.waitForResponse((r) => r.request().method() === 'POST' && r.url().endsWith('/global_config')),
    page.click('#boxSettingsOk'),
  ]);
  assert.equal(reply.status(), 400);
  await ui.waitVisible(page, '#boxSettings .boxMessage', true, 3000);
  const reason = (await reply.text()).trim();
  const shown = await box.locator('.boxMessage').innerText();
  assert.match(shown, /Saving the settings was refused \(400\)/);
  assert.ok(shown.includes(reason), `the server's reason "${reason}" is shown: ${shown}`);
  assert.equal(await ui.visible(page, '#boxSettings'), true);
  assert.equal(await box.locator('[name="auto_restart"]').inputValue(), '100000');
  assert.deepEqual(await daemon.settings(), before);
  await page.click('#boxSettingsCancel');
  await ui.waitVisible(page, '#boxSettings', false);
});

test('an import that fails stays on the page and says why', { timeout: 30000 }, async () => {
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'orval-import-')), 'other.conf');
  fs.writeFileSync(file, h.channelBlock(6, { memo: 'never' }));
  await page.route('**/import', (route) => route.fulfill({ status: 500, contentType: 'text/plain; charset=utf-8',
    body: 'The configuration file cannot be replaced (No space left on device); nothing was imported' }));
  try {
    await openSettings();
    await Promise.all([h.nextDialog(page, true), page.locator('input[type="file"][name="file"]').setInputFiles(file)]);
    await ui.waitVisible(page, '#boxSettings .boxMessage', true, 3000);
    assert.match(await page.locator('#boxSettings .boxMessage').innerText(),
      /Importing the configuration was refused \(500\): The configuration file cannot be replaced \(No space/);
    assert.equal(new URL(page.url()).pathname, '/', 'still on the page');
    assert.equal(await page.locator('#channels').count(), 1);
  } finally {
    await page.unroute('**/import');
    fs.rmSync(path.dirname(file), { recursive: true });
  }
  await page.click('#boxSettingsCancel');
});

test('Folder Shuffle, a password that cannot be shown, and Auto Start where it has no effect', { timeout: 30000 },
  async () => {
    const real = await daemon.settings();
    let extra = { folderShuffle: 1, loginPassUnshown: 1, loginPass: '', autorunManaged: 0 };
    await page.route('**/global_config', async (route) => {
      if (route.request().method() === 'POST')
        return route.fulfill({ status: 200, body: '' });
      return route.fulfill({ status: 200, contentType: 'application/json', body: JSON.stringify({ ...real, ...extra }) });
    });
    const box = page.locator('#boxSettings');
    const save = async () => {
      const [post] = await Promise.all([page.waitForRequest((r) => r.method() === 'POST'), page.click('#boxSettingsOk')]);
      await ui.waitVisible(page, '#boxSettings', false);
      return new URLSearchParams(post.postData());
    };
    try {
      await openSettings();
      assert.equal(await box.getByLabel('Folder Shuffle').isChecked(), true);
      assert.equal(await box.locator('[name="login_pass"]').inputValue(), '');
      assert.equal(isYellow(await ui.background(page, '#boxSettings [name="login_pass"]')), false);
      assert.equal(await ui.visible(page, '#autorunNote'), true);
      await h.screenshot(page, 'box-settings-kept-password');
      let sent = await save();
      assert.equal(sent.get('folder_shuffle'), 'on');
      assert.equal(sent.has('login_pass'), false, 'the stored password stays as it is');

      extra = { folderShuffle: 0, loginPassUnshown: 1, loginPass: '', autorunManaged: 1 };
      await openSettings();
      assert.equal(await box.getByLabel('Folder Shuffle').isChecked(), false);
      assert.equal(await ui.visible(page, '#autorunNote'), false);
      await box.locator('[name="login_pass"]').fill('typed anew');
      sent = await save();
      assert.equal(sent.has('folder_shuffle'), false);
      assert.equal(sent.get('login_pass'), 'typed anew');
    } finally {
      await page.unroute('**/global_config');
    }
  });

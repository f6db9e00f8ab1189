// harness.js: the real daemon in a temporary folder with a fake transcoder and
// the fake device libraries, and a headless Chromium driven through
// playwright-core, for the browser tests of the management page.
//
// Paths come from the environment that CTest sets (ORVAL_BINARY, ORVAL_FAKES_DIR,
// ORVAL_SCREENSHOTS); run by hand from the repository, build/ is assumed.
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const net = require('node:net');
const { spawn } = require('node:child_process');
const { chromium } = require('playwright-core');

const repo = path.resolve(__dirname, '..', '..');
const binary = process.env.ORVAL_BINARY || path.join(repo, 'build', 'orval');
const fakesDir = process.env.ORVAL_FAKES_DIR || path.join(repo, 'build', 'fakes');
const screenshotDir = process.env.ORVAL_SCREENSHOTS || path.join(repo, 'build', 'screenshots');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls `check` until it answers something truthy; throws with `what` when
// the time is up, so a test never waits without bound.
async function waitFor(check, what, limitMs = 5000) {
  const end = Date.now() + limitMs;
  for (;;) {
    const value = await check();
    if (value)
      return value;
    if (Date.now() > end)
      throw new Error(`timed out after ${limitMs} ms waiting for ${what}`);
    await sleep(50);
  }
}

// A port the kernel hands out on the loopback address, free when asked.
function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// The fake transcoder: records the line it is given (the last one in
// "line.txt", every one in "lines.txt") and then, until it is stopped, prints
// whatever "progress.txt" beside it holds every 200 ms, as a transcoder
// reports its progress.
const fakeTranscoder = `#!/bin/sh
here=$(dirname "$0")
IFS= read -r line
printf '%s\\n' "$line" > "$here/line.$$" && mv "$here/line.$$" "$here/line.txt"
printf '%s\\n' "$line" >> "$here/lines.txt"
trap 'exit 255' INT TERM
while :; do
    [ -f "$here/progress.txt" ] && cat "$here/progress.txt"
    sleep 0.2
done
`;

function writeAtomic(file, text) {
  const temporary = `${file}.${process.pid}.tmp`;
  fs.writeFileSync(temporary, text);
  fs.renameSync(temporary, file);
}

// A channel block for the configuration file: a file source and one target.
// `fields` overrides the defaults below; `target`, `input` and `output` hold
// extra keys of the target, the input block and the output block (texts that
// the file quotes are given with their quotes).
function channelBlock(number, fields = {}) {
  const c = {
    enable: 0,
    source: `/media/clip${number}.ts`,
    sourceFormat: 'file',
    memo: '',
    format: 'udpts',
    url: `udp://127.0.0.1:${5000 + number}`,
    target: {},
    input: {},
    output: {},
    ...fields,
  };
  const lines = (keys, indent) => Object.entries(keys).map(([key, value]) => `${indent}${key} ${value}\n`).join('');
  const targetKeys = { VideoEnable: 1, VideoCodec: 'H264', AudioEnable: 1, AudioCodec: 'AAC', ...c.target };
  const source = c.sourceFormat === 'file' ? `"${c.source}"` : c.source;
  return `<Channel${number}>\nEnable ${c.enable}\n` +
    ` <Input>\n  NumInputs 1\n${lines(c.input, '  ')}` +
    `  <Input1>\n   Format ${c.sourceFormat}\n   File ${source}\n  </Input1>\n </Input>\n` +
    ` <Output>\n  NumOutputs 1\n  <Output1>\n   Format ${c.format}\n${lines(targetKeys, '   ')}` +
    `   File "${c.url}"\n  </Output1>\n  Memo "${c.memo}"\n${lines(c.output, '  ')}` +
    ` </Output>\n</Channel${number}>\n`;
}

const entities = { quot: '"', amp: '&', apos: "'", lt: '<', gt: '>' };
function unescapeXml(text) {
  return text.replace(/&(quot|amp|apos|lt|gt|#(\d+)|#x([0-9a-fA-F]+));/g, (_, name, dec, hex) =>
    dec ? String.fromCodePoint(Number(dec)) : hex ? String.fromCodePoint(parseInt(hex, 16)) : entities[name]);
}

function attributes(tag) {
  const result = {};
  for (const [, name, value] of tag.matchAll(/(\w+)="([^"]*)"/g))
    result[name] = unescapeXml(value);
  return result;
}

function element(xml, name) {
  const match = xml.match(new RegExp(`<${name}>([\\s\\S]*?)</${name}>`));
  return match ? unescapeXml(match[1]) : undefined;
}

// The channel document as plain values: the source, the first target (its
// attributes and its address as `url`) and the channel-level texts.
function parseChannel(xml) {
  const source = xml.match(/<source([^>]*)>([\s\S]*?)<\/source>/);
  const targets = xml.match(/<targets([^>]*)>([\s\S]*)<\/targets>/);
  if (!source || !targets)
    throw new Error(`not a channel document: ${xml}`);
  const target = targets[2].match(/<target([^>]*)>\n([\s\S]*?)\n<\/target>/);
  const rest = targets[2].slice(targets[2].lastIndexOf('</target>'));
  return {
    source: {
      format: attributes(source[1]).format,
      url: element(source[2], 'url'),
      param: element(source[2], 'param'),
      svparam: element(source[2], 'svparam'),
    },
    total: Number(attributes(targets[1]).total),
    target: { ...attributes(target[1]), url: unescapeXml(target[2]) },
    map: element(rest, 'map'),
    format: element(rest, 'format'),
    tslen: Number(element(rest, 'tslen')),
    tspath: element(rest, 'tspath'),
    param: element(rest, 'param'),
    memo: element(rest, 'memo'),
  };
}

// The status document: for each of the 64 slots its state word and text
// (and its revision once it is not 0), or null for an empty slot.
function parseStatus(xml) {
  return [...xml.matchAll(/<ch id="(\d+)"(?: rev="(\d+)")?>(.*?)<\/ch>/g)].map(([, , rev, inner]) =>
    inner ? { state: element(inner, 'state'), status: element(inner, 'status'), ...(rev ? { rev: Number(rev) } : {}) }
      : null);
}

class Daemon {
  // options: channels (configuration text of the channel blocks), settings
  // (extra settings lines), loginPass, decklink and ndi (the fake devices'
  // descriptions; changeable later with setDevices).
  async start(options = {}) {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orval-browser-'));
    this.bin = path.join(this.dir, 'bin');
    this.root = path.join(this.dir, 'root');
    this.confFile = path.join(this.root, 'etc', 'orval', 'orval.conf');
    fs.mkdirSync(this.bin);
    fs.mkdirSync(path.dirname(this.confFile), { recursive: true });
    fs.copyFileSync(binary, path.join(this.bin, 'orval'));
    fs.chmodSync(path.join(this.bin, 'orval'), 0o755);
    fs.writeFileSync(path.join(this.bin, 'orval.so'), fakeTranscoder, { mode: 0o755 });
    this.decklinkFile = path.join(this.dir, 'decklink.txt');
    this.ndiFile = path.join(this.dir, 'ndi.txt');
    this.setDevices({ decklink: options.decklink || '', ndi: options.ndi || '' });

    this.port = await freePort();
    this.loginPass = options.loginPass || '';
    const settings = `AutoRestart 0\nHTTPPort ${this.port}\n` +
      (this.loginPass ? `LoginPass ${this.loginPass}\n` : '') + (options.settings || '');
    fs.writeFileSync(this.confFile, `# Kestova Configuration File\n\n${settings}\n${options.channels || ''}`);
    this.url = `http://127.0.0.1:${this.port}/`;

    await this.launch();
    return this;
  }

  // Starts the daemon in the folder made by start, on the same port.
  async launch() {
    const out = path.join(this.dir, 'out.txt');
    const outFd = fs.openSync(out, 'w');
    const env = {
      ...process.env,
      ORVAL_ROOT: this.root,
      LD_LIBRARY_PATH: fakesDir,
      ORVAL_FAKE_DECKLINK: this.decklinkFile,
      ORVAL_FAKE_NDI: this.ndiFile,
    };
    const starter = spawn(path.join(this.bin, 'orval'), [], { env, stdio: ['ignore', outFd, outFd] });
    const code = await new Promise((resolve) => starter.on('exit', resolve));
    fs.closeSync(outFd);
    if (code !== 0)
      throw new Error(`orval exited with ${code}: ${fs.readFileSync(out, 'utf8')}`);
    await waitFor(() => fs.readFileSync(out, 'utf8').includes('ORVAL started successfully!'),
      'the daemon to start');
    this.pid = await waitFor(() => this.readPid(), 'the pid file');
    // Signal handlers are in place after the first supervision pass.
    await sleep(600);
  }

  // Ends the daemon as stop does but keeps its folder, so `launch` starts it
  // again (with `channels`, when given, as its configuration's channels).
  async halt(channels) {
    process.kill(this.pid, 'SIGTERM');
    await waitFor(() => !this.alive(), 'the daemon to end', 10000);
    this.pid = 0;
    if (channels !== undefined) {
      const settings = this.config().split(/\n(?=<Channel\d+>)/)[0];
      fs.writeFileSync(this.confFile, `${settings}\n${channels}`);
    }
  }

  readPid() {
    try {
      return Number(fs.readFileSync(path.join(this.root, 'var', 'run', 'orval.pid'), 'utf8')) || 0;
    } catch {
      return 0;
    }
  }

  alive() {
    try {
      process.kill(this.pid, 0);
    } catch {
      return false;
    }
    // A zombie waiting for its reaper has ended too.
    const stat = fs.readFileSync(`/proc/${this.pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) !== 'Z';
  }

  // Ends the daemon with SIGTERM (it saves the configuration on the way out),
  // killing it when it does not end in time; removes the folder.
  async stop() {
    if (!this.pid)
      return;
    process.kill(this.pid, 'SIGTERM');
    try {
      await waitFor(() => !this.alive(), 'the daemon to end', 10000);
    } catch (error) {
      process.kill(this.pid, 'SIGKILL');
      throw error;
    } finally {
      this.pid = 0;
      if (!process.env.ORVAL_KEEP_TMP)
        fs.rmSync(this.dir, { recursive: true, force: true });
    }
  }

  setDevices({ decklink, ndi }) {
    if (decklink !== undefined)
      writeAtomic(this.decklinkFile, decklink);
    if (ndi !== undefined)
      writeAtomic(this.ndiFile, ndi);
  }

  // What every running fake transcoder prints from now on.
  setProgress(text) {
    writeAtomic(path.join(this.bin, 'progress.txt'), text);
  }

  cookie() {
    return this.loginPass ? `auth=${encodeURIComponent(this.loginPass)}` : '';
  }

  async request(relative, init = {}) {
    const headers = { ...(init.headers || {}) };
    if (this.loginPass)
      headers.Cookie = this.cookie();
    const reply = await fetch(new URL(relative, this.url), {
      ...init, headers, redirect: 'manual', signal: AbortSignal.timeout(15000),
    });
    return { status: reply.status, headers: reply.headers, body: await reply.text() };
  }

  // Channel n's document, parsed, or null when the slot is empty (404).
  async channel(n) {
    const reply = await this.request(`channel${n}`);
    if (reply.status === 404)
      return null;
    if (reply.status !== 200)
      throw new Error(`channel${n} answered ${reply.status}`);
    return parseChannel(reply.body);
  }

  async status() {
    return parseStatus((await this.request('status')).body);
  }

  async settings() {
    return JSON.parse((await this.request('global_config')).body);
  }

  config() {
    return fs.readFileSync(this.confFile, 'utf8');
  }

  // The configuration file's block of channel n ('' when there is none).
  configBlock(n) {
    const match = this.config().match(new RegExp(`<Channel${n}>\\n[\\s\\S]*?</Channel${n}>\\n`));
    return match ? match[0] : '';
  }

  // Every line the fake transcoder was started with so far.
  transcoderLines() {
    try {
      return fs.readFileSync(path.join(this.bin, 'lines.txt'), 'utf8').split('\n').filter(Boolean);
    } catch {
      return [];
    }
  }

  // The last transcoder line that holds `text`, once there is one.
  async transcoderLine(text, limitMs = 5000) {
    return waitFor(() => this.transcoderLines().reverse().find((line) => line.includes(text)),
      `a transcoder line holding ${text}`, limitMs);
  }
}

async function startDaemon(options) {
  return new Daemon().start(options);
}

const browserFlags = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// One Chromium with a new, empty profile; pages of a test file share it.
async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'orval-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: browserFlags,
    viewport: { width: 1100, height: 900 },
    acceptDownloads: true,
    timeout: 30000,
  });
  context.setDefaultTimeout(5000);
  const close = context.close.bind(context);
  context.close = async () => {
    await close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return context;
}

// A page of `context` logged in to `daemon` (the cookie set when a password is).
async function openPage(context, daemon) {
  await context.clearCookies();
  if (daemon.loginPass)
    await context.addCookies([{ name: 'auth', value: encodeURIComponent(daemon.loginPass), url: daemon.url }]);
  const page = context.pages().find((p) => p.url() === 'about:blank') || await context.newPage();
  page.removeAllListeners('dialog');
  await page.goto(daemon.url);
  return page;
}

const axeSource = path.join(repo, 'node_modules', 'axe-core', 'axe.min.js');

// The axe-core findings on `page` (within `selector` when given) at the
// impacts named, each as "rule (impact): the first element's selector".
async function accessibility(page, selector, impacts = ['critical', 'serious']) {
  if (!(await page.evaluate(() => typeof window.axe === 'object')))
    await page.addScriptTag({ path: axeSource });
  const results = await page.evaluate((context) => window.axe.run(context || document,
    { resultTypes: ['violations'] }), selector || null);
  return results.violations.filter((v) => impacts.includes(v.impact))
    .map((v) => `${v.id} (${v.impact}): ${v.nodes.map((n) => n.target.join(' ')).slice(0, 4).join(', ')}`);
}

async function screenshot(page, name, options = {}) {
  fs.mkdirSync(screenshotDir, { recursive: true });
  const file = path.join(screenshotDir, `${name}.png`);
  await page.screenshot({ path: file, ...options });
  return file;
}

// Answers the next dialog with `answer` (true: accept, false: dismiss) and
// resolves to its message; rejects when none comes in time.
function nextDialog(page, answer = true, limitMs = 5000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      page.off('dialog', onDialog);
      reject(new Error('no dialog came'));
    }, limitMs);
    function onDialog(dialog) {
      clearTimeout(timer);
      const message = dialog.message();
      (answer ? dialog.accept() : dialog.dismiss()).then(() => resolve(message), reject);
    }
    page.once('dialog', onDialog);
  });
}

module.exports = {
  startDaemon, launchBrowser, openPage, screenshot, nextDialog, channelBlock, parseChannel, parseStatus,
  waitFor, sleep, screenshotDir, accessibility,
};

// page.js: the channel table with its live status, the channel panel and the
// buttons under the table and the panel, the outcome of every action, and the
// live pictures of the channels: the selected one's beside the panel and all
// running ones on the wall.
//
// DESIGN: the table follows the server. Every channel carries a revision
// number in "/status", bumped by each edit, removal, renumbering and import;
// a row whose revision changed is read again, and every action names the
// revision of the row the operator sees ("rev=R"), so the server refuses it
// (409) when the number now means another channel. The panel holds the
// settings of one channel, `page.loaded` says which and at what revision, and
// editing begins only once the selected channel's own settings are there: a
// reply for a channel that is no longer selected is never shown or sent back.
// A poll that fails leaves the table as it is; after 2.5 s without an answer
// the page says the connection is lost, and once answers come back it reads
// every row again (the service may have restarted with other channels).
'use strict';

const ROW_COUNT = 64;
// The transcoder renews each channel's picture this often.
const PICTURE_PERIOD_MS = 5000;
const POLL_MS = 1000;
// Without an answer for this long the live data counts as lost.
const LOST_AFTER_MS = 2500;
const POLL_TIMEOUT_MS = 2000;
// A success is shown this long; a failure stays until dismissed.
const SUCCESS_SHOWN_MS = 3000;
const STRIPE_ODD = '#6e6e6e';
const STRIPE_EVEN = '#646464';
const HIGHLIGHT = '#3c5a8c';
// Source formats that are network schemes: a source typed without "://" gets one.
const NETWORK_SCHEMES = ['http', 'hls', 'rtsp', 'rtspt', 'rtmp', 'mms', 'mmst', 'udp', 'rtp', 'srt'];
const FRAME_SIZES = {
  '0': [0, 0], qvga: [320, 240], vga: [640, 480], sdtv: [720, 576],
  hd720: [1280, 720], hd1080: [1920, 1080],
};
// What a channel document without the continuity elements means.
const CONTINUITY_DEFAULTS = { bsrc: '', stimeout: '1000', ablack: '10', afreeze: '10', asilent: '10' };
const CHANNEL_DEFAULTS = Object.assign({
  sfmt: 'file', surl: '', memo: '', svparam: '',
  ev: true, cv: 'H264', frameSize: '0', vx: '0', vy: '0', vr: 'Original', qv: 'Default',
  vb: 'Default', kfi: '50', deint: false, muxbr: '0', tvparam: '',
  ea: true, ca: 'AAC', ar: 'Original', ac: '2', ab: 'Default',
  mparam: '', fparam: '', rtmpflash: '', rtmpswf: '', rtmpuser: '', rtmppass: '',
  tslen: '0', tspath: '', sparam: '', tparam: '',
}, CONTINUITY_DEFAULTS);
const ALARM_NAMES = {
  source_lost: 'Source lost', on_backup: 'On backup source', black: 'Black picture',
  frozen: 'Frozen picture', silent: 'Silence', target_down: 'Target down',
};

const page = {
  selected: 0, editing: 0, editTexts: null, editSnapshot: '', editRev: 0, selectedBeforeNew: 0,
  globalCfg: null, polling: false, states: {}, historyPolls: 0,
  // The revision each row's texts belong to, and what the last poll said.
  revs: [], serverRevs: [],
  // The channel whose settings the panel holds: { n, rev }.
  loaded: null, loads: {},
  lastAnswer: Date.now(), lost: false, refused: false, resync: false,
  // Polls are numbered as sent; one sent before the page's own last change
  // landed may predate it, so its revisions are not taken.
  pollSeq: 0, ownChangeSeq: 0,
  alarms: [], alarmsAbsentUntil: 0,
  lastTfmt: 'udpts', lastSfmt: 'file',
};
// How each run ended, in the history table's words.
const RUN_ENDS = { exited: 'Ended', hung: 'Hung, killed', stopped: 'Stopped', refused: 'Refused', shutdown: 'Shutdown' };
// The history is read again every so many status polls, and at once when
// the selected channel's state changes.
const HISTORY_POLLS = 5;

function $(id) { return document.getElementById(id); }
function rowCells(n) { return $('row' + n).cells; }
function holdsChannel(n) { return n >= 1 && n <= ROW_COUNT && rowCells(n)[0].textContent !== ''; }
function stripe(n) { return n % 2 ? STRIPE_ODD : STRIPE_EVEN; }
function paintRow(n) { $('row' + n).style.backgroundColor = n === page.selected ? HIGHLIGHT : stripe(n); }
// The row the panel works on: the one being edited, else the selected one.
function panelRow() { return page.editing || page.selected; }

function init() {
  const logo = $('logo');
  // These browsers draw text clipped to a gradient badly, or not at all.
  if (/MSIE|Trident|Firefox/.test(navigator.userAgent)) logo.classList.add('plain');
  logo.style.visibility = 'visible';
  for (let n = 1; n <= ROW_COUNT; n++) {
    page.revs[n] = Number($('row' + n).dataset.rev || 0);
    // The whole text on hover: the cells cut long ones.
    for (const k of [1, 2]) rowCells(n)[k].title = rowCells(n)[k].textContent;
  }
  wireTable();
  wirePanel();
  wireBoxes();
  setEditing(0);
  clickRow(1);
  fetchGlobalConfig();
  pollStatus();
  setInterval(pollStatus, POLL_MS);
  setInterval(showLiveness, 250);
  setInterval(refreshPictures, PICTURE_PERIOD_MS);
  document.addEventListener('keydown', onKeyDown);
}

// ---- requests ----

// The reply as { status, text, type }; status 0 when there was none.
async function request(url, init = {}, timeoutMs = 0) {
  const options = Object.assign({ cache: 'no-store', credentials: 'same-origin' }, init);
  if (timeoutMs) options.signal = AbortSignal.timeout(timeoutMs);
  try {
    const reply = await fetch(url, options);
    return { status: reply.status, text: await reply.text(), type: reply.headers.get('Content-Type') || '' };
  } catch (e) {
    return { status: 0, text: '', type: '' };
  }
}

// The login page stands in for every document while the session is refused.
function isLoginPage(reply) { return reply.status === 200 && reply.type.startsWith('text/html'); }

async function fetchText(url) {
  const reply = await request(url);
  return reply.status === 200 && !isLoginPage(reply) ? reply.text : null;
}

async function fetchJson(url) {
  const text = await fetchText(url);
  if (text === null) return null;
  try {
    return JSON.parse(text);
  } catch (e) {
    return null;
  }
}

function parseXml(text) {
  if (text === null) return null;
  const doc = new DOMParser().parseFromString(text, 'text/xml');
  return doc.getElementsByTagName('parsererror').length ? null : doc;
}

async function fetchGlobalConfig() {
  const cfg = await fetchJson('global_config');
  if (cfg) page.globalCfg = cfg;
  return cfg;
}

// What a refusal says: the server's own plain-text reason when it gave one.
function reasonOf(reply, what) {
  if (reply.status === 0) return what + ': no answer from the server; nothing is known to have happened';
  if (isLoginPage(reply)) return what + ': the session was refused; log in again';
  // A reason is plain text; a document or a page is no reason.
  const text = /html|xml|json/.test(reply.type) ? '' : reply.text.trim().slice(0, 500);
  return what + ' was refused (' + reply.status + ')' + (text ? ': ' + text : '');
}

function formBody(form) {
  return new URLSearchParams(new FormData(form));
}

// ---- outcomes ----

// Shows how an action ended: a success briefly, a failure until dismissed.
// While a box is open the message stands in the box, which covers the page.
function notify(text, ok) {
  const dialog = openDialog();
  const area = dialog ? dialog.querySelector('.boxMessage') : $('notice');
  if (!area) return;
  clearTimeout(area.timer);
  area.replaceChildren();
  area.className = (dialog ? 'boxMessage ' : '') + (ok ? 'ok' : 'failed');
  const message = document.createElement('span');
  message.textContent = text;
  message.setAttribute('role', ok ? 'status' : 'alert');
  area.append(message);
  if (ok) {
    area.timer = setTimeout(() => { area.hidden = true; }, SUCCESS_SHOWN_MS);
  } else {
    const dismiss = document.createElement('button');
    dismiss.type = 'button';
    dismiss.className = 'dismiss';
    dismiss.textContent = 'Dismiss';
    dismiss.addEventListener('click', () => { area.hidden = true; });
    area.append(dismiss);
  }
  area.hidden = false;
}

// ---- status polling ----

async function pollStatus() {
  // A slow answer must not pile up requests behind it.
  if (page.polling) return;
  page.polling = true;
  const seq = ++page.pollSeq;
  const reply = await request('status', {}, POLL_TIMEOUT_MS);
  page.polling = false;
  const refused = isLoginPage(reply);
  const doc = reply.status === 200 && !refused ? parseXml(reply.text) : null;
  if (refused !== page.refused) {
    page.refused = refused;
    showLiveness();
  }
  if (!doc) {
    page.resync = true;
    return;
  }
  page.lastAnswer = Date.now();
  if (page.lost || page.resync) {
    // The service may have restarted meanwhile: every row is read again.
    page.revs = page.revs.map(() => -1);
    page.resync = false;
  }
  page.lost = false;
  showLiveness();
  applyStatus(doc, seq > page.ownChangeSeq);
  pollAlarms();
}

// The page's own change has landed: a poll already under way may predate it.
function ownChangeLanded() { page.ownChangeSeq = page.pollSeq; }

// `current`: the reply was asked for after the page's own last change, so
// its revisions may be acted on.
function applyStatus(doc, current) {
  const slots = doc.getElementsByTagName('ch');
  const before = page.selected ? page.states[page.selected] : '';
  for (let i = 0; i < ROW_COUNT && i < slots.length; i++) {
    const n = i + 1;
    const parts = slots[i].children;
    const rev = Number(slots[i].getAttribute('rev') || 0);
    if (current) page.serverRevs[n] = rev;
    if (parts.length < 2) {
      page.states[n] = '';
      if (current && rev !== page.revs[n]) emptyRow(n, rev);
      continue;
    }
    const state = parts[0].textContent;
    const started = state === 'start' && page.states[n] !== 'start';
    page.states[n] = state;
    showStatus(n, state, parts[1].textContent);
    if (current && rev !== page.revs[n]) readRow(n, rev);
    // A channel that has just started shows its picture without waiting for the next round.
    if (started && n === page.selected) showThumb();
  }
  const changed = page.selected && page.states[page.selected] !== before;
  if (changed || ++page.historyPolls >= HISTORY_POLLS) loadHistory(page.selected);
}

function showStatus(n, state, text) {
  if (!/^[a-z]+$/.test(state)) return;
  const cell = rowCells(n)[3];
  const image = 'url("' + state + '.png")';
  if (cell.style.backgroundImage !== image) cell.style.backgroundImage = image;
  // Non-breaking spaces keep the status on one line and its blanks as they are.
  const shown = text.replace(/\s/g, '\u00a0');
  if (cell.textContent !== shown) cell.textContent = shown;
}

// The indicator above the table: live with the age of the last answer,
// "connection lost" or "log in again", and the table marked as stale while
// the live data is not coming.
function showLiveness() {
  const silent = Date.now() - page.lastAnswer;
  if (!page.lost && silent > LOST_AFTER_MS) page.lost = true;
  const indicator = $('live');
  let text;
  let state;
  if (page.refused) {
    text = 'session refused: log in again';
    state = 'refused';
  } else if (page.lost) {
    text = 'connection lost \u00b7 last answer ' + Math.round(silent / 1000) + ' s ago';
    state = 'lost';
  } else {
    text = 'live \u00b7 updated ' + Math.round(silent / 1000) + ' s ago';
    state = 'live';
  }
  if (indicator.textContent !== text) indicator.textContent = text;
  if (indicator.dataset.state !== state) {
    indicator.dataset.state = state;
    document.body.classList.toggle('stale', state !== 'live');
    $('loginAgain').hidden = state !== 'refused';
  }
}

// ---- alarms ----

async function pollAlarms() {
  if (Date.now() < page.alarmsAbsentUntil) return;
  const reply = await request('alarms', {}, POLL_TIMEOUT_MS);
  if (reply.status === 404) {
    // A service without alarms: ask again now and then, in case it is updated.
    page.alarmsAbsentUntil = Date.now() + 4000;
    page.alarms = [];
  } else if (reply.status === 200 && !isLoginPage(reply)) {
    try {
      const parsed = JSON.parse(reply.text);
      page.alarms = Array.isArray(parsed.alarms) ? parsed.alarms : [];
    } catch (e) {
      return;
    }
  } else {
    return;
  }
  showAlarms();
}

function alarmText(alarm) {
  const name = ALARM_NAMES[alarm.kind] || String(alarm.kind);
  const target = alarm.target !== undefined ? ' (target ' + alarm.target + ')' : '';
  const since = Number(alarm.since) > 0 ? ' since ' + timeCell(Number(alarm.since))[0] : '';
  return name + target + since;
}

function alarmsOf(n) { return page.alarms.filter(a => Number(a.channel) === n); }

function showAlarms() {
  for (let n = 1; n <= ROW_COUNT; n++) {
    const active = holdsChannel(n) ? alarmsOf(n) : [];
    const row = $('row' + n);
    row.classList.toggle('alarm', active.length > 0);
    rowCells(n)[3].title = active.length ? 'Alarm: ' + active.map(alarmText).join(', ') : '';
  }
  const mine = page.selected ? alarmsOf(page.selected) : [];
  $('alarmList').replaceChildren(...mine.map(alarm => {
    const item = document.createElement('li');
    item.textContent = alarmText(alarm);
    return item;
  }));
  $('alarmNone').hidden = mine.length > 0;
}

// ---- the table ----

function wireTable() {
  for (let n = 1; n <= ROW_COUNT; n++) {
    const row = $('row' + n);
    row.tabIndex = n === 1 ? 0 : -1;
    row.addEventListener('mouseenter', () => { if (holdsChannel(n)) row.style.backgroundColor = HIGHLIGHT; });
    row.addEventListener('mouseleave', () => paintRow(n));
    row.addEventListener('click', () => clickRow(n));
    row.addEventListener('dblclick', () => editWhenLoaded(n));
    row.addEventListener('keydown', event => onRowKey(event, n));
    row.addEventListener('focus', () => moveRowFocus(n, false));
  }
}

// The row that takes the Tab key: the selected one, else the one last focused.
function moveRowFocus(n, focus) {
  for (const row of document.querySelectorAll('#channels tbody tr')) row.tabIndex = -1;
  $('row' + n).tabIndex = 0;
  if (focus) $('row' + n).focus();
}

function onRowKey(event, n) {
  if (page.editing || event.target !== $('row' + n)) return;
  const moves = { ArrowDown: n + 1, ArrowUp: n - 1, Home: 1, End: ROW_COUNT, PageDown: n + 10, PageUp: n - 10 };
  if (event.key in moves) {
    event.preventDefault();
    const to = Math.min(ROW_COUNT, Math.max(1, moves[event.key]));
    moveRowFocus(to, true);
    if (holdsChannel(to)) clickRow(to);
  } else if (event.key === 'Enter' && holdsChannel(n)) {
    event.preventDefault();
    editWhenLoaded(n);
  }
}

function selectRow(n) {
  const old = page.selected;
  page.selected = n;
  if (old) paintRow(old);
  if (n) paintRow(n);
  if (n) moveRowFocus(n, false);
  if (n !== old) {
    showThumb();
    showAlarms();
  }
  updateButtons();
}

function clickRow(n) {
  if (page.editing || !holdsChannel(n)) return;
  selectRow(n);
  loadChannel(n);
  loadHistory(n);
}

// The row's texts from its document; an empty row when there is none.
function showRowTexts(n, url, memo) {
  const cells = rowCells(n);
  cells[0].textContent = String(n);
  cells[1].textContent = url;
  cells[2].textContent = memo;
  // The whole text on hover: the cells cut long ones.
  cells[1].title = url;
  cells[2].title = memo;
  updateButtons();
}

function clearRow(n) {
  const cells = rowCells(n);
  for (const cell of cells) {
    cell.textContent = '';
    cell.title = '';
  }
  cells[3].style.backgroundImage = '';
  $('row' + n).classList.remove('alarm');
  updateButtons();
}

// Slot n holds no channel (any more).
function emptyRow(n, rev) {
  page.revs[n] = rev;
  if (page.editing === n) {
    // A new channel being set up in an empty row: the row is its own.
    if (page.editRev !== rev) warnEditChanged(n);
    return;
  }
  const held = holdsChannel(n);
  clearRow(n);
  if (page.loaded && page.loaded.n === n) page.loaded = null;
  if (held && page.selected === n) selectRow(0);
}

// Reads row n again after its revision changed; a read under way for the
// same revision is not repeated.
function readRow(n, rev) {
  if (page.editing === n) {
    if (page.editRev !== rev) warnEditChanged(n);
    return;
  }
  loadChannel(n, rev);
}

function warnEditChanged(n) {
  // The page's own Apply moves the revision on before its answer arrives.
  if (page.applying || page.editWarned === page.serverRevs[n]) return;
  page.editWarned = page.serverRevs[n];
  notify('Channel ' + n + ' was changed elsewhere while you edit it: Apply will be refused. ' +
         'Cancel to see its current settings.', false);
}

// ---- the selected channel's run history ----

function twoDigits(number) { return String(number).padStart(2, '0'); }

// The cell shows the time of day; hovering shows the date with it.
function timeCell(seconds) {
  const d = new Date(seconds * 1000);
  const time = twoDigits(d.getHours()) + ':' + twoDigits(d.getMinutes()) + ':' + twoDigits(d.getSeconds());
  const date = d.getFullYear() + '-' + twoDigits(d.getMonth() + 1) + '-' + twoDigits(d.getDate());
  return [time, date + ' ' + time];
}

function historyRow(run) {
  const row = document.createElement('tr');
  const refused = run.ended === 'refused';
  const code = refused ? run.code : run.status;
  const how = RUN_ENDS[run.ended] || run.ended;
  const detail = refused ? run.reason : run.error;
  const cells = [timeCell(run.start), timeCell(run.end), [how, how], [String(code), String(code)],
    [detail, detail]];
  for (const [text, title] of cells) {
    const cell = document.createElement('td');
    cell.textContent = text;
    cell.title = title;
    row.appendChild(cell);
  }
  if (run.ended !== 'stopped' && run.ended !== 'shutdown' && code !== 0) row.className = 'bad';
  return row;
}

async function loadHistory(n) {
  page.historyPolls = 0;
  if (!n) return;
  const history = await fetchJson('history' + n);
  // A later click may have chosen another row while this one loaded.
  if (!history || !Array.isArray(history.runs) || page.selected !== n) return;
  const body = $('history').tBodies[0];
  body.replaceChildren(...history.runs.slice().reverse().map(historyRow));
  $('historyNone').style.display = history.runs.length ? 'none' : '';
}

// ---- loading a channel into the panel ----

function child(parent, name) {
  if (!parent) return null;
  for (const element of parent.children) {
    if (element.tagName === name) return element;
  }
  return null;
}

function childText(parent, name) {
  const element = child(parent, name);
  return element ? element.textContent : '';
}

// The continuity settings, which older services do not send.
function continuityValues(root) {
  const values = {};
  for (const [name, fallback] of Object.entries(CONTINUITY_DEFAULTS)) {
    const element = child(root, name) || root.getElementsByTagName(name)[0];
    values[name] = element ? element.textContent : fallback;
  }
  return values;
}

// Reads channel n; updates its row, and the panel when n is selected and
// not being edited. `rev` is the revision the caller knows the row at (the
// last poll's when not given). Resolves once done; concurrent loads of one
// row share a read.
function loadChannel(n, rev) {
  const known = rev === undefined ? page.serverRevs[n] : rev;
  const pending = page.loads[n];
  if (pending && pending.rev === known) return pending.done;
  const load = { rev: known };
  load.done = readChannel(n, load).finally(() => { if (page.loads[n] === load) page.loads[n] = null; });
  page.loads[n] = load;
  return load.done;
}

async function readChannel(n, load) {
  const reply = await request('channel' + n);
  // A newer read of this row has begun: only its answer counts.
  if (page.loads[n] !== load) return;
  if (reply.status === 404) {
    emptyRow(n, load.rev === undefined ? page.revs[n] : load.rev);
    return;
  }
  const doc = reply.status === 200 && !isLoginPage(reply) ? parseXml(reply.text) : null;
  if (!doc) return;
  const root = doc.documentElement;
  const source = child(root, 'source');
  const targets = child(root, 'targets');
  const target = child(targets, 'target');
  if (!source || !target) return;
  const url = childText(source, 'url');
  const memo = childText(targets, 'memo');
  if (page.editing !== n) {
    showRowTexts(n, url, memo);
    if (load.rev !== undefined) page.revs[n] = load.rev;
  }
  // A later click may have chosen another row while this one loaded.
  if (page.selected !== n || page.editing) return;
  fillPanel(Object.assign({
    sfmt: source.getAttribute('format') || 'file', surl: url, memo: memo,
    sparam: childText(source, 'param'), svparam: childText(source, 'svparam'),
    mparam: childText(targets, 'map'), fparam: childText(targets, 'format'),
    tslen: childText(targets, 'tslen'), tspath: childText(targets, 'tspath'),
    tparam: childText(targets, 'param'),
  }, continuityValues(root)), target);
  page.loaded = { n: n, rev: page.revs[n] };
  showAlarms();
}

function orText(value, text) { return Number(value) > 0 ? String(Number(value)) : text; }

function frameSizeName(width, height) {
  for (const [name, size] of Object.entries(FRAME_SIZES)) {
    if (Number(width) === size[0] && Number(height) === size[1]) return name;
  }
  return 'other';
}

function formatRate(rate) { return rate > 0 ? rate.toFixed(3) : 'Original'; }

function fillPanel(values, target) {
  const a = name => target.getAttribute(name) || '';
  // The address stands on a line of its own inside the element.
  const turl = target.textContent.replace(/^\n/, '').replace(/\n$/, '');
  setFields(Object.assign(values, {
    tfmt: a('format'), turl: turl, ev: a('venable') === '1', cv: a('vcodec'),
    vx: a('width'), vy: a('height'), frameSize: frameSizeName(a('width'), a('height')),
    vr: formatRate(Number(a('fps'))), qv: orText(a('quality'), 'Default'),
    vb: orText(a('vbr'), 'Default'), kfi: a('kfi'), deint: a('deint') === '1',
    tvparam: a('tvparam'), ea: a('aenable') === '1', ca: a('acodec'),
    ar: orText(a('srate'), 'Original'), ac: a('ach'), ab: orText(a('abr'), 'Default'),
    muxbr: a('muxbr'), rtmpflash: a('rtmpflash'), rtmpswf: a('rtmpswf'),
    rtmpuser: a('rtmpuser'), rtmppass: a('rtmppass'),
  }));
}

// Chooses the option with `value`; a value the list lacks is added, so a
// channel written by hand shows what it holds.
function setSelect(select, value) {
  const wanted = String(value);
  let option = Array.from(select.options).find(o => o.value === wanted) ||
               Array.from(select.options).find(o => o.value.toLowerCase() === wanted.toLowerCase());
  if (!option) {
    option = new Option(wanted, wanted);
    select.add(option);
  }
  select.value = option.value;
}

function setFields(values) {
  for (const [id, value] of Object.entries(values)) {
    const element = $(id);
    if (element.type === 'checkbox') element.checked = !!value;
    else if (element.tagName === 'SELECT') setSelect(element, value);
    else element.value = value;
  }
  readVideoOptions($('tvparam').value);
  page.lastTfmt = $('tfmt').value;
  page.lastSfmt = $('sfmt').value;
  updateMediaEnabled();
}

// ---- editing ----

const PANEL_CONTROLS = ['tfmt', 'turl', 'btnAdvFormat', 'ev', 'cv', 'btnAdvVideo', 'frameSize',
  'vx', 'vy', 'vr', 'qv', 'vb', 'kfi', 'deint', 'muxbr', 'ea', 'ca', 'ar', 'ac', 'ab'];
const VIDEO_CONTROLS = ['cv', 'btnAdvVideo', 'frameSize', 'vx', 'vy', 'vr', 'qv', 'vb', 'kfi', 'deint', 'muxbr'];
const AUDIO_CONTROLS = ['ca', 'ar', 'ac', 'ab'];

function updateMediaEnabled() {
  const on = page.editing !== 0;
  for (const id of PANEL_CONTROLS) $(id).disabled = !on;
  if (!on) return;
  for (const id of VIDEO_CONTROLS) $(id).disabled = !$('ev').checked;
  for (const id of AUDIO_CONTROLS) $(id).disabled = !$('ea').checked;
}

// An empty row offers New Channel only; nothing is offered while editing
// but Apply and Cancel.
function updateButtons() {
  const n = page.editing;
  const channel = !n && holdsChannel(page.selected);
  for (const id of ['btnStart', 'btnStop', 'btnEdit', 'btnRemove']) $(id).disabled = !channel;
  $('btnNew').disabled = !!n;
  $('btnApply').disabled = !n;
  $('btnCancel').disabled = !n;
}

function setEditing(n) {
  page.editing = n;
  document.body.classList.toggle('editing', n !== 0);
  updateMediaEnabled();
  updateButtons();
}

// Everything the form would send, to tell whether the operator changed anything.
function formSnapshot() {
  return Array.from(formBody($('chform'))).map(pair => pair.join('=')).sort().join('&');
}

// Editing begins only with the row's own settings in the panel: a double
// click or Edit right after a click waits for them.
async function editWhenLoaded(n) {
  if (page.editing || !holdsChannel(n)) return;
  if (page.selected !== n) clickRow(n);
  const current = () => page.loaded && page.loaded.n === n && page.loaded.rev === page.revs[n];
  if (!current()) await loadChannel(n);
  if (page.selected !== n || page.editing || !current()) return;
  startEditing();
}

function startEditing() {
  const n = page.selected;
  if (!n) {
    alert('Please select channel first');
    return;
  }
  if (page.editing) return;
  const cells = rowCells(n);
  page.editTexts = [cells[1].textContent, cells[2].textContent];
  page.editRev = page.revs[n];
  page.editWarned = undefined;
  const source = $('surl').value;
  const scheme = source.indexOf('://');
  if (scheme > 0) {
    const name = source.slice(0, scheme).toLowerCase();
    if (Array.from($('sfmt').options).some(o => o.value === name)) $('sfmt').value = name;
  }
  page.lastSfmt = $('sfmt').value;
  cells[1].textContent = '';
  cells[1].append($('sfmt'), $('surl'));
  cells[2].textContent = '';
  cells[2].append($('memo'));
  setEditing(n);
  page.editSnapshot = formSnapshot();
  $('surl').focus();
}

// Takes the editors out of the row, which shows its texts again until reloaded.
function stopEditing() {
  const n = page.editing;
  if (!n) return;
  $('sourceHolder').append($('sfmt'), $('surl'), $('memo'));
  const cells = rowCells(n);
  cells[1].textContent = page.editTexts[0];
  cells[2].textContent = page.editTexts[1];
  setEditing(0);
  $('row' + n).focus();
}

function cancelEditing() {
  const n = page.editing;
  if (!n) return;
  stopEditing();
  if (holdsChannel(n)) {
    loadChannel(n);
  } else {
    // A new channel given up: the empty row is no one's selection.
    clearRow(n);
    const back = holdsChannel(page.selectedBeforeNew) ? page.selectedBeforeNew : 0;
    selectRow(back);
    if (back) loadChannel(back);
  }
}

// Escape while editing: values the operator changed are not thrown away unasked.
function escapeEditing() {
  const n = page.editing;
  if (!n) return;
  if (formSnapshot() !== page.editSnapshot && !confirm('Discard the changes to channel ' + n + '?')) return;
  cancelEditing();
}

// The fields the server reads as numbers, with what the operator reads
// instead of 0; "Original" and "Default" are sent as 0.
const NUMBER_FIELDS = [
  ['vx', 'Frame width', null], ['vy', 'Frame height', null], ['vr', 'Frame Rate', 'original'],
  ['qv', 'Quality', 'default'], ['vb', 'Video Bitrate', 'default'],
  ['kfi', 'Key Frame Interval', null], ['muxbr', 'Mux Bitrate', null],
  ['ar', 'Sample Rate', 'original'], ['ab', 'Audio Bitrate', 'default'], ['tslen', 'Time Shift', null],
];

function numberText(id, word) {
  const text = $(id).value.trim();
  if (word && text.toLowerCase() === word) return '0';
  if (id === 'vr') return text.replace(',', '.');
  return text;
}

// The first field that does not hold a number the server takes, or null.
function badNumberField() {
  for (const [id, label, word] of NUMBER_FIELDS) {
    const text = numberText(id, word);
    const pattern = id === 'vr' ? /^(\d+(\.\d+)?)?$/ : /^(-?\d+)?$/;
    if (!pattern.test(text)) return label;
  }
  return null;
}

// Removes `options` (each followed by its value) from an option text.
function withoutOptions(text, options) {
  const words = text.split(/\s+/).filter(Boolean);
  const kept = [];
  for (let i = 0; i < words.length; i++) {
    if (options.includes(words[i].toLowerCase())) i++;
    else kept.push(words[i]);
  }
  return kept.join(' ');
}

// Options that belong to a format go with it: the device options of a
// DeckLink or NDI source, the HLS options and the RTMP fields of a target.
function dropForeignOptions(data) {
  const source = data.get('sfmt');
  const device = data.get('svparam') || '';
  let kept = device;
  if (source !== 'decklink') kept = withoutOptions(kept, ['-format_code']);
  if (source !== 'ndi') kept = withoutOptions(kept, ['-wait_sources']);
  if (kept !== device) data.set('svparam', kept);
  const target = data.get('tfmt');
  if (target !== 'hls') {
    const hls = ['-hls_time', '-hls_list_size', '-start_number', '-hls_base_url', '-hls_wrap',
      '-hls_flags', '-hls_segment_filename', '-hls_playlist_type'];
    data.set('fparam', withoutOptions(data.get('fparam') || '', hls));
  }
  if (target !== 'rtmp') {
    for (const name of ['rtmpflash', 'rtmpswf', 'rtmpuser', 'rtmppass']) data.set(name, '');
  }
}

// The form as the server reads it: numbers plain, disabled controls sent too
// (a control left out would clear its setting), and a bitrate wins over a
// quality, since the server keeps only one of them.
function completeFormData(data) {
  for (const element of $('chform').elements) {
    if (!element.name || !element.disabled) continue;
    if (element.type === 'checkbox') {
      if (element.checked) data.set(element.name, 'on');
    } else {
      data.set(element.name, element.value);
    }
  }
  for (const [id, , word] of NUMBER_FIELDS) data.set(id, numberText(id, word));
  if (Number(data.get('vb')) > 0) data.set('qv', '0');
}

async function applyEditing() {
  const n = page.editing;
  if (!n || page.applying) return;
  let source = $('surl').value;
  if (source === '') {
    alert('Media Source empty!');
    return;
  }
  if ($('turl').value === '') {
    alert('Target URL empty!');
    return;
  }
  const bad = badNumberField();
  if (bad) {
    alert(bad + ' must be a number');
    return;
  }
  const format = $('sfmt').value;
  if (NETWORK_SCHEMES.includes(format) && !source.includes('://')) source = format + '://' + source;
  $('surl').value = source;
  const body = formBody($('chform'));
  dropForeignOptions(body);
  // The server knows a network source by its address.
  if (source.indexOf('://') > 0) body.set('sfmt', 'file');
  body.set('rev', String(page.editRev));
  page.applying = true;
  $('btnApply').disabled = true;
  const reply = await request('channel' + n, { method: 'POST', body: body });
  page.applying = false;
  if (page.editing !== n) return;
  if (reply.status === 200 && !isLoginPage(reply)) {
    page.editTexts = [source, $('memo').value];
    rowCells(n)[0].textContent = String(n);
    stopEditing();
    notify('Channel ' + n + ' saved', true);
    // The edit moved the revision on by one; had another change come first,
    // the server would have refused this one, and a later one makes the next
    // action be refused rather than act on what the row does not show.
    page.revs[n] = page.editRev + 1;
    // A read of the row before the next poll must not take the revision
    // the last poll gave, which this edit has just passed.
    page.serverRevs[n] = page.revs[n];
    ownChangeLanded();
    await loadChannel(n, page.revs[n]);
    return;
  }
  $('btnApply').disabled = false;
  notify(reasonOf(reply, 'Saving channel ' + n), false);
  if (reply.status === 409) {
    // Another channel may hold this number now: nothing of this edit may land on it.
    stopEditing();
    page.revs[n] = -1;
    pollStatus();
  }
}

function newChannel() {
  if (page.editing) return;
  let n = 1;
  while (n <= ROW_COUNT && holdsChannel(n)) n++;
  if (n > ROW_COUNT) {
    alert('All 64 channels are in use. Remove a channel to make room for a new one.');
    return;
  }
  page.selectedBeforeNew = page.selected;
  selectRow(n);
  page.loaded = null;
  setFields(Object.assign({}, CHANNEL_DEFAULTS, { tfmt: 'udpts', turl: targetAddress('udpts') }));
  startEditing();
}

// ---- the buttons ----

function needSelection() {
  if (!holdsChannel(page.selected)) {
    alert('Please select channel first');
    return 0;
  }
  return page.selected;
}

// Runs an action on the channel the operator sees in row n.
async function channelAction(n, action, done) {
  const reply = await request('/channel' + n + '?' + action + '&rev=' + page.revs[n]);
  const words = { start: 'Starting', stop: 'Stopping', remove: 'Removing' };
  if (reply.status === 200 && !isLoginPage(reply)) {
    const past = { start: 'started', stop: 'stopped', remove: 'removed' };
    ownChangeLanded();
    notify('Channel ' + n + ' ' + past[action], true);
    if (done) done();
  } else {
    notify(reasonOf(reply, words[action] + ' channel ' + n), false);
    if (reply.status === 409) page.revs[n] = -1;
  }
  pollStatus();
}

function startChannel() {
  const n = needSelection();
  if (n) channelAction(n, 'start', () => showStatus(n, 'start', 'RUNNING'));
}

function stopChannel() {
  const n = needSelection();
  if (n) channelAction(n, 'stop');
}

function removeChannel() {
  const n = needSelection();
  if (!n || !confirm('Remove this channel?')) return;
  // The server moves every later channel down a number; the next poll shows it.
  channelAction(n, 'remove');
}

// ---- live pictures ----

function isRunning(n) { return page.states[n] === 'start' && holdsChannel(n); }
// A new address each time: the picture changes under the same path.
function thumbUrl(n) { return 'thumb' + n + '?t=' + Date.now(); }

// The selected channel's picture, in a place of its own that stays whether
// there is a picture or not (stopped, sound only, not yet written).
function showThumb() {
  const n = page.selected;
  const image = $('thumb');
  if (!n || !isRunning(n)) {
    image.hidden = true;
    $('thumbNone').hidden = false;
    image.dataset.channel = '';
    return;
  }
  image.dataset.channel = String(n);
  image.src = thumbUrl(n);
}

function onThumbLoaded(shown) {
  // A picture that arrives after another row was chosen belongs to no one.
  const current = $('thumb').dataset.channel === String(page.selected);
  $('thumb').hidden = !(shown && current);
  $('thumbNone').hidden = shown && current;
}

function wallTile(n) {
  const existing = $('wallGrid').querySelector('.tile[data-channel="' + n + '"]');
  if (existing) return existing;
  const tile = document.createElement('button');
  tile.type = 'button';
  tile.className = 'tile none';
  tile.dataset.channel = String(n);
  const image = document.createElement('img');
  image.alt = 'Channel ' + n;
  image.addEventListener('load', () => tile.classList.remove('none'));
  image.addEventListener('error', () => tile.classList.add('none'));
  const caption = document.createElement('div');
  caption.className = 'caption';
  tile.append(image, caption);
  tile.addEventListener('click', () => { closeWall(); clickRow(n); });
  return tile;
}

// Every running channel, in channel order, each with a fresh picture.
function refreshWall() {
  if (!isBoxOpen('wall')) return;
  const tiles = [];
  for (let n = 1; n <= ROW_COUNT; n++) {
    if (!isRunning(n)) continue;
    const tile = wallTile(n);
    const cells = rowCells(n);
    tile.lastChild.textContent = n + '  ' + (cells[2].textContent || cells[1].textContent);
    tile.firstChild.src = thumbUrl(n);
    tiles.push(tile);
  }
  $('wallGrid').replaceChildren(...tiles);
  $('wallEmpty').style.display = tiles.length ? 'none' : '';
}

function refreshPictures() {
  showThumb();
  refreshWall();
}

function openWall() {
  openBox('wall');
  refreshWall();
}

function closeWall() {
  closeBox('wall');
  $('wallGrid').replaceChildren();
}

// ---- target formats ----

function rtspPort() {
  return page.globalCfg && page.globalCfg.rtspPort ? page.globalCfg.rtspPort : 5544;
}

function targetAddress(format) {
  const n = panelRow();
  const addresses = {
    rtmp: 'rtmp://192.168.1.2/live/stream', udpts: 'udp://127.0.0.1:1234',
    httpts: 'http://0.0.0.0:1234', rtpts: 'rtp://127.0.0.1:1234', hls: '/media/stream.m3u8',
    dash: '/media/stream.mpd', srt: 'srt://127.0.0.1:1234', file: '/media/stream.mov',
    ndi: 'ORVAL#' + n, httpmjpg: 'http://0.0.0.0:1234',
    rtsp: 'rtsp://127.0.0.1:' + rtspPort() + '/rtsp/' + String(n).padStart(3, '0'),
  };
  return addresses[format];
}

const TARGET_FIELDS = {
  rtmp: { cv: 'H264', vb: 'Default', muxbr: '0', ca: 'AAC', ar: 'Original' },
  hls: { cv: 'H264' },
  dash: { cv: 'H264' },
  httpmjpg: { cv: 'MJPEG', ea: false },
};

function chooseTargetFormat() {
  const format = $('tfmt').value;
  if (format === 'decklink') {
    openDecklink(true);
    return;
  }
  page.lastTfmt = format;
  const address = targetAddress(format);
  if (address !== undefined) $('turl').value = address;
  const fields = TARGET_FIELDS[format];
  if (!fields) return;
  if (fields.cv && fields.cv !== $('cv').value) setVideoCodec(fields.cv);
  setFields(Object.fromEntries(Object.entries(fields).filter(([id]) => id !== 'cv')));
}

function setVideoCodec(codec) {
  setSelect($('cv'), codec);
  // The advanced options belong to one encoder.
  $('tvparam').value = '';
  readVideoOptions('');
}

function chooseSourceFormat() {
  const format = $('sfmt').value;
  if (format === 'decklink') openDecklink(false);
  else if (format === 'ndi') openNdi();
  else page.lastSfmt = format;
}

// ---- panel wiring ----

function chooseFrameSize() {
  const size = FRAME_SIZES[$('frameSize').value];
  if (!size) return;
  $('vx').value = String(size[0]);
  $('vy').value = String(size[1]);
}

// A quality and a bitrate exclude each other.
function exclude(changed, other) {
  const value = Number(numberText(changed, 'default'));
  if (value > 0) $(other).value = 'Default';
}

function wirePanel() {
  const on = (id, type, handler) => $(id).addEventListener(type, handler);
  on('chform', 'formdata', e => completeFormData(e.formData));
  on('btnStart', 'click', startChannel);
  on('btnStop', 'click', stopChannel);
  on('btnManual', 'click', () => window.open('/manual.html', '_blank'));
  on('btnWall', 'click', openWall);
  on('wallClose', 'click', closeWall);
  on('thumb', 'load', () => onThumbLoaded(true));
  on('thumb', 'error', () => onThumbLoaded(false));
  on('btnEdit', 'click', () => editWhenLoaded(page.selected));
  on('btnApply', 'click', applyEditing);
  on('btnCancel', 'click', cancelEditing);
  on('btnNew', 'click', newChannel);
  on('btnRemove', 'click', removeChannel);
  on('tfmt', 'change', chooseTargetFormat);
  on('sfmt', 'change', chooseSourceFormat);
  on('cv', 'change', () => setVideoCodec($('cv').value));
  on('ev', 'change', updateMediaEnabled);
  on('ea', 'change', updateMediaEnabled);
  on('frameSize', 'change', chooseFrameSize);
  for (const id of ['vx', 'vy']) {
    on(id, 'input', () => setSelect($('frameSize'), frameSizeName($('vx').value, $('vy').value)));
  }
  on('qv', 'change', () => exclude('qv', 'vb'));
  on('vb', 'change', () => exclude('vb', 'qv'));
}

// Enter in a field applies (in a box: the box's OK); Escape closes the
// innermost thing: an open box closes itself (its cancel event), else the
// editing ends, asking first when values were changed.
function onKeyDown(event) {
  if (event.defaultPrevented) return;
  const box = openDialog();
  if (event.key === 'Enter' && isTextField(event.target)) {
    if (box) {
      const ok = box.querySelector('.boxButtons .ok');
      if (ok && !ok.disabled && box.contains(event.target)) {
        event.preventDefault();
        ok.click();
      }
    } else if (page.editing && ($('chform').contains(event.target) || event.target.form === $('chform'))) {
      event.preventDefault();
      applyEditing();
    }
    return;
  }
  if (event.key !== 'Escape' || box) return;
  escapeEditing();
}

function isTextField(element) {
  return element.tagName === 'INPUT' && !['checkbox', 'radio', 'button', 'file', 'range'].includes(element.type);
}

// page.js: the channel table with its live status, the channel panel and the
// buttons under the table and the panel, and the live pictures of the
// channels: the selected one's above the panel and all running ones on the wall.
//
// The page holds little state: the selected row and the row being edited
// (0 = none), the last global settings, each channel's last state word, and
// the callback that waits for the hidden frame. Every request answered with anything but 200 is ignored, so a
// failed poll or load leaves the page as it is.
'use strict';

const ROW_COUNT = 64;
// The transcoder renews each channel's picture this often.
const PICTURE_PERIOD_MS = 5000;
const STRIPE_ODD = '#6e6e6e';
const STRIPE_EVEN = '#646464';
const HIGHLIGHT = '#3c5a8c';
// Source formats that are network schemes: a source typed without "://" gets one.
const NETWORK_SCHEMES = ['http', 'hls', 'rtsp', 'rtspt', 'rtmp', 'mms', 'mmst', 'udp', 'rtp', 'srt'];
const FRAME_SIZES = {
  '0': [0, 0], qvga: [320, 240], vga: [640, 480], sdtv: [720, 576],
  hd720: [1280, 720], hd1080: [1920, 1080],
};
const CHANNEL_DEFAULTS = {
  sfmt: 'file', surl: '', memo: '', svparam: '',
  ev: true, cv: 'H264', frameSize: '0', vx: '0', vy: '0', vr: 'Original', qv: 'Default',
  vb: 'Default', kfi: '50', deint: false, muxbr: '0', tvparam: '',
  ea: true, ca: 'AAC', ar: 'Original', ac: '2', ab: 'Default',
  mparam: '', fparam: '', rtmpflash: '', rtmpswf: '', rtmpuser: '', rtmppass: '',
  tslen: '0', tspath: '', sparam: '', tparam: '',
};

const page = {
  selected: 0, editing: 0, editTexts: null, globalCfg: null, frameDone: null, polling: false, states: {},
  historyPolls: 0,
};
// How each run ended, in the history table's words.
const RUN_ENDS = { exited: 'Ended', hung: 'Hung, killed', stopped: 'Stopped', refused: 'Refused', shutdown: 'Shutdown' };
// The history is read again every so many status polls, and at once when
// the selected channel's state changes.
const HISTORY_POLLS = 5;

function $(id) { return document.getElementById(id); }
function rowCells(n) { return $('row' + n).cells; }
function holdsChannel(n) { return rowCells(n)[0].textContent !== ''; }
function stripe(n) { return n % 2 ? STRIPE_ODD : STRIPE_EVEN; }
function paintRow(n) { $('row' + n).style.backgroundColor = n === page.selected ? HIGHLIGHT : stripe(n); }
// The row the panel works on: the one being edited, else the selected one.
function panelRow() { return page.editing || page.selected; }

function init() {
  const logo = $('logo');
  // These browsers draw text clipped to a gradient badly, or not at all.
  if (/MSIE|Trident|Firefox/.test(navigator.userAgent)) logo.classList.add('plain');
  logo.style.visibility = 'visible';
  wireTable();
  wirePanel();
  wireBoxes();
  setEditing(0);
  clickRow(1);
  fetchGlobalConfig();
  pollStatus();
  setInterval(pollStatus, 1000);
  setInterval(refreshPictures, PICTURE_PERIOD_MS);
  document.addEventListener('keydown', onKeyDown);
}

// ---- requests ----

async function fetchText(url) {
  try {
    const reply = await fetch(url, { cache: 'no-store', credentials: 'same-origin' });
    return reply.status === 200 ? await reply.text() : null;
  } catch (e) {
    return null;
  }
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

// Commands and form posts go through the hidden frame; `done` runs once it has loaded.
function sendHidden(url, done) {
  page.frameDone = done || null;
  $('iframe_hidden').src = url;
}

function submitHidden(form, done) {
  page.frameDone = done || null;
  form.submit();
}

function onHiddenFrameLoad() {
  const done = page.frameDone;
  page.frameDone = null;
  if (done) done();
}

// ---- status polling ----

async function pollStatus() {
  // A slow answer must not pile up requests behind it.
  if (page.polling) return;
  page.polling = true;
  const doc = parseXml(await fetchText('status'));
  page.polling = false;
  if (!doc) return;
  const slots = doc.getElementsByTagName('ch');
  const before = page.selected ? rowCells(page.selected)[3].style.backgroundImage : '';
  for (let i = 0; i < ROW_COUNT && i < slots.length; i++) {
    const parts = slots[i].children;
    if (parts.length < 2) continue;
    const state = parts[0].textContent;
    const started = state === 'start' && page.states[i + 1] !== 'start';
    page.states[i + 1] = state;
    showStatus(i + 1, state, parts[1].textContent);
    // A channel that has just started shows its picture without waiting for the next round.
    if (started && i + 1 === page.selected) showThumb();
  }
  const changed = page.selected && rowCells(page.selected)[3].style.backgroundImage !== before;
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

// ---- the table ----

function wireTable() {
  for (let n = 1; n <= ROW_COUNT; n++) {
    const row = $('row' + n);
    row.addEventListener('mouseenter', () => { if (holdsChannel(n)) row.style.backgroundColor = HIGHLIGHT; });
    row.addEventListener('mouseleave', () => paintRow(n));
    row.addEventListener('click', () => clickRow(n));
    row.addEventListener('dblclick', () => {
      if (page.editing || !holdsChannel(n)) return;
      clickRow(n);
      startEditing();
    });
  }
}

function selectRow(n) {
  const old = page.selected;
  page.selected = n;
  if (old) paintRow(old);
  if (n) paintRow(n);
  if (n !== old) showThumb();
}

function clickRow(n) {
  if (page.editing || !holdsChannel(n)) return;
  selectRow(n);
  loadChannel(n);
  loadHistory(n);
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

async function loadChannel(n) {
  const doc = parseXml(await fetchText('channel' + n));
  if (!doc) return;
  const root = doc.documentElement;
  const source = child(root, 'source');
  const targets = child(root, 'targets');
  const target = child(targets, 'target');
  if (!source || !target) return;
  const url = childText(source, 'url');
  const memo = childText(targets, 'memo');
  if (page.editing !== n) {
    const cells = rowCells(n);
    cells[0].textContent = String(n);
    cells[1].textContent = url;
    cells[2].textContent = memo;
  }
  // A later click may have chosen another row while this one loaded.
  if (page.selected !== n || page.editing) return;
  fillPanel({
    sfmt: source.getAttribute('format') || 'file', surl: url, memo: memo,
    sparam: childText(source, 'param'), svparam: childText(source, 'svparam'),
    mparam: childText(targets, 'map'), fparam: childText(targets, 'format'),
    tslen: childText(targets, 'tslen'), tspath: childText(targets, 'tspath'),
    tparam: childText(targets, 'param'),
  }, target);
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

function setEditing(n) {
  page.editing = n;
  updateMediaEnabled();
  $('btnApply').disabled = !n;
  $('btnCancel').disabled = !n;
  for (const id of ['btnEdit', 'btnNew', 'btnRemove']) $(id).disabled = !!n;
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
  const source = $('surl').value;
  const scheme = source.indexOf('://');
  if (scheme > 0) {
    const name = source.slice(0, scheme).toLowerCase();
    if (Array.from($('sfmt').options).some(o => o.value === name)) $('sfmt').value = name;
  }
  cells[1].textContent = '';
  cells[1].append($('sfmt'), $('surl'));
  cells[2].textContent = '';
  cells[2].append($('memo'));
  setEditing(n);
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
}

function cancelEditing() {
  const n = page.editing;
  if (!n) return;
  stopEditing();
  if (holdsChannel(n)) loadChannel(n);
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

function applyEditing() {
  const n = page.editing;
  if (!n) return;
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
  // The server knows a network source by its address.
  if (source.indexOf('://') > 0) $('sfmt').value = 'file';
  $('surl').value = source;
  const form = $('chform');
  form.action = 'channel' + n;
  submitHidden(form, () => loadChannel(n));
  page.editTexts = [source, $('memo').value];
  stopEditing();
}

function newChannel() {
  if (page.editing) return;
  let n = 1;
  while (n <= ROW_COUNT && holdsChannel(n)) n++;
  if (n > ROW_COUNT) {
    alert('All 64 channels are in use. Remove a channel to make room for a new one.');
    return;
  }
  selectRow(n);
  setFields(Object.assign({}, CHANNEL_DEFAULTS, { tfmt: 'udpts', turl: targetAddress('udpts') }));
  startEditing();
}

// ---- the buttons ----

function needSelection() {
  if (!page.selected) alert('Please select channel first');
  return page.selected;
}

function startChannel() {
  const n = needSelection();
  if (!n) return;
  sendHidden('/channel' + n + '?start');
  showStatus(n, 'start', 'RUNNING');
}

function stopChannel() {
  const n = needSelection();
  if (n) sendHidden('/channel' + n + '?stop');
}

function removeChannel() {
  const n = needSelection();
  if (!n || !confirm('Remove this channel?')) return;
  sendHidden('/channel' + n + '?remove', () => moveRowsUp(n));
}

// Mirrors the server, which moves every channel after the removed one down a number.
function moveRowsUp(n) {
  for (let i = n; i < ROW_COUNT; i++) {
    const to = rowCells(i);
    const from = rowCells(i + 1);
    to[0].textContent = from[0].textContent !== '' ? String(i) : '';
    for (const k of [1, 2, 3]) to[k].textContent = from[k].textContent;
    to[3].style.backgroundImage = from[3].style.backgroundImage;
  }
  const last = rowCells(ROW_COUNT);
  for (const cell of last) cell.textContent = '';
  last[3].style.backgroundImage = '';
  if (holdsChannel(n)) loadChannel(n);
  else selectRow(0);
}

// ---- live pictures ----

function isRunning(n) { return page.states[n] === 'start' && holdsChannel(n); }
// A new address each time: the picture changes under the same path.
function thumbUrl(n) { return 'thumb' + n + '?t=' + Date.now(); }

// The selected channel's picture; hidden while it has none (stopped, sound only, not yet written).
function showThumb() {
  const n = page.selected;
  const image = $('thumb');
  if (!n || !isRunning(n)) {
    $('thumbBox').style.display = 'none';
    image.dataset.channel = '';
    return;
  }
  image.dataset.channel = String(n);
  image.src = thumbUrl(n);
}

function onThumbLoaded(shown) {
  // A picture that arrives after another row was chosen belongs to no one.
  const current = $('thumb').dataset.channel === String(page.selected);
  $('thumbBox').style.display = shown && current ? '' : 'none';
}

function wallTile(n) {
  const existing = $('wallGrid').querySelector('.tile[data-channel="' + n + '"]');
  if (existing) return existing;
  const tile = document.createElement('div');
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
  on('iframe_hidden', 'load', onHiddenFrameLoad);
  on('chform', 'formdata', e => completeFormData(e.formData));
  on('btnStart', 'click', startChannel);
  on('btnStop', 'click', stopChannel);
  on('btnManual', 'click', () => window.open('/manual.html', '_blank'));
  on('btnWall', 'click', openWall);
  on('wallClose', 'click', closeWall);
  on('thumb', 'load', () => onThumbLoaded(true));
  on('thumb', 'error', () => onThumbLoaded(false));
  on('btnEdit', 'click', startEditing);
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

// Escape closes the topmost thing: a box, else the editing.
function onKeyDown(event) {
  if (event.key !== 'Escape') return;
  if (isBoxOpen('wall')) closeWall();
  else if (isBoxOpen('boxAdvFormat')) cancelAdvFormat();
  else if (isBoxOpen('boxAdvVideo')) cancelAdvVideo();
  else if (isBoxOpen('boxSettings')) closeBox('boxSettings');
  else if (isBoxOpen('boxDecklink')) closeBox('boxDecklink');
  else if (isBoxOpen('boxNdi')) closeNdi();
  else cancelEditing();
}

// boxes.js: the pop-up boxes: advanced video and format settings, global
// settings with import and export, DeckLink devices and NDI sources.
'use strict';

const PRESETS = ['ultrafast', 'superfast', 'veryfast', 'faster', 'fast', 'medium', 'slow', 'slower', 'veryslow'];
const DEFAULT_PRESET = 3;
const SELECTED_ENTRY = '#bbddff';
const PLAIN_ENTRY = '#ffffff';

const boxes = {
  formatAtOpening: null, decklink: [], decklinkOutput: false, device: -1, mode: -1,
  ndi: [], ndiSource: -1, ndiSearch: 0,
};

// The boxes are modal dialogs: the page behind one cannot be reached, and
// each box gives focus back to what had it when it opened. They stack: the
// last one opened is the innermost, which Escape closes first.
const openBoxes = [];

function isBoxOpen(id) { return $(id).open; }
function openDialog() { return openBoxes.length ? openBoxes[openBoxes.length - 1].box : null; }

function openBox(id) {
  const box = $(id);
  if (box.open) return;
  const message = box.querySelector('.boxMessage');
  if (message) message.hidden = true;
  openBoxes.push({ box: box, opener: document.activeElement });
  box.showModal();
}

function closeBox(id) {
  const at = openBoxes.findIndex(entry => entry.box.id === id);
  if (at < 0) return;
  const [entry] = openBoxes.splice(at, 1);
  entry.box.close();
  if (entry.opener && entry.opener.isConnected && typeof entry.opener.focus === 'function') entry.opener.focus();
}

// Escape on a box is its Cancel. A box the browser closes by itself (a
// second Escape may not be held back) is cancelled all the same.
function wireBoxClosing(cancels) {
  for (const [id, cancel] of Object.entries(cancels)) {
    const box = $(id);
    box.addEventListener('cancel', event => {
      event.preventDefault();
      cancel();
    });
    box.addEventListener('close', () => {
      if (openBoxes.some(entry => entry.box === box)) cancel();
    });
  }
}

// ---- advanced video ----

function showPresetName() {
  $('presetName').textContent = PRESETS[Number($('preset').value) - 1] || '';
}

function buildVideoOptions() {
  const value = id => $(id).value.trim().toLowerCase();
  const parts = [];
  if (value('profile') && value('profile') !== 'default') parts.push('-profile:v ' + value('profile'));
  if (value('level') && value('level') !== 'default') parts.push('-level ' + value('level'));
  if (value('threads') && value('threads') !== '2') parts.push('-threads ' + value('threads'));
  const preset = Number($('preset').value);
  if (preset !== DEFAULT_PRESET) parts.push('-preset:v ' + PRESETS[preset - 1]);
  return parts.join(' ');
}

function readVideoOptions(text) {
  const words = text.toLowerCase().split(/\s+/).filter(Boolean);
  const found = { profile: 'default', level: 'default', threads: '2', preset: DEFAULT_PRESET };
  for (let i = 0; i + 1 < words.length; i++) {
    const option = words[i];
    if (option === '-profile:v') found.profile = words[++i];
    else if (option === '-level') found.level = words[++i];
    else if (option === '-threads') found.threads = words[++i];
    else if (option === '-preset:v') found.preset = PRESETS.indexOf(words[++i]) + 1 || DEFAULT_PRESET;
  }
  $('profile').value = found.profile;
  $('level').value = found.level;
  $('threads').value = found.threads;
  $('preset').value = String(found.preset);
  showPresetName();
}

function openAdvVideo() {
  readVideoOptions($('tvparam').value);
  openBox('boxAdvVideo');
}

function okAdvVideo() {
  $('tvparam').value = buildVideoOptions();
  closeBox('boxAdvVideo');
}

function cancelAdvVideo() {
  readVideoOptions($('tvparam').value);
  closeBox('boxAdvVideo');
}

// ---- advanced format ----

const FORMAT_BOX_FIELDS = ['mparam', 'rtmpflash', 'rtmpswf', 'rtmpuser', 'rtmppass', 'fparam',
  'hlsHours', 'hlsMinutes', 'hlsSeconds', 'hlsListSize', 'hlsStartNumber', 'hlsBaseUrl',
  'tslen', 'tsHours', 'tsMinutes', 'tsSeconds', 'tspath', 'sparam', 'tparam',
  'bsrc', 'stimeout', 'ablack', 'afreeze', 'asilent'];
const RTMP_FIELDS = ['rtmpflash', 'rtmpswf', 'rtmpuser', 'rtmppass'];
const HLS_FIELDS = ['hlsHours', 'hlsMinutes', 'hlsSeconds', 'hlsListSize', 'hlsStartNumber', 'hlsBaseUrl'];

function showTab(pageId) {
  for (const tab of document.querySelectorAll('#boxAdvFormat .tab')) {
    tab.classList.toggle('active', tab.dataset.page === pageId);
    $(tab.dataset.page).classList.toggle('active', tab.dataset.page === pageId);
  }
}

function setDuration(prefix, seconds) {
  const total = Number(seconds) > 0 ? Number(seconds) : 0;
  $(prefix + 'Hours').value = String(Math.floor(total / 3600));
  $(prefix + 'Minutes').value = String(Math.floor((total % 3600) / 60));
  $(prefix + 'Seconds').value = String(+(total % 60).toFixed(3));
}

function duration(prefix) {
  const part = name => Number($(prefix + name).value.trim()) || 0;
  return part('Hours') * 3600 + part('Minutes') * 60 + part('Seconds');
}

// The HLS fields from the format options; other options are not the box's.
function readHlsOptions(text) {
  const words = text.split(/\s+/).filter(Boolean);
  const found = { time: 5, size: '5', start: '1', base: '' };
  for (let i = 0; i + 1 < words.length; i++) {
    const option = words[i];
    if (option === '-hls_time') found.time = Number(words[++i]) || 0;
    else if (option === '-hls_list_size') found.size = words[++i];
    else if (option === '-start_number') found.start = words[++i];
    else if (option === '-hls_base_url') found.base = words[++i];
    else if (option === '-hls_wrap') i++;
  }
  setDuration('hls', found.time);
  $('hlsListSize').value = found.size;
  $('hlsStartNumber').value = found.start;
  $('hlsBaseUrl').value = found.base;
}

function wholeNumber(text) {
  return /^\s*-?\d+\s*$/.test(text) ? Number(text) : NaN;
}

function buildHlsOptions() {
  const length = duration('hls');
  const parts = ['-hls_time ' + (length > 0 ? length : 5)];
  const size = wholeNumber($('hlsListSize').value);
  if (!Number.isNaN(size) && size !== 5) parts.push('-hls_list_size ' + size);
  const start = wholeNumber($('hlsStartNumber').value);
  if (!Number.isNaN(start) && start !== 1) parts.push('-start_number ' + start);
  const base = $('hlsBaseUrl').value.trim();
  if (base) parts.push('-hls_base_url ' + base);
  return parts.join(' ');
}

function openAdvFormat() {
  const format = $('tfmt').value;
  boxes.formatAtOpening = Object.fromEntries(FORMAT_BOX_FIELDS.map(id => [id, $(id).value]));
  for (const id of RTMP_FIELDS) $(id).disabled = format !== 'rtmp';
  for (const id of HLS_FIELDS) $(id).disabled = format !== 'hls';
  readHlsOptions($('fparam').value);
  setDuration('ts', $('tslen').value);
  if ($('tspath').value === '') $('tspath').value = '/var/orval/cache/' + panelRow();
  showTab('pageStream');
  openBox('boxAdvFormat');
}

function okAdvFormat() {
  const shift = Math.floor(duration('ts'));
  if (shift > 0 && $('tspath').value.trim() === '') {
    alert('Time Shifting enabled but cache folder not set!');
    return;
  }
  $('tslen').value = String(shift);
  // The proposed folder is only kept for a channel that shifts.
  if (shift <= 0 && boxes.formatAtOpening.tspath === '') $('tspath').value = '';
  if ($('tfmt').value === 'hls') $('fparam').value = buildHlsOptions();
  closeBox('boxAdvFormat');
}

function cancelAdvFormat() {
  for (const [id, value] of Object.entries(boxes.formatAtOpening || {})) $(id).value = value;
  closeBox('boxAdvFormat');
}

// ---- global settings ----

function markEmptyPassword() {
  const unshown = page.globalCfg && page.globalCfg.loginPassUnshown > 0;
  $('login_pass').classList.toggle('empty', $('login_pass').value === '' && !unshown);
}

async function openSettings() {
  $('boxSettingsOk').disabled = true;
  openBox('boxSettings');
  const cfg = await fetchGlobalConfig();
  if (!cfg || !isBoxOpen('boxSettings')) return;
  fillSettings(cfg);
  $('boxSettingsOk').disabled = false;
}

function fillSettings(cfg) {
  $('http_port').value = String(cfg.httpPort);
  // A stored password that cannot be shown stays as it is unless a new one is typed.
  const unshown = cfg.loginPassUnshown > 0;
  $('login_pass').value = unshown ? '' : cfg.loginPass;
  $('login_pass').placeholder = unshown ? 'kept as stored (cannot be shown)' : '';
  $('log').checked = cfg.log > 0;
  $('autorun').checked = cfg.autorun > 0;
  $('autorunNote').hidden = cfg.autorunManaged === undefined || cfg.autorunManaged > 0;
  $('auto_restart_on').checked = cfg.autoRestart > 0;
  $('auto_restart').value = String(cfg.autoRestart);
  $('folder_recur').checked = cfg.folderRecur > 0;
  $('folder_shuffle').checked = cfg.folderShuffle > 0;
  $('cpu_affinity_on').checked = cfg.cpuAffinity > 0;
  $('cpu_affinity').value = String(cfg.cpuAffinity);
  markEmptyPassword();
}

// A ticked box with no number proposes one; an unticked one sends 0.
function toggleNumber(checkId, numberId, proposal) {
  const number = $(numberId);
  if ($(checkId).checked && !(Number(number.value) > 0)) number.value = proposal;
  if (!$(checkId).checked) number.value = '0';
}

function settingsBody() {
  const body = formBody($('settingsForm'));
  const unshown = page.globalCfg && page.globalCfg.loginPassUnshown > 0;
  if (unshown && $('login_pass').value === '') body.delete('login_pass');
  return body;
}

async function okSettings() {
  toggleNumber('auto_restart_on', 'auto_restart', '10');
  toggleNumber('cpu_affinity_on', 'cpu_affinity', '1');
  const port = wholeNumber($('http_port').value);
  if (!(port >= 1 && port <= 65535)) {
    alert('HTTP Port must be a number from 1 to 65535');
    return;
  }
  for (const [id, label] of [['auto_restart', 'Auto Restart'], ['cpu_affinity', 'CPU Affinity']]) {
    if (Number.isNaN(wholeNumber($(id).value))) {
      alert(label + ' must be a number');
      return;
    }
  }
  $('boxSettingsOk').disabled = true;
  const reply = await request('/global_config', { method: 'POST', body: settingsBody() });
  $('boxSettingsOk').disabled = false;
  if (reply.status !== 200 || isLoginPage(reply)) {
    // The box stays open with what the operator entered.
    notify(reasonOf(reply, 'Saving the settings'), false);
    return;
  }
  closeBox('boxSettings');
  notify('Settings saved', true);
  await afterSettings();
}

async function afterSettings() {
  const cfg = await fetchGlobalConfig();
  if (cfg && cfg.loginPass !== '' && $('warning')) $('warning').style.display = 'none';
}

async function importConfig() {
  const input = $('file');
  if (!input.value) return;
  const question = 'Import all channels from <' + input.name + '>?\n' +
                   'All current channel settings will be OVERWRITTEN!';
  if (!confirm(question)) {
    input.value = '';
    return;
  }
  const reply = await request('/import', { method: 'POST', body: new FormData($('importForm')) });
  input.value = '';
  // The server answers a good import with a redirect back to the page (the
  // login page when the import brought another password: the poll says so).
  if (reply.status !== 200) {
    notify(reasonOf(reply, 'Importing the configuration'), false);
    return;
  }
  ownChangeLanded();
  closeBox('boxSettings');
  notify('Configuration imported', true);
  if (page.editing) stopEditing();
  page.resync = true;
  await fetchGlobalConfig();
  pollStatus();
}

function exportConfig() {
  const link = document.createElement('a');
  link.href = '/orval.conf';
  link.download = 'orval.conf';
  document.body.append(link);
  link.click();
  link.remove();
}

// ---- DeckLink ----

function markEntry(list, index) {
  Array.from(list.children).forEach((entry, i) => {
    entry.style.backgroundColor = i === index ? SELECTED_ENTRY : PLAIN_ENTRY;
    entry.setAttribute('aria-selected', String(i === index));
  });
}

// A list that says something instead of listing choices.
function listMessage(list, text) {
  list.removeAttribute('role');
  list.textContent = text;
}

// The entries are options a click, Enter or the space bar chooses.
function fillList(list, texts, choose) {
  list.textContent = '';
  list.setAttribute('role', 'listbox');
  texts.forEach((text, i) => {
    const entry = document.createElement('div');
    entry.textContent = text;
    entry.setAttribute('role', 'option');
    entry.tabIndex = 0;
    entry.addEventListener('click', () => choose(i));
    entry.addEventListener('keydown', event => {
      if (event.key !== 'Enter' && event.key !== ' ') return;
      event.preventDefault();
      choose(i);
    });
    list.append(entry);
  });
}

function modeText(mode) {
  return mode.width + 'x' + mode.height + (mode.interlaced ? 'i' : 'p') +
         ' @ ' + mode.numFrame + '/' + mode.denFrame + ' fps';
}

function chooseMode(index) {
  boxes.mode = index;
  markEntry($('decklinkFormats'), index);
  $('boxDecklinkOk').disabled = index < 0;
}

function deviceModes(index) {
  const device = boxes.decklink[index];
  return device && Array.isArray(device.formats) ? device.formats : [];
}

function chooseDevice(index) {
  boxes.device = index;
  markEntry($('decklinkDevices'), index);
  const modes = deviceModes(index);
  fillList($('decklinkFormats'), modes.map(modeText), chooseMode);
  if (!modes.length) {
    // Say why OK cannot be pressed.
    listMessage($('decklinkFormats'), boxes.decklinkOutput ? 'This card has no playback modes'
                                                           : 'This card has no capture modes');
  }
  chooseMode(modes.length ? 0 : -1);
}

async function openDecklink(output) {
  boxes.decklinkOutput = output;
  boxes.device = boxes.mode = -1;
  listMessage($('decklinkDevices'), 'Searching...');
  listMessage($('decklinkFormats'), '');
  $('boxDecklinkOk').disabled = true;
  openBox('boxDecklink');
  const reply = await fetchJson('decklink_config?output=' + (output ? 1 : 0));
  if (!isBoxOpen('boxDecklink') || boxes.decklinkOutput !== output) return;
  boxes.decklink = reply && Array.isArray(reply.devices) ? reply.devices : [];
  if (!boxes.decklink.length) {
    // A driver that is missing is not the same as nothing plugged in.
    listMessage($('decklinkDevices'), reply && reply.error ? reply.error : 'No Decklink devices found');
    return;
  }
  fillList($('decklinkDevices'), boxes.decklink.map(d => d.name), chooseDevice);
  // The first card that has modes on the side asked for.
  const first = boxes.decklink.findIndex((d, i) => deviceModes(i).length > 0);
  chooseDevice(first < 0 ? 0 : first);
}

// Cancel leaves the format as it was before the box was asked for.
function cancelDecklink() {
  if (boxes.decklinkOutput) $('tfmt').value = page.lastTfmt;
  else $('sfmt').value = page.lastSfmt;
  closeBox('boxDecklink');
}

// The display mode code spelled as its four characters, most significant byte first.
function fourCharacters(code) {
  return [24, 16, 8, 0].map(shift => String.fromCharCode((code >>> shift) & 0xff)).join('');
}

function okDecklink() {
  const device = boxes.decklink[boxes.device];
  const mode = device && device.formats[boxes.mode];
  if (!mode) return;
  if (boxes.decklinkOutput) {
    $('turl').value = device.name;
    $('vx').value = String(mode.width);
    $('vy').value = String(mode.height);
    setSelect($('frameSize'), frameSizeName(mode.width, mode.height));
    $('vr').value = formatRate(mode.numFrame / mode.denFrame);
    page.lastTfmt = 'decklink';
  } else {
    $('surl').value = device.name;
    $('svparam').value = '-format_code ' + fourCharacters(mode.fmtcode);
    page.lastSfmt = 'decklink';
  }
  closeBox('boxDecklink');
}

// ---- NDI ----

function chooseNdiSource(index) {
  boxes.ndiSource = index;
  markEntry($('ndiList'), index);
  $('boxNdiOk').disabled = index < 0;
}

function ndiTimeout() {
  const seconds = wholeNumber($('ndiTimeout').value);
  return seconds > 0 ? seconds : 5;
}

async function searchNdi() {
  const search = ++boxes.ndiSearch;
  const seconds = ndiTimeout();
  $('ndiTimeout').value = String(seconds);
  listMessage($('ndiList'), 'Searching...');
  $('boxNdi').classList.add('waiting');
  chooseNdiSource(-1);
  const reply = await fetchJson('ndi_config?timeout=' + seconds);
  // Only the latest search fills the list.
  if (search !== boxes.ndiSearch) return;
  $('boxNdi').classList.remove('waiting');
  boxes.ndi = reply && Array.isArray(reply.sources) ? reply.sources : [];
  if (!boxes.ndi.length) {
    listMessage($('ndiList'), reply && reply.error ? reply.error : 'No NDI sources found');
    return;
  }
  fillList($('ndiList'), boxes.ndi.map(s => s.name + '\u00a0\u00a0\u00a0(' + s.addr + ')'), chooseNdiSource);
  chooseNdiSource(0);
}

function openNdi() {
  openBox('boxNdi');
  searchNdi();
}

function closeNdi() {
  boxes.ndiSearch++;
  $('boxNdi').classList.remove('waiting');
  closeBox('boxNdi');
}

function cancelNdi() {
  $('sfmt').value = page.lastSfmt;
  closeNdi();
}

function okNdi() {
  const source = boxes.ndi[boxes.ndiSource];
  if (!source) return;
  $('surl').value = source.name;
  $('svparam').value = '-wait_sources ' + $('ndiTimeout').value;
  page.lastSfmt = 'ndi';
  closeNdi();
}

function wireBoxes() {
  const on = (id, type, handler) => $(id).addEventListener(type, handler);
  on('btnAdvVideo', 'click', openAdvVideo);
  on('boxAdvVideoOk', 'click', okAdvVideo);
  on('boxAdvVideoCancel', 'click', cancelAdvVideo);
  on('preset', 'input', showPresetName);
  on('btnAdvFormat', 'click', openAdvFormat);
  on('boxAdvFormatOk', 'click', okAdvFormat);
  on('boxAdvFormatCancel', 'click', cancelAdvFormat);
  for (const tab of document.querySelectorAll('#boxAdvFormat .tab')) {
    tab.addEventListener('click', () => showTab(tab.dataset.page));
  }
  on('btnSettings', 'click', openSettings);
  on('boxSettingsOk', 'click', okSettings);
  on('boxSettingsCancel', 'click', () => closeBox('boxSettings'));
  on('settingsForm', 'submit', event => event.preventDefault());
  on('login_pass', 'input', markEmptyPassword);
  on('auto_restart_on', 'change', () => toggleNumber('auto_restart_on', 'auto_restart', '10'));
  on('cpu_affinity_on', 'change', () => toggleNumber('cpu_affinity_on', 'cpu_affinity', '1'));
  on('btnImport', 'click', () => $('file').click());
  on('file', 'change', importConfig);
  on('btnExport', 'click', exportConfig);
  on('boxDecklinkOk', 'click', okDecklink);
  on('boxDecklinkCancel', 'click', cancelDecklink);
  on('boxNdiOk', 'click', okNdi);
  on('boxNdiCancel', 'click', cancelNdi);
  on('ndiSearchAgain', 'click', searchNdi);
  wireBoxClosing({
    wall: closeWall, boxSettings: () => closeBox('boxSettings'), boxDecklink: cancelDecklink,
    boxNdi: cancelNdi, boxAdvFormat: cancelAdvFormat, boxAdvVideo: cancelAdvVideo,
  });
}

// The camera console: identity, claim, configuration, recording, live view and downloads, all through
// the server's public routes.
import { ApiError, call, findNeighbours, getJson, query, saveFile, startHeartbeat } from './api.js';
import { LiveView } from './live_view.js';

const HEARTBEAT_MS = 2000;
const STATUS_MS = 500;
const NEWEST_IMAGE = 4294967295;  // the recorder's index of the newest image
const NEIGHBOUR_SPAN = 8;         // camera servers are numbered upward from 8080
const MONO_FORMATS = ['Mono8'];
const COLOR_FORMATS = ['BGR8', 'RGB8', 'BGRA8', 'RGBA8', 'Mono8'];

const $ = (id) => document.getElementById(id);

const state = { colored: false, recording: false, stopHeartbeat: null, config: null };

function showMessage(text, isError = false) {
  const box = $('message');
  box.textContent = text;
  box.classList.toggle('error', isError);
  box.hidden = false;
}

function reportError(action, error) {
  const text = error instanceof ApiError ? error.message : String(error);
  showMessage(`${action} refused — ${text}`, true);
}

function fillSelect(select, values, label = (v) => String(v)) {
  select.replaceChildren(...values.map((v) => new Option(label(v), String(v))));
}

// ---- Identity and neighbours -------------------------------------------------------------------

async function loadIdentity() {
  const [name, serial, iface, description, colored] = await Promise.all([
    getJson('/v1/getName'), getJson('/v1/getSerial'), getJson('/v1/getInterface'),
    getJson('/v1/getDescription'), getJson('/v1/isColored')]);
  document.title = `${name} – camera console`;
  $('camera-name').textContent = name;
  $('serial').textContent = String(serial);
  $('interface').textContent = typeof iface === 'string' ? iface : JSON.stringify(iface);
  $('description').textContent =
    `${description.max_width} × ${description.max_height} px, ${description.bit_resolution} bit, ` +
    `${colored ? 'colour' : 'mono'}${description.has_ram ? ', camera RAM' : ''}`;
  state.colored = colored;
  const formats = colored ? COLOR_FORMATS : MONO_FORMATS;
  fillSelect($('format'), formats);
  $('format').parentElement.hidden = !colored;
  fillSelect($('binning-horz'), description.binning_horz_vec);
  fillSelect($('binning-vert'), description.binning_vert_vec);
  fillSelect($('pixelrate'), description.pixelrate_vec, (v) => `${v / 1e6} MHz`);
}

async function loadNeighbours() {
  const own = Number(window.location.port || 80);
  const ports = [];
  for (let p = Math.max(1, own - NEIGHBOUR_SPAN); p <= own + NEIGHBOUR_SPAN; p++) if (p !== own) ports.push(p);
  const found = (await findNeighbours(ports)).filter(({ entry }) => entry.type === 'camera');
  const nav = $('neighbours');
  if (!found.length) {
    nav.replaceChildren(Object.assign(document.createElement('span'), { className: 'muted', textContent: 'No other cameras on this host' }));
    return;
  }
  nav.replaceChildren(...found.map(({ port, entry }) => {
    const link = document.createElement('a');
    link.href = `${window.location.protocol}//${window.location.hostname}:${port}/`;
    link.textContent = `${entry.name} (${entry.serial}) :${port}${entry.free ? '' : ' · claimed'}`;
    return link;
  }));
}

// ---- Claim -------------------------------------------------------------------------------------

function claim() {
  $('claim-warning').hidden = true;
  $('claim-take').hidden = true;
  state.stopHeartbeat?.();
  state.stopHeartbeat = startHeartbeat(HEARTBEAT_MS, (ok) => {
    const badge = $('claim-state');
    badge.textContent = ok ? 'claimed by this console' : 'heartbeat failed';
    badge.className = ok ? 'badge ours' : 'badge other';
  });
}

async function checkClaim() {
  // The claim is advisory: a camera already claimed belongs to someone else until it is free again.
  const info = await getJson('/v1/info');
  if (info.free) {
    claim();
    return;
  }
  const badge = $('claim-state');
  badge.textContent = 'claimed by another client';
  badge.className = 'badge other';
  $('claim-warning').hidden = false;
  $('claim-take').hidden = false;
}

// ---- Configuration -----------------------------------------------------------------------------

async function loadConfiguration() {
  const config = await getJson('/v1/getConfiguration');
  state.config = config;
  $('exposure-ms').value = +(config.exposure_time_s * 1e3).toPrecision(9);
  $('delay-ms').value = +(config.delay_time_s * 1e3).toPrecision(9);
  for (const key of ['x0', 'y0', 'x1', 'y1']) $(`roi-${key}`).value = config.roi[key];
  $('binning-horz').value = String(config.binning.horz);
  $('binning-vert').value = String(config.binning.vert);
  $('pixelrate').value = String(config.pixelrate);
  $('trigger-mode').value = String(config.trigger_mode);
}

async function applyConfiguration(event) {
  event.preventDefault();
  try {
    const config = await getJson('/v1/getConfiguration');
    config.exposure_time_s = Number($('exposure-ms').value) / 1e3;
    config.delay_time_s = Number($('delay-ms').value) / 1e3;
    for (const key of ['x0', 'y0', 'x1', 'y1']) config.roi[key] = Number($(`roi-${key}`).value);
    config.binning.horz = Number($('binning-horz').value);
    config.binning.vert = Number($('binning-vert').value);
    config.pixelrate = Number($('pixelrate').value);
    config.trigger_mode = Number($('trigger-mode').value);
    await call('PUT', '/v1/setConfiguration', { body: config });
    showMessage('Configuration applied');
  } catch (e) {
    reportError('Configuration', e);
  }
  try {
    await loadConfiguration();
  } catch (e) {
    reportError('Reading the configuration', e);
  }
}

// ---- Recording and live view -------------------------------------------------------------------

const live = new LiveView({
  canvas: $('live-canvas'), viewport: $('viewport'), histogram: $('hist-canvas'),
  stats: { min: $('hist-min'), max: $('hist-max'), mean: $('hist-mean') },
  counter: $('frame-count'), state: $('live-state'),
});

function streamUrl() {
  return `/v1/stream${query({ format: $('format').value || 'Mono8' })}`;
}

async function startRecording(event) {
  event.preventDefault();
  try {
    await call('POST', '/v1/record', { params: { imgCount: Number($('rec-count').value), recMode: $('rec-mode').value } });
    showMessage('Recording started');
    await pollStatus();
  } catch (e) {
    reportError('Record', e);
  }
}

async function stopRecording() {
  try {
    await call('POST', '/v1/stop');
    showMessage('Recording stopped');
  } catch (e) {
    reportError('Stop', e);
  }
}

async function pollStatus() {
  try {
    const [recording, count] = await Promise.all([getJson('/v1/isRecording'), getJson('/v1/getRecordedImageCount')]);
    $('recorded-count').textContent = String(count.recorded);
    $('recording-state').textContent = recording ? 'recording' : 'stopped';
    state.recording = recording;
    // The stream ends with its recording; a new recording starts a new one.
    if (recording && !live.running) live.start(streamUrl());
    if (!recording && !live.running) $('live-state').textContent = 'no recording';
  } catch (e) {
    $('recording-state').textContent = e.message;
  }
}

// ---- Downloads ---------------------------------------------------------------------------------

async function downloadPng() {
  try {
    const format = $('format').value || 'Mono8';
    const res = await call('GET', '/v1/image', { params: { index: NEWEST_IMAGE, format }, accept: 'image/png' });
    saveFile(`image-${res.headers.get('recorderImageNumber')}-${format}.png`, await res.blob());
  } catch (e) {
    reportError('PNG download', e);
  }
}

async function downloadRaw() {
  try {
    const format = $('format').value || 'Mono8';
    const res = await call('GET', '/v1/image', { params: { index: NEWEST_IMAGE, format } });
    const headers = {};
    for (const name of ['crop', 'format', 'rawFormat', 'recorderImageNumber', 'colorMode', 'metadata', 'timestamp', 'convCtrl']) {
      const value = res.headers.get(name);
      if (value !== null) headers[name] = value;
    }
    const stem = `image-${headers.recorderImageNumber}-${format}`;
    saveFile(`${stem}.raw`, await res.blob());
    saveFile(`${stem}.headers.json`, new Blob([JSON.stringify(headers, null, 2)], { type: 'application/json' }));
  } catch (e) {
    reportError('Raw download', e);
  }
}

// ---- Start -------------------------------------------------------------------------------------

async function main() {
  $('config-form').addEventListener('submit', applyConfiguration);
  $('reload-config').addEventListener('click', () => loadConfiguration().catch((e) => reportError('Reading the configuration', e)));
  $('record-form').addEventListener('submit', startRecording);
  $('rec-stop').addEventListener('click', stopRecording);
  $('claim-take').addEventListener('click', claim);
  $('zoom').addEventListener('change', () => live.setZoom($('zoom').value));
  $('format').addEventListener('change', () => { if (state.recording) live.start(streamUrl()); });
  $('download-png').addEventListener('click', downloadPng);
  $('download-raw').addEventListener('click', downloadRaw);
  try {
    await loadIdentity();
    await loadConfiguration();
    await checkClaim();
  } catch (e) {
    reportError('Loading the camera', e);
  }
  await pollStatus();
  setInterval(pollStatus, STATUS_MS);
  loadNeighbours();
  document.body.dataset.ready = 'true';
}

main();

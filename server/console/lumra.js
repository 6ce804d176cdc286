// The light-source console: channels with their wavelengths, intensities, on/off states and
// exclusivity groups, through the light-source server's public routes.
import { ApiError, call, getJson, startHeartbeat } from './api.js';

const HEARTBEAT_MS = 2000;
const GROUP_COLOURS = ['#333a42', '#7a4fe0', '#e07a4f', '#4fe0a8', '#e04f9c', '#c0c040'];
const $ = (id) => document.getElementById(id);

const state = { description: null, config: null };

function showMessage(text, isError = false) {
  const box = $('message');
  box.textContent = text;
  box.classList.toggle('error', isError);
  box.hidden = false;
}

function reportError(action, error) {
  showMessage(`${action} refused — ${error instanceof ApiError ? error.message : String(error)}`, true);
}

async function send(config) {
  try {
    await call('POST', '/v1/setConfiguration', { body: config });
    state.config = config;
    showMessage('Applied');
  } catch (e) {
    reportError('Setting the light', e);
    await loadConfiguration();
  }
}

function render() {
  const { description, config } = state;
  const rows = description.wavelenghts_vec.map((wavelength, i) => {
    const row = document.createElement('tr');
    const group = description.exclusivity_vec[i];
    const slider = Object.assign(document.createElement('input'), {
      type: 'range', min: description.intensity_min_vec[i], max: description.intensity_max_vec[i],
      value: config.intensities[i], id: `intensity-${i}`,
    });
    const value = Object.assign(document.createElement('span'), { textContent: String(config.intensities[i]) });
    slider.addEventListener('input', () => { value.textContent = slider.value; });
    slider.addEventListener('change', () => {
      const next = structuredClone(state.config);
      next.intensities[i] = Number(slider.value);
      send(next);
    });
    const toggle = Object.assign(document.createElement('input'), { type: 'checkbox', checked: !!config.on_states[i], id: `on-${i}` });
    toggle.addEventListener('change', () => {
      const next = structuredClone(state.config);
      next.on_states[i] = toggle.checked ? 1 : 0;
      // Switching a channel on switches the others of its group off.
      if (toggle.checked && group !== 0)
        description.exclusivity_vec.forEach((g, j) => { if (j !== i && g === group) next.on_states[j] = 0; });
      send(next).then(render);
    });
    const badge = Object.assign(document.createElement('span'), { className: 'group', textContent: String(group) });
    badge.style.background = GROUP_COLOURS[group % GROUP_COLOURS.length];
    const cells = [`${wavelength} nm`, badge, slider, value, toggle].map((content) => {
      const cell = document.createElement('td');
      cell.append(content);
      return cell;
    });
    row.append(...cells);
    return row;
  });
  $('channels').tBodies[0].replaceChildren(...rows);
}

async function loadConfiguration() {
  state.config = await getJson('/v1/getConfiguration');
  render();
}

async function switchAll(on) {
  try {
    await call('POST', on ? '/v1/switchOn' : '/v1/switchOff');
    await loadConfiguration();
  } catch (e) {
    reportError(on ? 'Switching on' : 'Switching off', e);
  }
}

function claim() {
  $('claim-warning').hidden = true;
  $('claim-take').hidden = true;
  startHeartbeat(HEARTBEAT_MS, (ok) => {
    $('claim-state').textContent = ok ? 'claimed by this console' : 'heartbeat failed';
    $('claim-state').className = ok ? 'badge ours' : 'badge other';
  });
}

async function main() {
  $('all-on').addEventListener('click', () => switchAll(true));
  $('all-off').addEventListener('click', () => switchAll(false));
  $('defaults').addEventListener('click', async () => {
    try {
      await call('POST', '/v1/defaultConfiguration');
      await loadConfiguration();
    } catch (e) {
      reportError('Defaults', e);
    }
  });
  $('claim-take').addEventListener('click', claim);
  try {
    const description = await getJson('/v1/getDescription');
    state.description = description;
    document.title = `${description.name} – light source`;
    $('lumra-name').textContent = description.name || 'Light source';
    $('serial').textContent = String(description.serial);
    $('type').textContent = description.type;
    $('com-port').textContent = description.com_port;
    await loadConfiguration();
    const info = await getJson('/v1/info');
    if (info.free) {
      claim();
    } else {
      $('claim-state').textContent = 'claimed by another client';
      $('claim-state').className = 'badge other';
      $('claim-warning').hidden = false;
      $('claim-take').hidden = false;
    }
  } catch (e) {
    reportError('Loading the light source', e);
  }
  document.body.dataset.ready = 'true';
}

main();

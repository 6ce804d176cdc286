// Talking to a device server: requests with JSON parameters, error replies, heartbeats and the
// neighbouring servers of the same host. Uses only the public routes, like any other client.

/** A refused request: the HTTP status and, for camera failures, the server's code and operation. */
export class ApiError extends Error {
  constructor(status, code, where) {
    super(ApiError.describe(status, code, where));
    this.status = status;
    this.code = code;
    this.where = where;
  }

  static describe(status, code, where) {
    if (code === undefined) return `HTTP ${status}`;
    const hex = (code >>> 0).toString(16).toUpperCase().padStart(8, '0');
    return `HTTP ${status}: error ${code} (0x${hex}) in ${where}`;
  }
}

/** Query text of parameters whose values are sent as JSON text (strings keep their quotes). */
export function query(params = {}) {
  const pairs = Object.entries(params).map(([k, v]) => `${encodeURIComponent(k)}=${encodeURIComponent(JSON.stringify(v))}`);
  return pairs.length ? `?${pairs.join('&')}` : '';
}

/** Sends a request to `base` (default: this server) and returns the response; throws ApiError unless 2xx. */
export async function call(method, path, { params, body, accept, base = '', timeoutMs = 15000 } = {}) {
  const headers = {};
  if (accept) headers.Accept = accept;
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  const res = await fetch(base + path + query(params), {
    method, headers, body: body === undefined ? undefined : JSON.stringify(body),
    signal: AbortSignal.timeout(timeoutMs),
  });
  if (!res.ok) {
    let code, where;
    try {
      ({ code, where } = await res.json());
    } catch { /* most refusals carry no body */ }
    throw new ApiError(res.status, code, where);
  }
  return res;
}

/** A GET route's JSON answer. */
export async function getJson(path, params, base = '') {
  return (await call('GET', path, { params, base })).json();
}

/** Sends a heartbeat every `periodMs` until stopped; reports each result to `onBeat(ok)`. */
export function startHeartbeat(periodMs, onBeat) {
  let stopped = false;
  const beat = async () => {
    if (stopped) return;
    try {
      await call('POST', '/v1/heartbeat');
      onBeat(true);
    } catch {
      onBeat(false);
    }
  };
  beat();
  const timer = setInterval(beat, periodMs);
  return () => { stopped = true; clearInterval(timer); };
}

/** The discovery entries (/v1/info) of the servers on the ports around this one, found within `timeoutMs`. */
export async function findNeighbours(ports, timeoutMs = 1500) {
  const host = window.location.hostname;
  const probes = ports.map(async (port) => {
    try {
      const res = await fetch(`${window.location.protocol}//${host}:${port}/v1/info`, { signal: AbortSignal.timeout(timeoutMs) });
      return res.ok ? { port, entry: await res.json() } : null;
    } catch {
      return null;
    }
  });
  return (await Promise.all(probes)).filter(Boolean);
}

/** Offers bytes to the user as a file. */
export function saveFile(name, blob) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

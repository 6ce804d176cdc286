// The live view: reads the server's multipart JPEG stream with fetch, draws each frame on a canvas
// and keeps a histogram of what is shown.

const HIST_SAMPLE_WIDTH = 256;  // frames are scaled down to this width for the histogram

/** Splits a multipart/x-mixed-replace body into parts: {headers, body} with Content-Length bodies. */
export class MultipartParser {
  constructor(boundary) {
    this.boundary = new TextEncoder().encode(`--${boundary}`);
    this.buffer = new Uint8Array(0);
  }

  push(chunk) {
    const joined = new Uint8Array(this.buffer.length + chunk.length);
    joined.set(this.buffer);
    joined.set(chunk, this.buffer.length);
    this.buffer = joined;
  }

  static indexOf(haystack, needle, from = 0) {
    outer: for (let i = from; i <= haystack.length - needle.length; i++) {
      for (let j = 0; j < needle.length; j++) if (haystack[i + j] !== needle[j]) continue outer;
      return i;
    }
    return -1;
  }

  /** The next complete part, or null when more bytes are needed. */
  next() {
    const start = MultipartParser.indexOf(this.buffer, this.boundary);
    if (start < 0) return null;
    const headerEnd = MultipartParser.indexOf(this.buffer, new Uint8Array([13, 10, 13, 10]), start);
    if (headerEnd < 0) return null;
    const lines = new TextDecoder().decode(this.buffer.subarray(start, headerEnd)).split('\r\n').slice(1);
    const headers = {};
    for (const line of lines) {
      const colon = line.indexOf(':');
      if (colon > 0) headers[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
    }
    const length = Number(headers['content-length']);
    const bodyStart = headerEnd + 4;
    if (!Number.isFinite(length) || this.buffer.length < bodyStart + length) return null;
    const body = this.buffer.slice(bodyStart, bodyStart + length);
    this.buffer = this.buffer.slice(bodyStart + length);
    return { headers, body };
  }
}

export class LiveView {
  constructor({ canvas, viewport, histogram, stats, counter, state }) {
    Object.assign(this, { canvas, viewport, histogram, stats, counter, state });
    this.frames = 0;
    this.controller = null;
    this.lastHeaders = null;
    this.sample = document.createElement('canvas');
  }

  get running() { return this.controller !== null; }

  /** Starts reading the stream with these parameters (JSON-text values); a running stream is replaced. */
  async start(url) {
    this.stop();
    const controller = new AbortController();
    this.controller = controller;
    this.state.textContent = 'live';
    try {
      const res = await fetch(url, { signal: controller.signal });
      if (!res.ok) throw new Error(`HTTP ${res.status}`);
      const boundary = /boundary=([^;]+)/.exec(res.headers.get('Content-Type') || '')?.[1];
      if (!boundary) throw new Error('not a multipart stream');
      const parser = new MultipartParser(boundary.replace(/"/g, ''));
      const reader = res.body.getReader();
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        parser.push(value);
        // Only the newest complete frame is drawn; older ones in the same chunk are skipped.
        let part = null;
        for (let p = parser.next(); p; p = parser.next()) part = p;
        if (part) await this.draw(part);
      }
      if (this.controller === controller) this.state.textContent = 'stream ended';
    } catch (e) {
      if (this.controller === controller && e.name !== 'AbortError') this.state.textContent = `stream: ${e.message}`;
    } finally {
      if (this.controller === controller) this.controller = null;
    }
  }

  stop() {
    if (this.controller) this.controller.abort();
    this.controller = null;
  }

  async draw({ headers, body }) {
    const bitmap = await createImageBitmap(new Blob([body], { type: 'image/jpeg' }));
    if (this.canvas.width !== bitmap.width || this.canvas.height !== bitmap.height) {
      this.canvas.width = bitmap.width;
      this.canvas.height = bitmap.height;
      this.applyZoom();
    }
    this.canvas.getContext('2d').drawImage(bitmap, 0, 0);
    this.lastHeaders = headers;
    this.frames += 1;
    this.counter.textContent = String(this.frames);
    this.updateHistogram(bitmap);
    bitmap.close();
  }

  /** Zoom: "fit" scales to the viewport, a number is a factor of the image's pixel size. */
  setZoom(zoom) {
    this.zoom = zoom;
    this.applyZoom();
  }

  applyZoom() {
    const fit = !this.zoom || this.zoom === 'fit';
    this.viewport.classList.toggle('fit', fit);
    this.canvas.style.width = fit ? '' : `${this.canvas.width * Number(this.zoom)}px`;
  }

  updateHistogram(bitmap) {
    const width = Math.min(HIST_SAMPLE_WIDTH, bitmap.width);
    const height = Math.max(1, Math.round(bitmap.height * width / bitmap.width));
    this.sample.width = width;
    this.sample.height = height;
    const ctx = this.sample.getContext('2d', { willReadFrequently: true });
    ctx.drawImage(bitmap, 0, 0, width, height);
    const pixels = ctx.getImageData(0, 0, width, height).data;
    const counts = new Uint32Array(256);
    let min = 255, max = 0, sum = 0;
    for (let i = 0; i < pixels.length; i += 4) {
      // Luma of the shown pixel (grey frames have r = g = b).
      const v = Math.round(0.299 * pixels[i] + 0.587 * pixels[i + 1] + 0.114 * pixels[i + 2]);
      counts[v] += 1;
      if (v < min) min = v;
      if (v > max) max = v;
      sum += v;
    }
    const n = pixels.length / 4;
    this.stats.min.textContent = String(min);
    this.stats.max.textContent = String(max);
    this.stats.mean.textContent = (sum / n).toFixed(1);
    this.drawHistogram(counts);
  }

  drawHistogram(counts) {
    const ctx = this.histogram.getContext('2d');
    const { width, height } = this.histogram;
    ctx.clearRect(0, 0, width, height);
    const top = Math.max(...counts) || 1;
    ctx.fillStyle = '#4fa3e0';
    for (let v = 0; v < 256; v++) {
      const h = Math.round((counts[v] / top) * height);
      ctx.fillRect((v * width) / 256, height - h, Math.max(1, width / 256), h);
    }
  }
}

// Drives the daemon through chrome.runtime.connectNative and posts its verdict to the test.
// The test writes config.js beside this file: HOST_NAME, REPORT_URL, FILE_SIZE, CHUNK_BYTES.
importScripts('config.js');

const port = chrome.runtime.connectNative(HOST_NAME);
const replies = [];
let waiting = null;
let disconnected = null;
port.onMessage.addListener((message) => {
  if (waiting) { const resolve = waiting; waiting = null; resolve(message); } else replies.push(message);
});
port.onDisconnect.addListener(() => {
  disconnected = (chrome.runtime.lastError && chrome.runtime.lastError.message) || 'disconnected';
  if (waiting) { const resolve = waiting; waiting = null; resolve(null); }
});

function request(message) {
  port.postMessage(message);
  if (replies.length) return Promise.resolve(replies.shift());
  if (disconnected) return Promise.resolve(null);
  return new Promise((resolve) => { waiting = resolve; });
}

function check(condition, what, reply) {
  if (!condition) throw new Error(what + ': ' + JSON.stringify(reply) + (disconnected ? ' (' + disconnected + ')' : ''));
}

// Every byte value, in an order that no run-length trick compresses.
function makeBytes(n) {
  const bytes = new Uint8Array(n);
  let x = 0x9E3779B9;
  for (let i = 0; i < n; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    bytes[i] = x & 0xFF;
  }
  return bytes;
}

function toBase64(bytes) {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  return btoa(binary);
}

function fromBase64(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

async function sha256Hex(bytes) {
  const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
  return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('').toUpperCase();
}

async function run() {
  const steps = [];
  let reply = await request({ action: 0 });
  check(reply && reply.data === 'Pong' && reply.action === 0 && reply.errorCode === 0, 'ping', reply);
  steps.push('ping');

  const bytes = makeBytes(FILE_SIZE);
  const hash = await sha256Hex(bytes);
  const total = Math.ceil(FILE_SIZE / CHUNK_BYTES);
  reply = await request({ action: 1, data: JSON.stringify({
    action: 0, fileName: 'ignored', originalFileName: 'Hợp đồng.pdf', fileSize: FILE_SIZE, totalChunks: total, fileHash: hash.toLowerCase() }) });
  check(reply && reply.data === 'OK' && reply.errorCode === 0, 'upload metadata', reply);
  // Chunks travel last-first: the daemon orders them by index.
  for (let i = total - 1; i >= 0; i--) {
    const chunkData = toBase64(bytes.subarray(i * CHUNK_BYTES, (i + 1) * CHUNK_BYTES));
    reply = await request({ action: 1, data: JSON.stringify({ action: 1, chunkIndex: i, chunkData }) });
    check(reply && reply.errorCode === 0 && reply.action === 1, 'upload chunk ' + i, reply);
    if (i > 0) check(reply.data === 'OK', 'upload chunk ' + i, reply);
  }
  const done = JSON.parse(reply.data);
  check(done.status === 'SUCCESS' && /^[A-Z0-9]{16}_\.pdf$/.test(done.fileName) &&
        done.originalFileName === 'Hợp đồng.pdf' && done.fileSize === FILE_SIZE &&
        done.fileHash === hash.toLowerCase(), 'upload result', done);
  steps.push('upload');

  reply = await request({ action: 2, data: JSON.stringify({ action: 0, fileName: done.fileName }) });
  check(reply && reply.data === 'OK' && reply.errorCode === 0, 'download prepare', reply);
  const parts = [];
  for (let i = 0; ; i++) {
    reply = await request({ action: 2, data: JSON.stringify({ action: 1, chunkIndex: i }) });
    check(reply !== null, 'download chunk ' + i, reply);
    if (reply.errorCode === 2) {
      check(reply.action === 2 && reply.errorMessage === 'Chunk index is out of range Arg_ParamName_Name, chunkIndex' &&
            reply.data === undefined, 'download end', reply);
      break;
    }
    const chunk = JSON.parse(reply.data);
    check(chunk.chunkIndex === i, 'download chunk index', chunk.chunkIndex);
    parts.push(fromBase64(chunk.chunkData));
  }
  const back = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) { back.set(p, at); at += p.length; }
  check(back.length === FILE_SIZE && (await sha256Hex(back)) === hash, 'downloaded bytes', { length: back.length, chunks: parts.length });
  steps.push('download');
  return { ok: true, steps, fileName: done.fileName, sha256: hash, chunks: parts.length };
}

async function report(verdict) {
  for (let attempt = 0; attempt < 20; attempt++) {
    try { await fetch(REPORT_URL, { method: 'POST', body: JSON.stringify(verdict) }); return; } catch (e) {
      await new Promise((r) => setTimeout(r, 250));
    }
  }
}

run().then((verdict) => { port.disconnect(); return report(verdict); },
           (error) => { port.disconnect(); return report({ ok: false, error: String(error && error.message || error) }); });

// The page's speed, against the browser's own: in Chromium and in Firefox,
// the time the page takes from a downloader chosen to its result shown,
// and the time the same browser takes to read that file once with
// file.stream() in a worker, taken in turns, round after round; the ratio
// of their best times is printed, and that of their medians. The downloader is a PE
// image whose one section holds SIZE MiB of noise (no "R", so no "PSER"), with a
// real torrent appended, so the trailer search reads the whole file once.
// It fails only on a wrong answer, never on a time.
// Usage: node bench/page.mjs PAGE_DIR [--size MiB] [--rounds N] [--browsers chromium,firefox]
import assert from 'node:assert';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import {launch, serve} from '../tests/web/browsers.mjs';

const args = process.argv.slice(2);
const option = (name, fallback) => (args.includes(name) ? args[args.indexOf(name) + 1] : fallback);
const pageDir = path.resolve(args[0] || 'build/web/page');
const size = Number(option('--size', 512)) * 1024 * 1024;
const rounds = Number(option('--rounds', 3));
const browsers = option('--browsers', 'chromium,firefox').split(',');
const torrent = fs.readFileSync(new URL('../tests/fixtures/sample.torrent', import.meta.url));

/** Writes a PE32+ image of `size` bytes with one section of noise, the torrent after it. */
function writeDownloader(file) {
  const header = Buffer.alloc(0x200);
  header.write('MZ', 0, 'latin1');
  header.writeUInt32LE(0x80, 60);                 // e_lfanew
  header.write('PE\0\0', 0x80, 'latin1');
  header.writeUInt16LE(0x8664, 0x84);             // Machine: x86-64
  header.writeUInt16LE(1, 0x86);                  // NumberOfSections
  header.writeUInt16LE(0xf0, 0x94);               // SizeOfOptionalHeader
  header.writeUInt16LE(0x20b, 0x98);              // a 64-bit optional header
  header.writeUInt32LE(16, 0x98 + 108);           // NumberOfRvaAndSizes
  const section = 0x98 + 0xf0;
  header.write('.data', section, 'latin1');
  const dataSize = size - 0x200 - torrent.length;
  header.writeUInt32LE(dataSize, section + 16);   // SizeOfRawData
  header.writeUInt32LE(0x200, section + 20);      // PointerToRawData
  const noise = Buffer.alloc(1024 * 1024);
  for (let i = 0, x = 1; i < noise.length; ++i) {
    x = (x * 1103515245 + 12345) >>> 0;
    noise[i] = (x >>> 24) % 16 === 0 ? 0x50 : x >>> 16 & 0xff;  // "P" often, but never an "R"
    if (noise[i] === 0x52) noise[i] = 0;
  }
  const fd = fs.openSync(file, 'w');
  fs.writeSync(fd, header);
  for (let left = dataSize; left > 0; left -= noise.length) fs.writeSync(fd, noise, 0, Math.min(left, noise.length));
  fs.writeSync(fd, torrent);
  fs.closeSync(fd);
}

/** The times of `rounds` rounds of each: [page ms], [stream ms]. */
async function measure(page, file) {
  const times = [[], []];
  const stream = await page.evaluateHandle(() => {
    const input = Object.assign(document.createElement('input'), {type: 'file', hidden: true});
    document.body.append(input);
    return input;
  });
  await stream.uploadFile(file);
  for (let round = 0; round < rounds; ++round) {
    const streamMs = await page.evaluate((input) => new Promise((resolve) => {
      const code = `onmessage = async ({data}) => {
        const started = performance.now();
        const reader = data.stream().getReader();
        let bytes = 0;
        for (let chunk; !(chunk = await reader.read()).done;) bytes += chunk.value.length;
        postMessage([performance.now() - started, bytes]);
      };`;
      const worker = new Worker(URL.createObjectURL(new Blob([code], {type: 'text/javascript'})));
      worker.onmessage = ({data: [ms, bytes]}) => {
        worker.terminate();
        resolve(bytes === input.files[0].size ? ms : NaN);
      };
      worker.postMessage(input.files[0]);
    }), stream);
    assert.ok(streamMs >= 0, 'the stream read the whole file');
    await page.evaluate(() => {
      document.getElementById('results').replaceChildren();
      window.benchStarted = null;
      document.getElementById('files').addEventListener('change', () => { window.benchStarted = performance.now(); },
                                                       {once: true});
    });
    await (await page.$('#files')).uploadFile(file);
    const [pageMs, lines] = await page.waitForFunction(() => {
      const result = document.querySelector('.result:not([aria-busy])');
      return result && [performance.now() - window.benchStarted, result.querySelector('.lines').textContent];
    }, {timeout: 600000, polling: 10}).then((handle) => handle.jsonValue());
    assert.match(lines, /^Saving torrent to /m, `the page saved the torrent: ${lines}`);
    times[0].push(pageMs);
    times[1].push(streamMs);
  }
  return times.map((list) => list.sort((a, b) => a - b));
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'dl2torrent-page-bench-'));
try {
  const file = path.join(scratch, 'Quv-1-downloader.exe');
  writeDownloader(file);
  const server = await serve(pageDir);
  console.log(`page: ${size / 1048576} MiB downloader, ${rounds} rounds each`);
  for (const name of browsers) {
    const browser = await launch(name, scratch);
    const page = await browser.newPage();
    await page.goto(server.url);
    const [pageMs, streamMs] = await measure(page, file);
    const version = await browser.version();
    const ratio = (i) => `page ${(pageMs[i] / 1000).toFixed(2)} s / file.stream() ${(streamMs[i] / 1000).toFixed(2)} s = ` +
                         `${(pageMs[i] / streamMs[i]).toFixed(2)} ×`;
    console.log(`${name} (${version}): best ${ratio(0)}; median ${ratio(rounds >> 1)}`);
    await browser.close();
  }
  await server.close();
} finally {
  fs.rmSync(scratch, {recursive: true, force: true});
}

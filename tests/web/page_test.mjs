// The page in a real browser, Chromium or Firefox, headless, as people use
// it: downloaders chosen through the file input, which the keyboard
// reaches first, and two dropped at once.
// For each, the lines the page shows are the program's own, but the key
// prompt (the program built for this machine runs on the same file), the
// browser saves the torrent byte for byte, and the info-hashes shown are
// libtorrent's. No request leaves the page's origin, a request to another
// one is refused, axe-core finds no violation, and after one visit the page
// works with its server gone. A success and a failure are photographed.
// Usage: node tests/web/page_test.mjs BROWSER PAGE_DIR PROGRAM SCREENSHOTS_DIR
import assert from 'node:assert/strict';
import {execFile, execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {promisify} from 'node:util';

import {launch, require, serve} from './browsers.mjs';

const [browserName, pageDir, programArgument, screenshots] = process.argv.slice(2);
const program = path.resolve(programArgument);
const fixtures = new URL('../fixtures/', import.meta.url).pathname;
const fixture = (name) => fs.readFileSync(path.join(fixtures, name));
const PROMPT = 'Press any key to exit..';
const GiB = 1024 ** 3;

/** The 8-byte trailer: "PSER" and the back offset, little-endian. */
function trailer(back) {
  const bytes = Buffer.from('PSER\0\0\0\0', 'latin1');
  bytes.writeInt32LE(back, 4);
  return bytes;
}

const image = fixture('hello64.exe');
const v2 = fixture('libtorrent-v2.torrent');
const sample = fixture('sample.torrent');
// Each downloader, and the torrent fixture it carries when it carries a whole one.
const CASES = [
  {name: 'Quv-trailer-downloader.exe', bytes: [Buffer.alloc(300, 'x'), v2, trailer(-v2.length)],
   torrent: 'libtorrent-v2.torrent'},
  {name: 'Quv-appended-downloader.exe', bytes: [image, fixture('libtorrent-hybrid.torrent')],
   torrent: 'libtorrent-hybrid.torrent'},
  {name: 'Quv-signed-downloader.exe', bytes: [fixture('signed64-payload.exe')], torrent: 'sample.torrent'},
  {name: 'Quv-installer.exe', bytes: [fixture('nsis-installer.exe')]},
  {name: 'Quv-cut-downloader.exe', bytes: [image, sample.subarray(0, sample.length / 2)]},
  {name: 'Quv-bare-downloader.exe', bytes: [image]},
  {name: 'Quv-été-日本-downloader.exe', bytes: [fixture('hello32.exe'), fixture('mktorrent.torrent')],
   torrent: 'mktorrent.torrent'},
  {name: 'Quv-huge-downloader.exe', size: 2.5 * GiB},
];
// Dropped together.
const DROPPED = [
  {name: 'Quv-first-downloader.exe', bytes: [image, fixture('libtorrent-v1.torrent')],
   torrent: 'libtorrent-v1.torrent'},
  {name: 'Quv-second-downloader.exe', bytes: [image, sample], torrent: 'sample.torrent'},
];

/** libtorrent's info-hashes of torrent fixture `name`: [v1, v2], each '' where it has none. */
function libtorrentHashes(name) {
  const code = 'import libtorrent as lt, sys\n' +
      'h = lt.torrent_info(sys.argv[1]).info_hashes()\n' +
      'print(str(h.v1) if h.has_v1() else "", str(h.v2) if h.has_v2() else "")';
  return execFileSync('/usr/bin/python3', ['-c', code, path.join(fixtures, name)], {encoding: 'utf8'})
      .replace(/\n$/, '').split(' ');
}

/** Writes the case's downloader into `dir`; its path. A sized case is sparse. */
function write(dir, c) {
  const file = path.join(dir, c.name);
  if (c.size) {
    fs.writeFileSync(file, '');
    fs.truncateSync(file, c.size);
  } else {
    fs.writeFileSync(file, Buffer.concat(c.bytes));
  }
  return file;
}

/** The lines the program prints on `file`, in a folder of its own, with no opener on PATH. */
async function programLines(file) {
  const dir = fs.mkdtempSync(`${file}.native-`);
  fs.linkSync(file, path.join(dir, path.basename(file)));
  const {stdout} = await promisify(execFile)(program, [path.basename(file)], {cwd: dir, env: {PATH: dir}})
      .catch((failed) => failed);
  return stdout.split('\n').filter((line) => line && line !== PROMPT).join('\n');
}

/** Waits until `file` holds all `size` bytes of a download. */
async function downloaded(file, size) {
  for (let waited = 0; waited < 300; ++waited) {
    if (fs.existsSync(file) && fs.statSync(file).size === size) return fs.readFileSync(file);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  return fs.existsSync(file) ? fs.readFileSync(file) : Buffer.alloc(0);
}

/** What the page shows for the result named `name`, once done. */
async function result(page, name) {
  const handle = await page.waitForFunction((name) => [...document.querySelectorAll('.result:not([aria-busy])')]
      .find((item) => item.querySelector('.name').textContent === name), {timeout: 120000}, name);
  return handle.evaluate((item) => ({
    lines: item.querySelector('.lines').textContent,
    read: item.querySelector('progress').value,
    hashes: [...item.querySelectorAll('dd.hash')].map((dd) => [dd.previousSibling.textContent, dd.textContent]),
    magnet: item.querySelector('dd a')?.href || '',
  }));
}

/** Checks the page's result of case `c`, its file at `file`, saved into `downloads`. */
async function check(page, c, file, downloads) {
  const got = await result(page, c.name);
  assert.equal(got.lines, await programLines(file), `${c.name}: the lines`);
  if (c.size) assert.equal(got.read, 0, `${c.name}: read, though too large`);
  if (!c.torrent) return;
  const torrent = fixture(c.torrent);
  const saved = await downloaded(path.join(downloads, c.name.replace(/\.exe$/, '.torrent')), torrent.length);
  assert.ok(saved.equals(torrent), `${c.name}: the torrent saved`);
  const [v1, v2] = libtorrentHashes(c.torrent);
  const shown = Object.fromEntries(got.hashes);
  assert.deepEqual([shown['Info-hash v1'] || '', shown['Info-hash v2'] || ''], [v1, v2], `${c.name}: the hashes`);
  for (const part of [v1 && `xt=urn:btih:${v1}`, v2 && `xt=urn:btmh:1220${v2}`].filter(Boolean))
    assert.ok(got.magnet.includes(part), `${c.name}: the magnet link ${got.magnet} holds ${part}`);
}

/** Drops `files` on the drop zone, as a DataTransfer in a drop event. */
async function drop(page, files) {
  const holder = await page.evaluateHandle(() => Object.assign(document.createElement('input'),
                                                               {type: 'file', multiple: true, hidden: true}));
  await holder.uploadFile(...files);
  await page.evaluate((input) => {
    const data = new DataTransfer();
    for (const file of input.files) data.items.add(file);
    document.getElementById('drop').dispatchEvent(new DragEvent('drop', {dataTransfer: data, bubbles: true}));
  }, holder);
}

/** Whether a request from the page to `url`, another origin, is refused. */
function refused(page, url) {
  return page.evaluate((url) => fetch(url, {mode: 'no-cors'}).then(() => false, () => true), url);
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), `dl2torrent-page-${browserName}-`));
const downloads = path.join(scratch, 'downloads');
fs.mkdirSync(downloads);
const server = await serve(path.resolve(pageDir));
const elsewhere = await serve(scratch);
const browser = await launch(browserName, downloads);
try {
  const page = await browser.newPage();
  const seen = [];
  page.on('request', (request) => seen.push(request.url()));
  await page.goto(server.url);
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'files', 'the keyboard reaches the file button');
  fs.mkdirSync(screenshots, {recursive: true});
  for (const c of CASES) {
    const file = write(scratch, c);
    await (await page.$('#files')).uploadFile(file);
    await check(page, c, file, downloads);
    if (c.name === 'Quv-signed-downloader.exe') {
      await page.screenshot({path: `${screenshots}/${browserName}-saved.png`, fullPage: true});
    }
  }
  await drop(page, DROPPED.map((c) => write(scratch, c)));
  for (const c of DROPPED) await check(page, c, path.join(scratch, c.name), downloads);

  // Axe's script is evaluated as the browser's tools evaluate code, which
  // the page's policy does not govern.
  await page.evaluate(fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8'));
  const violations = await page.evaluate(async () => (await axe.run()).violations.map((v) => `${v.id}: ${v.help}`));
  assert.deepEqual(violations, [], 'axe-core');
  assert.ok(await refused(page, elsewhere.url), 'a request to another origin is refused');
  assert.deepEqual(elsewhere.requests, [], 'requests that reached another origin');
  const outside = seen.filter((url) => !url.startsWith(server.url) && !/^(blob|data):/.test(url));
  assert.deepEqual(outside, [], 'requests outside the page\'s origin');

  // Offline: the page, loaded once, with its server gone; a failure at a
  // phone's width, in the dark scheme where the browser can be told to
  // show it (Firefox's WebDriver BiDi cannot).
  await page.evaluate(() => navigator.serviceWorker.ready);
  await server.close();
  await page.setViewport({width: 360, height: 740});
  await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'dark'}]).catch(() => {});
  await page.reload();
  const offline = {...CASES[1], name: 'Quv-offline-downloader.exe'};
  await (await page.$('#files')).uploadFile(write(scratch, offline));
  await check(page, offline, path.join(scratch, offline.name), downloads);
  await (await page.$('#files')).uploadFile(path.join(scratch, 'Quv-cut-downloader.exe'));
  await result(page, 'Quv-cut-downloader.exe');
  await page.screenshot({path: `${screenshots}/${browserName}-failed-phone.png`, fullPage: true});
  console.log(`page_test ${browserName}: ${CASES.length + DROPPED.length + 1} downloaders, all as the program says`);
} finally {
  await browser.close();
  await elsewhere.close();
  fs.rmSync(scratch, {recursive: true, force: true});
}

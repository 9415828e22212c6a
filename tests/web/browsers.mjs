// What the page's tests and its benchmark share: the page served from its
// folder on 127.0.0.1 by a server that logs every request, and Debian's
// Chromium and Firefox started headless, each saving downloads into a
// folder. puppeteer-core is the pinned one that scripts/setup.sh web puts
// in the user's cache, in a folder named for the lock file that pins it.
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {createRequire} from 'node:module';

const lock = crypto.createHash('sha256').update(fs.readFileSync(new URL('package-lock.json', import.meta.url)));
const modules = path.join(process.env.XDG_CACHE_HOME || path.join(os.homedir(), '.cache'), 'dl2torrent',
                          `browser-tests-${lock.digest('hex').slice(0, 12)}`, 'node_modules');
export const require = createRequire(path.join(modules, 'index.js'));
export const puppeteer = require('puppeteer-core');

const TYPES = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css', '.svg': 'image/svg+xml',
  '.wasm': 'application/wasm',
};

/** Serves folder `root` on 127.0.0.1: {url, requests (each path asked for), close()}. */
export async function serve(root) {
  const requests = [];
  const server = http.createServer((request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://host').pathname);
    requests.push(name);
    const file = path.join(root, path.normalize(name.endsWith('/') ? `${name}index.html` : name));
    fs.readFile(file, (error, data) => {
      if (error || !file.startsWith(root)) {
        response.writeHead(404).end();
        return;
      }
      response.writeHead(200, {'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream'}).end(data);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const url = `http://127.0.0.1:${server.address().port}/`;
  const close = () => new Promise((resolve) => {
    server.close(resolve);
    server.closeAllConnections();
  });
  return {url, requests, close};
}

/** Starts browser `name` (chromium or firefox) headless, saving downloads into `downloads`. */
export function launch(name, downloads) {
  if (name === 'firefox') {
    return puppeteer.launch({
      browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true,
      extraPrefsFirefox: {
        'browser.download.dir': downloads,
        'browser.download.folderList': 2,
        'browser.download.useDownloadDir': true,
        'browser.download.always_ask_before_handling_new_types': false,
        'browser.helperApps.neverAsk.saveToDisk': 'application/x-bittorrent',
      },
    });
  }
  // As root, Chromium runs only without its sandbox. The machine's network
  // is closed: none of Chromium's own requests is wanted. A container's
  // /dev/shm may be too small for it, so it keeps its shared memory in /tmp.
  return puppeteer.launch({
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--no-first-run', '--disable-features=DownloadBubble', '--disable-dev-shm-usage'],
    downloadBehavior: {policy: 'allow', downloadPath: downloads},
  });
}

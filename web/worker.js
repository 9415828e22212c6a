// The page's worker: runs the program on each File the page sends, one
// after another, away from the page's thread, with a fresh instance of the
// module each time, as each run on a computer is a process of its own. It
// answers {id, progress} while a File is read, then {id, lines, status,
// saved}, saved being the torrent and what it holds, or null. The worker
// the page makes imports this module and hands it each message.
import createDl2torrent from './dl2torrent.js';
import {describeTorrent} from './torrent.js';

// Compiled once, instantiated for each run.
const compiled = fetch(new URL('dl2torrent.wasm', import.meta.url))
    .then((response) => response.arrayBuffer())
    .then((bytes) => WebAssembly.compile(bytes));

// Progress is sent at most this often, in milliseconds.
const PROGRESS_INTERVAL = 100;

async function run({id, file}) {
  const lines = [];
  const module = await createDl2torrent({
    instantiateWasm(imports, receive) {
      compiled.then((wasm) => WebAssembly.instantiate(wasm, imports)).then((instance) => receive(instance));
      return {};
    },
    print: (line) => lines.push(line),
    printErr: (line) => lines.push(line),
  });
  let sent = 0;
  const {status, saved} = module.extract(file, file.name, (read, size) => {
    if (Date.now() - sent < PROGRESS_INTERVAL && read < size) return;
    sent = Date.now();
    postMessage({id, progress: Math.min(1, read / size)});
  });
  if (saved && saved.info) saved.torrent = await describeTorrent(saved.bytes, saved.info);
  postMessage({id, lines, status, saved}, saved ? [saved.bytes.buffer] : []);
}

// One run at a time, in the order the Files came.
let queue = Promise.resolve();
export function receive(data) {
  queue = queue.then(() => run(data)).catch((error) => {
    postMessage({id: data.id, lines: [`The page could not run the program: ${error}`], status: -1, saved: null});
  });
}

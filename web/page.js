// The page: takes downloaders dropped or chosen, has the worker run the
// program on each, in turn, and shows each run's result as the program
// tells it, with the saved torrent offered as a download and what it holds.

// The key prompt after a failure: it has no meaning on a page.
const PROMPT = 'Press any key to exit..';
// How many of a torrent's files are listed.
const FILES_LISTED = 5;

// The worker, made from a blob so that it lives under the page's own
// content security policy, which a worker loaded from the server would not.
// It imports worker.js with import(), which Firefox, unlike a static
// import, lets the service worker answer when offline.
const workerUrl = JSON.stringify(new URL('worker.js', import.meta.url).href);
const workerCode = `const loaded = import(${workerUrl});
onmessage = ({data}) => loaded.then((worker) => worker.receive(data));`;
const worker = new Worker(URL.createObjectURL(new Blob([workerCode], {type: 'text/javascript'})), {type: 'module'});
const runs = new Map();
let nextId = 0;

// A worker that cannot start or run leaves no file waiting without a word.
worker.onerror = (event) => {
  for (const [id, item] of runs) {
    runs.delete(id);
    show(item, {lines: [`The page could not run the program: ${event.message || 'its worker failed'}`], status: -1});
  }
};

worker.onmessage = ({data}) => {
  const item = runs.get(data.id);
  if ('progress' in data) {
    item.querySelector('progress').value = data.progress;
    return;
  }
  runs.delete(data.id);
  show(item, data);
};

/** Starts a run for each file, each with its place in the results. */
function take(files) {
  const list = document.getElementById('results');
  for (const file of files) {
    const item = document.getElementById('result').content.firstElementChild.cloneNode(true);
    item.querySelector('.name').textContent = file.name;
    item.setAttribute('aria-busy', 'true');
    list.prepend(item);
    const id = nextId++;
    runs.set(id, item);
    worker.postMessage({id, file});
  }
}

/** Shows the result of a run in its item. */
function show(item, {lines, status, saved}) {
  item.removeAttribute('aria-busy');
  item.querySelector('progress').hidden = true;
  item.querySelector('.lines').textContent = lines.filter((line) => line !== PROMPT).join('\n');
  item.classList.add(status === 0 ? (saved ? 'saved' : 'nothing') : 'failed');
  if (!saved) return;
  const link = item.querySelector('.download');
  link.href = URL.createObjectURL(new Blob([saved.bytes], {type: 'application/x-bittorrent'}));
  link.download = saved.name;
  link.textContent = `Save ${saved.name}`;
  if (saved.torrent) describe(item.querySelector('dl'), saved.torrent);
  item.querySelector('.torrent').hidden = false;
  // As the desktop opens the saved file on a computer, the browser saves it
  // where it may; elsewhere the link does it with one click.
  link.click();
}

/** Lists what the torrent holds. */
function describe(list, torrent) {
  const add = (term, value, className) => {
    const dt = document.createElement('dt');
    dt.textContent = term;
    const dd = document.createElement('dd');
    if (className) dd.className = className;
    if (value instanceof Node) dd.append(value); else dd.textContent = value;
    list.append(dt, dd);
  };
  add('Name', torrent.name);
  add('Size', bytes(torrent.size));
  const files = document.createElement('ul');
  for (const file of torrent.files.slice(0, FILES_LISTED)) {
    const li = document.createElement('li');
    li.textContent = `${file.path} (${bytes(file.length)})`;
    files.append(li);
  }
  if (torrent.files.length > FILES_LISTED) {
    const li = document.createElement('li');
    li.textContent = `and ${torrent.files.length - FILES_LISTED} more`;
    files.append(li);
  }
  add(torrent.files.length === 1 ? '1 file' : `${torrent.files.length} files`, files);
  add('Piece size', bytes(torrent.pieceLength));
  add(torrent.trackers.length === 1 ? 'Tracker' : 'Trackers', torrent.trackers.join('\n') || 'none');
  if (torrent.v1) add('Info-hash v1', torrent.v1, 'hash');
  if (torrent.v2) add('Info-hash v2', torrent.v2, 'hash');
  if (!torrent.magnet) {
    add('Info-hash', 'shown only where the page comes over https or from this computer');
    return;
  }
  const magnet = document.createElement('a');
  magnet.href = torrent.magnet;
  magnet.textContent = 'Open the magnet link';
  add('Magnet link', magnet);
}

/** A count of bytes as people read it: 40,005 bytes (39.1 KiB). */
function bytes(count) {
  const n = Number(count);
  const exact = `${n.toLocaleString('en')} byte${n === 1 ? '' : 's'}`;
  if (n < 1024) return exact;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let value = n / 1024;
  let unit = 0;
  for (; value >= 1024 && unit < units.length - 1; ++unit) value /= 1024;
  return `${exact} (${value.toFixed(1)} ${units[unit]})`;
}

const input = document.getElementById('files');
input.addEventListener('change', () => {
  take(input.files);
  input.value = '';
});
const drop = document.getElementById('drop');
drop.addEventListener('dragover', (event) => {
  event.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  take([...event.dataTransfer.files]);
});
// The whole page takes a drop, so that a file dropped beside the zone is
// not opened by the browser in place of the page.
for (const type of ['dragover', 'drop']) document.addEventListener(type, (event) => event.preventDefault());

// Cached for use without a network, after the first visit.
if ('serviceWorker' in navigator) navigator.serviceWorker.register('sw.js');

// What a saved torrent holds, for the page to show: its name, size, files,
// piece size and trackers, its info-hashes and its magnet link. The torrent
// is bencoded (BEP 3); the program has checked that it is complete and
// where its "info" dictionary lies, whose bytes, as they stand, the hashes
// are of: SHA-1 for version 1 (BEP 3), SHA-256 for version 2 (BEP 52),
// both for a hybrid.

/** Decodes the bencoded value at bytes[at]: [value, the offset after it].
 * Strings stay bytes; dictionaries are Maps keyed by their keys' text. */
function decode(bytes, at) {
  const byte = bytes[at];
  if (byte === 0x69) {  // i
    const end = bytes.indexOf(0x65, at);
    return [BigInt(text(bytes.subarray(at + 1, end))), end + 1];
  }
  if (byte === 0x6c || byte === 0x64) {  // l, d
    const items = [];
    for (at += 1; bytes[at] !== 0x65;) {
      let item;
      [item, at] = decode(bytes, at);
      items.push(item);
    }
    if (byte === 0x6c) return [items, at + 1];
    const dictionary = new Map();
    for (let i = 0; i + 1 < items.length; i += 2) {
      const key = text(items[i]);
      if (!dictionary.has(key)) dictionary.set(key, items[i + 1]);
    }
    return [dictionary, at + 1];
  }
  const colon = bytes.indexOf(0x3a, at);
  const start = colon + 1;
  const end = start + Number(text(bytes.subarray(at, colon)));
  return [bytes.subarray(start, end), end];
}

const utf8 = new TextDecoder();
function text(bytes) { return utf8.decode(bytes); }

function hex(buffer) { return [...new Uint8Array(buffer)].map((b) => b.toString(16).padStart(2, '0')).join(''); }

/** The files of an info dictionary: those of its version 2 file tree, else
 * its version 1 list without the padding files a hybrid adds, else the one
 * file it names. */
function files(info) {
  if (info.has('file tree')) {
    const found = [];
    (function walk(tree, path) {
      for (const [name, entry] of tree) {
        if (name === '' && entry.has('length')) found.push({path: path.join('/'), length: entry.get('length')});
        else if (entry instanceof Map) walk(entry, [...path, name]);
      }
    })(info.get('file tree'), []);
    return found;
  }
  if (info.has('files')) {
    return info.get('files')
        .filter((f) => !text(f.get('attr') || new Uint8Array()).includes('p'))
        .map((f) => ({path: f.get('path').map(text).join('/'), length: f.get('length')}));
  }
  return [{path: text(info.get('name') || new Uint8Array()), length: info.get('length') || 0n}];
}

/** Every tracker, the announce-list's tiers in order, each once. */
function trackers(torrent) {
  const all = [];
  if (torrent.has('announce')) all.push(text(torrent.get('announce')));
  for (const tier of torrent.get('announce-list') || []) all.push(...tier.map(text));
  return [...new Set(all)];
}

/**
 * What the torrent `bytes` holds, its "info" dictionary at info = [offset,
 * length]: {name, size, files, pieceLength, trackers, v1, v2, magnet}; v1
 * and v2 are the hexadecimal info-hashes, or null for a version the
 * torrent is not of.
 */
export async function describeTorrent(bytes, [offset, length]) {
  const [torrent] = decode(bytes, 0);
  const info = torrent.get('info');
  const infoBytes = bytes.subarray(offset, offset + length);
  // Browsers hash only for a page from https or from this machine.
  const hash = async (algorithm) => (crypto.subtle ? hex(await crypto.subtle.digest(algorithm, infoBytes)) : null);
  const v1 = info.has('pieces') ? await hash('SHA-1') : null;
  const v2 = info.get('meta version') === 2n ? await hash('SHA-256') : null;
  const name = text(info.get('name') || new Uint8Array());
  const list = files(info);
  const announce = trackers(torrent);
  const parts = [];
  if (v1) parts.push(`xt=urn:btih:${v1}`);
  if (v2) parts.push(`xt=urn:btmh:1220${v2}`);
  if (name) parts.push(`dn=${encodeURIComponent(name)}`);
  for (const tracker of announce) parts.push(`tr=${encodeURIComponent(tracker)}`);
  return {
    name,
    size: list.reduce((sum, f) => sum + f.length, 0n),
    files: list,
    pieceLength: info.get('piece length'),
    trackers: announce,
    v1,
    v2,
    magnet: v1 || v2 ? `magnet:?${parts.join('&')}` : null,
  };
}

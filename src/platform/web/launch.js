// How a page runs the program on a File, as a shell runs it on a file named
// on its command line. Linked in after the module's own code (--post-js),
// so that it sees the module's file system and main.
// - The File is mounted read-only, and its reads are served from blocks of
//   READ_AHEAD bytes: each read of a File is a call into the browser that
//   costs far more than its bytes, the program reads in calls of 4 KiB to
//   128 KiB, and a few large calls cost about what reading the File once
//   costs (doc/performance.md). The two blocks read last are kept, which
//   serves the trailer search reading backwards and the copy reading on
//   alike.
// - It is named in a folder in memory, /work, by a symbolic link of its own
//   name, so that the program finds it under the name the person knows, and
//   saves NAME.torrent beside it, in memory.
// - main is called with that name: what it prints, its exit status and the
//   file it hands to the desktop (shell.cpp) are the run's answer.

/** The largest read of the File, and the most kept of it at once. */
var READ_AHEAD = 64 * 1024 * 1024;

/**
 * A read of a File's node that serves the program's reads from blocks of
 * READ_AHEAD bytes, calling onRead(bytes read so far, size) after each
 * block. A File that can no longer be read (changed or gone since it was
 * chosen) fails the read with EIO, as a disk would.
 */
function readAheadOf(onRead) {
  var reader = new FileReaderSync();
  var read = 0;
  function block(stream, index) {
    var blocks = stream.readAheadBlocks || (stream.readAheadBlocks = []);
    var found = blocks.findIndex(function (b) { return b.index == index; });
    var taken = found >= 0 ? blocks.splice(found, 1)[0] : null;
    if (!taken) {
      var start = index * READ_AHEAD;
      var bytes;
      try {
        bytes = new Uint8Array(reader.readAsArrayBuffer(stream.node.contents.slice(start, start + READ_AHEAD)));
      } catch (e) {
        throw new FS.ErrnoError(ERRNO_CODES.EIO);
      }
      taken = {index: index, start: start, bytes: bytes};
      read += bytes.length;
      onRead(read, stream.node.size);
    }
    blocks.unshift(taken);
    blocks.length = Math.min(blocks.length, 2);
    return taken;
  }
  return function (stream, buffer, offset, length, position) {
    var wanted = Math.max(0, Math.min(length, stream.node.size - position));
    var done = 0;
    while (done < wanted) {
      var at = position + done;
      var b = block(stream, Math.floor(at / READ_AHEAD));
      var count = Math.min(wanted - done, b.bytes.length - (at - b.start));
      if (count <= 0) break;  // the File holds less than it said
      buffer.set(b.bytes.subarray(at - b.start, at - b.start + count), offset + done);
      done += count;
    }
    return done;
  };
}

/** The file's name as the program is to be given it. */
function argumentFor(name) {
  // The program takes these for its options, not for a file's name.
  return ['-h', '--help', '--version'].indexOf(name) >= 0 ? './' + name : name;
}

/**
 * Runs the program on `file` (a File or Blob) named `name`, once for the
 * module: the lines it prints go to the module's print. Answers {status,
 * saved}: the exit status, and the torrent it saved, {name, bytes, info:
 * [offset, length] of its "info" dictionary}, or null. onRead(read, size)
 * follows the reading.
 */
Module['extract'] = function (file, name, onRead) {
  var handed = null;
  Module['handOff'] = function (path) { handed = path; return true; };
  name = name.replace(/\//g, '_') || 'downloader';
  FS.mkdir('/input');
  FS.mount(WORKERFS, {blobs: [{name: 'file', data: file}]}, '/input');
  var node = FS.lookupPath('/input/file').node;
  node.stream_ops = Object.assign({}, node.stream_ops, {read: readAheadOf(onRead || function () {})});
  FS.mkdir('/work');
  FS.symlink('/input/file', '/work/' + name);
  // The folder's own entries, "." and "..", are older than any file, so
  // that a name that is all wildcards still picks the file.
  FS.utime('/work', 0, 0);
  FS.utime('/', 0, 0);
  FS.chdir('/work');
  var status = callMain([argumentFor(name)]);
  var saved = null;
  if (handed) {
    var size = lengthBytesUTF8(handed) + 1;
    var path = _malloc(size);
    var span = _malloc(8);
    stringToUTF8(handed, path, size);
    var info = _saved_torrent_info(path, span) ? [HEAPU32[span >> 2], HEAPU32[(span >> 2) + 1]] : null;
    _free(span);
    _free(path);
    saved = {name: PATH.basename(handed), bytes: FS.readFile(handed), info: info};
  }
  return {status: status, saved: saved};
};

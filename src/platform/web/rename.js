// Mends emscripten 3.1.6's rename, under MoveFileExA: FS.rename leaves the
// file that a rename replaces in its cache of names, where a lookup of that
// name finds it again once the file that replaced it is deleted, so that
// the name comes back with the old contents. Here a rename that replaces a
// file takes that file out of the cache as well. Linked in before the
// module's own code (--pre-js) of every program of the web build, and put
// in place before main runs.
Module['preRun'] = [].concat(Module['preRun'] || [], function () {
  var renameKeepingReplaced = FS.rename;
  FS.rename = function (oldPath, newPath) {
    var replaced = null;
    try {
      replaced = FS.lookupPath(newPath).node;
    } catch (e) {
      // nothing of that name: nothing replaced
    }
    renameKeepingReplaced(oldPath, newPath);
    if (replaced && replaced !== FS.lookupPath(newPath).node) FS.hashRemoveNode(replaced);
  };
});

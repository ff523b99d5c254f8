'use strict';
// Files, the page half: the file sheet, reading and sending a file, and
// saving what the host sends.
const {
  FILE_BLOCK_CHUNKS, FILE_BUFFERED_MAX, FILE_FOLD_BYTES, FILE_ID_MAX, FILE_LIST_PACE_MS, FILE_MAX, encodeFileCancel,
  encodeFileChunk, encodeFileGet, encodeFileList, encodeFilePut, encodeFilePutEnd, fileDownStart, fileDownStep,
  fileListAnswer, fileProgressText, fileSafeName, fileSizeText, fileStatusText, fileTypeFor, fileUpNext, fileUpStart,
  fileUpStep, parseFileChunk, sha256Hex, sha256Start, sha256Update,
} = require('./files.js');

module.exports = function filesPage(app) {
  const { el } = app;

  let fileSeq = 0;
  let fileUp = null;        // { state, file, hash, block, reading, timer }
  let fileWaiting = null;   // a File chosen while not connected
  let fileDown = null;      // { state, hash, parts, partBytes, blobs }
  let fileSaved = null;     // { url, file }
  let fileListing = null;   // { id }
  let fileListTimer = null;
  let fileEntries = [];
  const fileDateFormat = (() => {
    try { return new Intl.DateTimeFormat(undefined, { dateStyle: 'medium', timeStyle: 'short' }); } catch (e) { return null; }
  })();

  function fileNextId() {
    fileSeq = fileSeq >= FILE_ID_MAX ? 1 : fileSeq + 1;
    return fileSeq;
  }

  function fileSay(line, what, detail) {
    if (!what) {
      line.textContent = '';
      delete line.dataset.kind;
      line.hidden = true;
      return;
    }
    const st = fileStatusText(what, detail);
    line.textContent = st.text;
    line.dataset.kind = st.kind;
    line.hidden = false;
  }

  function fileSync() {
    el.filesPick.disabled = !!(fileUp || fileWaiting);
    el.filesUp.hidden = !fileUp;
    el.filesDown.hidden = !fileDown;
    el.filesListGet.disabled = !!(fileDown || fileListing || fileListTimer);
    for (const b of el.filesList.querySelectorAll('button')) {
      const entry = fileEntries[Number(b.dataset.index)];
      b.disabled = !entry || !entry.can || !!fileDown;
    }
    app.layout.syncScrollCues();
  }

  // The socket's own send: chunk frames are binary, and the file messages
  // must go out in order with them.
  function fileSend(message) {
    if (message == null || !app.connection.conn.ready || !app.connection.conn.ws || app.connection.conn.ws.readyState !== 1) return false;
    try { app.connection.conn.ws.send(message); return true; } catch (e) { return false; }
  }

  function onFilePicked() {
    const file = el.filesInput.files && el.filesInput.files[0];
    el.filesInput.value = '';
    if (!file || fileUp || fileWaiting) return;
    if (file.size === 0) fileSay(el.filesUpStatus, 'empty');
    else if (file.size > FILE_MAX) fileSay(el.filesUpStatus, 'too-large');
    else if (!app.connection.conn.ready) { fileWaiting = file; fileSay(el.filesUpStatus, 'up-waiting'); }
    else fileStartUpload(file);
    fileSync();
  }

  function fileStartUpload(file) {
    const id = fileNextId();
    const message = encodeFilePut(id, file.name || 'file', file.size);
    if (!message) { fileSay(el.filesUpStatus, 'bad-name'); fileSync(); return; }
    fileUp = { state: fileUpStart(id, file.size), file: file, hash: sha256Start(), block: null, reading: false, timer: null };
    el.filesUpBar.value = 0;
    fileSay(el.filesUpStatus, 'up-asking');
    fileSend(message);
    fileSync();
  }

  function fileEndUpload(word, detail) {
    if (fileUp) clearTimeout(fileUp.timer);
    fileUp = null;
    fileSay(el.filesUpStatus, word, detail);
    fileSync();
  }

  function fileFailUpload(word) {
    if (fileUp) fileSend(encodeFileCancel(fileUp.state.id));
    fileEndUpload(word);
  }

  function fileReadBlock(up, start, length) {
    up.reading = true;
    const piece = up.file.slice(start, start + length);
    let reading;
    if (typeof piece.arrayBuffer === 'function') {
      reading = piece.arrayBuffer();
    } else {
      reading = new Promise((resolve, reject) => {
        const reader = new FileReader();
        reader.onload = () => resolve(reader.result);
        reader.onerror = () => reject(reader.error);
        reader.readAsArrayBuffer(piece);
      });
    }
    reading.then((buffer) => {
      if (fileUp !== up) return;
      up.reading = false;
      // A different length means the file changed since it was chosen.
      if (!buffer || buffer.byteLength !== length) { fileFailUpload('local-read-failed'); return; }
      up.block = { start: start, bytes: new Uint8Array(buffer) };
      filePump();
    }, () => {
      if (fileUp !== up) return;
      up.reading = false;
      fileFailUpload('local-read-failed');
    });
  }

  function filePumpChunks() {
    const up = fileUp;
    for (;;) {
      const n = fileUpNext(up.state);
      if (n === 0) return;
      // Pointer and key messages must not queue behind file data.
      if (app.connection.conn.ws.bufferedAmount > FILE_BUFFERED_MAX) {
        up.timer = setTimeout(() => { up.timer = null; if (fileUp === up) filePump(); }, 40);
        return;
      }
      const s = up.state;
      if (!up.block || s.sent < up.block.start || s.sent + n > up.block.start + up.block.bytes.length) {
        up.block = null;
        fileReadBlock(up, s.sent, Math.min(s.chunk * FILE_BLOCK_CHUNKS, s.size - s.sent));
        return;
      }
      const at = s.sent - up.block.start;
      const bytes = up.block.bytes.subarray(at, at + n);
      const frame = encodeFileChunk(s.id, s.sent, bytes);
      if (!frame) { fileFailUpload('broken'); return; }
      sha256Update(up.hash, bytes);
      fileSend(frame);
      up.state = fileUpStep(s, { type: 'sent', count: n });
      if (up.state.phase === 'failed') { fileFailUpload(up.state.error); return; }
      if (up.state.phase === 'ending') {
        up.block = null;
        fileSend(encodeFilePutEnd(s.id, sha256Hex(up.hash)));
        return;
      }
    }
  }

  function filePump() {
    const up = fileUp;
    if (!up || up.reading || up.timer || !app.connection.conn.ready || !app.connection.conn.ws) return;
    filePumpChunks();
    if (fileUp !== up) return;
    const s = up.state;
    el.filesUpBar.value = s.size > 0 ? s.acked / s.size : 0;
    if (s.phase === 'ending') fileSay(el.filesUpStatus, 'up-checking');
    else fileSay(el.filesUpStatus, 'up-sending', fileProgressText(s.acked, s.size));
  }

  function onFileUpMessage(msg) {
    if (!fileUp) return;
    const next = fileUpStep(fileUp.state, msg);
    if (next === fileUp.state) return;
    fileUp.state = next;
    if (next.phase === 'done') fileEndUpload('up-done', fileSafeName(next.name));
    else if (next.phase === 'failed') {
      // A word from the computer means it has already ended its side.
      if (next.error === 'broken') fileFailUpload('broken');
      else fileEndUpload(next.error);
    } else filePump();
  }

  function cancelUpload() {
    if (!fileUp) return;
    fileFailUpload('cancelled');
  }

  function fileListClicked() {
    if (fileDown || fileListing || fileListTimer) return;
    if (!app.connection.conn.ready) { fileSay(el.filesDownStatus, 'not-connected'); return; }
    const id = fileNextId();
    fileListing = { id: id };
    fileListTimer = setTimeout(() => {
      fileListTimer = null;
      if (fileListing && fileListing.id === id) {
        fileListing = null;
        fileSay(el.filesDownStatus, 'list-timeout');
      }
      fileSync();
    }, FILE_LIST_PACE_MS);
    fileSay(el.filesDownStatus, 'list-asking');
    fileSend(encodeFileList(id));
    fileSync();
  }

  function onFileListMessage(msg) {
    if (!fileListing) return;
    const answer = fileListAnswer(msg, fileListing.id);
    if (answer.kind === 'ignore') return;
    fileListing = null;
    if (answer.kind === 'error') {
      fileSay(el.filesDownStatus, answer.error);
    } else {
      fileRenderList(answer.files);
      fileSay(el.filesDownStatus, answer.files.length === 0 ? 'list-empty' : answer.more ? 'list-more' : '');
    }
    fileSync();
  }

  function fileRenderList(files) {
    fileEntries = files;
    el.filesList.textContent = '';
    files.forEach((f, i) => {
      const item = document.createElement('li');
      const b = document.createElement('button');
      b.type = 'button';
      b.className = 'file-item';
      b.dataset.index = String(i);
      const name = document.createElement('span');
      name.className = 'file-name';
      name.textContent = fileSafeName(f.name);
      const meta = document.createElement('span');
      meta.className = 'file-meta';
      let line = f.size === 0 ? 'empty' : fileSizeText(f.size) + (f.size > FILE_MAX ? ', over the 200 MB limit' : '');
      if (f.mtime > 0 && fileDateFormat) line += ' \u00B7 ' + fileDateFormat.format(new Date(f.mtime * 1000));
      meta.textContent = line;
      b.append(name, meta);
      item.append(b);
      el.filesList.append(item);
    });
    el.filesList.hidden = files.length === 0;
  }

  function onFileListClick(event) {
    const b = event.target.closest('button');
    if (!b || !el.filesList.contains(b)) return;
    const entry = fileEntries[Number(b.dataset.index)];
    if (entry) fileStartDownload(entry);
  }

  function fileLetGoSaved() {
    if (fileSaved) URL.revokeObjectURL(fileSaved.url);
    fileSaved = null;
    el.filesSave.setAttribute('href', '#');
    el.filesSaved.hidden = true;
    el.filesShare.hidden = true;
  }

  function fileStartDownload(entry) {
    if (fileDown || !entry.can) return;
    if (!app.connection.conn.ready) { fileSay(el.filesDownStatus, 'not-connected'); return; }
    const id = fileNextId();
    const message = encodeFileGet(id, entry.name);
    if (!message) { fileSay(el.filesDownStatus, 'bad-name'); return; }
    fileLetGoSaved();
    fileDown = { state: fileDownStart(id, entry.name), hash: sha256Start(), parts: [], partBytes: 0, blobs: [] };
    el.filesDownBar.value = 0;
    fileSay(el.filesDownStatus, 'down-asking');
    fileSend(message);
    fileSync();
  }

  function fileEndDownload(word) {
    fileDown = null;
    fileSay(el.filesDownStatus, word);
    fileSync();
  }

  function fileDownFailed(state) {
    if (state.error === 'broken') fileSend(encodeFileCancel(state.id));
    fileEndDownload(state.error);
  }

  // Kept parts go into a Blob every few megabytes, which the browser may
  // hold outside the page, so a large file is not in memory twice.
  function fileFold(down) {
    if (down.parts.length === 0) return;
    down.blobs = [new Blob(down.blobs.concat(down.parts))];
    down.parts = [];
    down.partBytes = 0;
  }

  function onFileChunk(buffer) {
    const chunk = parseFileChunk(buffer);
    const down = fileDown;
    if (!chunk || !down) return;
    const next = fileDownStep(down.state, { type: 'chunk', id: chunk.id, offset: chunk.offset, length: chunk.data.length });
    if (next === down.state) return;
    down.state = next;
    if (next.phase === 'failed') { fileDownFailed(next); return; }
    if (next.keep) {
      sha256Update(down.hash, chunk.data);
      down.parts.push(chunk.data);
      down.partBytes += chunk.data.length;
      if (down.partBytes >= FILE_FOLD_BYTES) fileFold(down);
    }
    fileShowDownProgress(next);
  }

  function fileShowDownProgress(s) {
    el.filesDownBar.value = s.size > 0 ? s.got / s.size : 0;
    fileSay(el.filesDownStatus, 'down-receiving', fileProgressText(s.got, s.size));
  }

  function onFileDownMessage(msg) {
    const down = fileDown;
    if (!down) return;
    let next = fileDownStep(down.state, msg);
    if (next === down.state) return;
    if (next.phase === 'checking') {
      fileSay(el.filesDownStatus, 'down-checking');
      next = fileDownStep(next, { type: 'hash', hex: sha256Hex(down.hash) });
      // The computer has finished its side: a mismatch is ours to report only.
      if (next.phase === 'failed') { fileEndDownload(next.error); return; }
    }
    down.state = next;
    if (next.phase === 'failed') fileDownFailed(next);
    else if (next.phase === 'done') fileOfferSave(down);
    else fileShowDownProgress(next);
  }

  function fileOfferSave(down) {
    fileFold(down);
    const name = fileSafeName(down.state.name);
    const type = fileTypeFor(name);
    const blob = new Blob(down.blobs, { type: type });
    const url = URL.createObjectURL(blob);
    fileSaved = { url: url, file: null };
    el.filesSave.href = url;
    el.filesSave.download = name;
    el.filesSave.textContent = 'Save \u201c' + name + '\u201d (' + fileSizeText(down.state.size) + ')';
    el.filesSaved.hidden = false;
    try {
      const file = new File([blob], name, { type: type });
      if (navigator.canShare && navigator.share && navigator.canShare({ files: [file] })) {
        fileSaved.file = file;
        el.filesShare.hidden = false;
      }
    } catch (e) { /* no sharing of files here */ }
    fileEndDownload('down-done');
  }

  function fileShare() {
    if (!fileSaved || !fileSaved.file) return;
    let sharing;
    try { sharing = navigator.share({ files: [fileSaved.file] }); } catch (e) { sharing = Promise.reject(e); }
    Promise.resolve(sharing).catch((e) => {
      if (!e || e.name !== 'AbortError') fileSay(el.filesDownStatus, 'share-failed');
    });
  }

  function cancelDownload() {
    if (!fileDown) return;
    fileSend(encodeFileCancel(fileDown.state.id));
    fileEndDownload('cancelled');
  }

  function onFileMessage(msg) {
    if (msg.t === 'file-list-result') onFileListMessage(msg);
    else if (msg.t === 'file-get-ready' || msg.t === 'file-get-result') onFileDownMessage(msg);
    else onFileUpMessage(msg);
  }

  function fileReset() {
    if (fileUp) fileEndUpload('offline');
    if (fileDown) fileEndDownload('offline');
    fileListing = null;
    fileSync();
  }

  function fileOnReady() {
    if (!fileWaiting || fileUp) return;
    const file = fileWaiting;
    fileWaiting = null;
    fileStartUpload(file);
  }

  function bindFiles() {
    // The picker opens only from the tap itself on a phone.
    el.filesPick.addEventListener('click', () => el.filesInput.click());
    el.filesInput.addEventListener('change', onFilePicked);
    el.filesUpCancel.addEventListener('click', cancelUpload);
    el.filesListGet.addEventListener('click', fileListClicked);
    el.filesList.addEventListener('click', onFileListClick);
    el.filesDownCancel.addEventListener('click', cancelDownload);
    el.filesShare.addEventListener('click', fileShare);
    fileSync();
  }

  return {
    messages: {
      'file-put-ready': onFileMessage, 'file-ack': onFileMessage, 'file-put-result': onFileMessage,
      'file-get-ready': onFileMessage, 'file-get-result': onFileMessage, 'file-list-result': onFileMessage,
    },
    onFileChunk,
    onFileMessage,
    fileReset,
    fileOnReady,
    bindFiles,
  };
};

'use strict';
// Display chooser, the page half: the list in the More sheet and the
// switch from one display to another.
const { displayStart, displayStep, displayView, encodeDisplaySelect, parseDisplayList } = require('./displays.js');

module.exports = function displaysPage(app) {
  const { el, session, mono } = app;

  let displays = displayStart();
  let displayTimer = null;
  let displayUiKey = '';

  function displayEvent(ev) {
    const r = displayStep(displays, Object.assign({ now: mono() }, ev));
    displays = r.state;
    if (r.send !== null) app.connection.send(encodeDisplaySelect(r.send));
    if (r.moved) {
      app.pointer.centerPointer();
      app.video.startGlide();
      app.video.setView(1, 0.5, 0.5);
      app.pointer.queueMove();
      app.pointer.showMark();
    }
    if (displays.pending && !displayTimer) {
      displayTimer = setInterval(() => displayEvent({ type: 'tick' }), 500);
    } else if (!displays.pending && displayTimer) {
      clearInterval(displayTimer);
      displayTimer = null;
    }
    syncDisplayUi();
  }

  function syncDisplayUi() {
    const v = displayView(displays);
    const key = JSON.stringify(v);
    if (key === displayUiKey) return;
    displayUiKey = key;
    const focused = document.activeElement && document.activeElement.dataset ? document.activeElement.dataset.display : undefined;
    const buttons = v.options.map((o) => {
      const b = document.createElement('button');
      b.type = 'button';
      b.className = 'key display-option';
      b.dataset.display = String(o.id);
      b.dataset.state = o.pending ? 'pending' : o.current ? 'current' : 'other';
      b.setAttribute('role', 'radio');
      b.setAttribute('aria-checked', o.current ? 'true' : 'false');
      b.setAttribute('aria-label', o.label);
      if (v.busy) b.setAttribute('aria-disabled', 'true');
      const name = document.createElement('span');
      name.className = 'display-name';
      name.textContent = o.name;
      const detail = document.createElement('span');
      detail.className = 'display-detail';
      detail.textContent = [o.size, o.word].filter(Boolean).join(' · ');
      b.append(name, detail);
      return b;
    });
    el.displayList.replaceChildren(...buttons);
    if (focused !== undefined) {
      const again = buttons.find((b) => b.dataset.display === focused);
      if (again) again.focus({ preventScroll: true });
    }
    el.displayNote.textContent = v.note;
    syncDisplaySet();
    if (v.noteKind) el.displayNote.dataset.kind = v.noteKind; else delete el.displayNote.dataset.kind;
    session.dataset.display = v.busy ? 'switching' : 'steady';
    app.layout.relayout();
  }

  // The group also holds the fit row, so it shows while either has something.
  function syncDisplaySet() {
    const v = displayView(displays);
    el.displaySet.hidden = !(v.visible || v.note || !el.fitRow.hidden);
    el.displayList.hidden = !v.visible;
    el.displayNote.hidden = !v.note;
  }

  function onDisplayClick(event) {
    const b = event.target.closest('[data-display]');
    if (!b || !el.displayList.contains(b)) return;
    displayEvent({ type: 'choose', id: Number(b.dataset.display) });
  }

  return {
    messages: {
      'disp-list': (msg) => displayEvent({ type: 'list', listing: parseDisplayList(msg) }),
      'disp-result': (msg) => displayEvent({ type: 'result', msg: msg }),
    },
    displayEvent,
    onDisplayClick,
    syncDisplaySet,
  };
};

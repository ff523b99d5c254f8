'use strict';
// Display chooser, the pure half: the host's list of displays, the switch
// machine `displayStep` and what the chooser shows.

const DISPLAY_MAX = 16;
const DISPLAY_NAME_MAX = 48;
const DISPLAY_ID_MAX = 4294967295;
const DISPLAY_SWITCH_TIMEOUT_MS = 6500;

function isDisplayId(id) { return Number.isInteger(id) && id >= 0 && id <= DISPLAY_ID_MAX; }

function parseDisplayList(msg) {
  if (!msg || msg.t !== 'disp-list' || !Array.isArray(msg.displays)) return null;
  const displays = [];
  for (const d of msg.displays.slice(0, DISPLAY_MAX)) {
    if (!d || typeof d !== 'object' || Array.isArray(d) || !isDisplayId(d.id)) continue;
    if (displays.some((x) => x.id === d.id)) continue;
    const side = (v) => (Number.isInteger(v) && v >= 1 && v <= 65535 ? v : 0);
    const builtin = d.builtin === true;
    let name = typeof d.name === 'string' ? d.name.replace(/[\u0000-\u001F\u007F]/g, ' ').trim().slice(0, DISPLAY_NAME_MAX) : '';
    if (!name) name = builtin ? 'Built-in Display' : 'Display ' + (displays.length + 1);
    displays.push({ id: d.id, name: name, w: side(d.w), h: side(d.h), builtin: builtin, main: d.main === true });
  }
  const current = isDisplayId(msg.current) && displays.some((x) => x.id === msg.current) ? msg.current : null;
  return { displays: displays, current: current, lost: msg.lost === true };
}

function encodeDisplaySelect(id) { return isDisplayId(id) ? JSON.stringify({ t: 'disp-select', id: id }) : null; }

function displaySizeText(d) { return d && d.w > 0 && d.h > 0 ? d.w + ' × ' + d.h : ''; }

function displayStart() { return { displays: [], current: null, pending: null, note: '' }; }

function displayStep(prev, ev) {
  const s = Object.assign({}, prev);
  let sendId = null;
  let moved = false;
  switch (ev && ev.type) {
    case 'list': {
      const l = ev.listing;
      if (!l) break;
      moved = prev.current !== null && l.current !== null && l.current !== prev.current;
      s.displays = l.displays;
      s.current = l.current;
      if (l.lost) { s.pending = null; s.note = 'lost'; }
      else if (!s.pending) s.note = '';
      else if (s.pending.id === s.current) { s.pending = null; s.note = ''; }
      else if (!s.displays.some((d) => d.id === s.pending.id)) { s.pending = null; s.note = 'unknown-display'; }
      break;
    }
    case 'result': {
      const m = ev.msg || {};
      if (s.pending && m.id === s.pending.id && m.ok !== true) {
        s.pending = null;
        s.note = m.error === 'too-soon' || m.error === 'unknown-display' ? m.error : 'failed';
      }
      break;
    }
    case 'choose':
      if (s.pending || ev.id === s.current || !s.displays.some((d) => d.id === ev.id)) break;
      s.pending = { id: ev.id, at: ev.now };
      s.note = 'switching';
      sendId = ev.id;
      break;
    case 'tick':
      if (s.pending && ev.now - s.pending.at > DISPLAY_SWITCH_TIMEOUT_MS) { s.pending = null; s.note = 'timeout'; }
      break;
    case 'closed':
      return { state: displayStart(), send: null, moved: false };
    default:
      break;
  }
  return { state: s, send: sendId, moved: moved };
}

function displayView(state) {
  const current = state.displays.find((d) => d.id === state.current) || null;
  const notes = {
    switching: 'Switching display',
    lost: 'That display was disconnected.' + (current ? ' Showing ' + current.name + '.' : ''),
    'too-soon': 'That was too quick after the last switch. Wait a second and try again.',
    'unknown-display': 'That display is no longer connected.',
    timeout: 'The computer did not switch displays. Try again.',
    failed: 'The computer could not switch displays.',
  };
  const note = notes[state.note] || '';
  return {
    visible: state.displays.length > 1,
    busy: !!state.pending,
    note: note,
    noteKind: !note ? '' : state.note === 'switching' ? 'busy' : 'error',
    options: state.displays.map((d) => {
      const isCurrent = d.id === state.current;
      const isPending = !!state.pending && state.pending.id === d.id;
      return {
        id: d.id, name: d.name, size: displaySizeText(d), current: isCurrent, pending: isPending,
        word: isPending ? 'Switching' : isCurrent ? 'Showing' : '',
        label: d.name + (d.w > 0 && d.h > 0 ? ', ' + d.w + ' by ' + d.h : '') + (isPending ? ', switching' : isCurrent ? ', showing now' : ''),
      };
    }),
  };
}

module.exports = { isDisplayId, parseDisplayList, encodeDisplaySelect, displaySizeText, displayStart, displayStep,
  displayView };

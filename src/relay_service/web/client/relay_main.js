'use strict';
// The page a device opens at the relay: sign in with the account's e-mail
// and a code, choose one of the account's computers, add this device to it
// the first time (the six-digit code the owner approves on the computer),
// and from then on open sessions on the host page's own session screen,
// which this page hands its relayed road (see connection_page.js).
const main = require('./main.js');
const { SECURE } = require('./secure_channel.js');
const { relayAccount, accountErrorText, signedOut, parseHosts } = require('./relay_account.js');
const { relaySocket, startEnrolment, relayCloseWord, relayRetryStep, groupedCode } = require('./relay_socket.js');
const deviceKeys = require('./device_keys.js');
const { cleanDeviceName, guessDeviceName } = require('./pairing.js');

// The name this device was last added under, offered again when it is
// added anew (after it was removed, or forgotten here).
const NAME_KEY = 'morvane.relay.deviceName';
// How often the list of computers is asked for again while it shows, so a
// computer that comes back shows as online without Refresh.
const LIST_REFRESH_MS = 5000;

function hexBytes(hex) { return Uint8Array.from(hex.match(/../g), (b) => parseInt(b, 16)); }
function randomHex(n) { return Array.from(crypto.getRandomValues(new Uint8Array(n)), (b) => b.toString(16).padStart(2, '0')).join(''); }

// What the enrolment screen says when adding this device did not finish.
function enrolErrorText(word, name) {
  switch (word) {
    case 'no-window': return name + ' is not waiting for a new device. On the computer, choose Morvane in the tray, then Add Device Over Relay…, and try again.';
    case 'refused': return name + ' did not add this device: the code was not approved there in time. Try again, and approve the same code on the computer.';
    case 'mac-offline': return offlineText(name);
    case 'unreachable': return 'Could not reach the relay. Check your connection, then try again.';
    case 'secure-failed': return 'The secure connection failed a check and was closed. Try again.';
    default: return 'The connection to the relay dropped before this device was added. Try again.';
  }
}

function offlineText(name) {
  return name + ' is not connected to the relay. Check that it is on and awake, and that Morvane runs there with its relay turned on.';
}

function removedText(name) {
  return 'This device was removed from ' + name + '. Add it again from the computer\'s menu.';
}

// Asked alike from the list and from a session: forgetting here does not
// remove the device on the computer.
function forgetQuestion(name) {
  return 'Forget ' + name + ' on this device? To connect again, add this device again from the computer\'s menu. ' +
    'The computer keeps it in its list until you remove it there.';
}

function relayRoad() {
  const store = {
    get(k) { try { return localStorage.getItem(k); } catch (e) { return null; } },
    set(k, v) { try { if (v) localStorage.setItem(k, v); else localStorage.removeItem(k); } catch (e) { /* this page only */ } },
  };
  const account = relayAccount((url, init) => fetch(url, init), store);
  const wsOrigin = () => (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host;
  // Rooms whose computer refused this device's key in this page's life.
  const removed = new Set();
  let hooks = null;
  let current = null;  // { room, name, keys }
  let ui = null;
  let pace = null;  // what this run of failed dials has seen (relayRetryStep)
  let dialled = null;  // the socket of the last dial

  function dial(room) {
    return account.ticket(room).then((ticket) => new WebSocket(wsOrigin() + '/relay/v1/device/' + room + '?ticket=' + encodeURIComponent(ticket), 'morvane.v1'));
  }

  const road = {
    firstMessage: () => (current ? SECURE.helloMessage : null),
    retryDelay(attempt, ended) {
      const found = dialled ? dialled.found : '';
      const step = relayRetryStep(pace, { attempt, nowMs: Date.now(), found, afterSession: !!(ended && ended.afterSession) });
      pace = step.pace;
      return step.delay;
    },
    openSocket: () => {
      const { room, keys } = current;
      dialled = null;  // a dial that cannot start found nothing
      dialled = relaySocket({
        dial: () => dial(room), computer: keys, roomID: hexBytes(room),
        onDialFailure: (e) => {
          const word = e && e.word;
          if (!signedOut(e) && word !== 'unknown-host') return;
          current = null;
          hooks.endSession();
          if (signedOut(e)) showSignIn(accountErrorText(e));
          else showList(accountErrorText(e));
        },
      });
      return dialled;
    },
    text: {
      get revokedAdvice() { return removedText(current ? current.name : 'the computer'); },
      revokedButton: 'Add this device again',
      get forget() { return forgetQuestion(current ? current.name : 'this computer'); },
    },
    needSetup(why) {
      const was = current;
      current = null;
      if (!was) { showList(''); return; }
      if (why === 'forget') {
        deviceKeys.forget(was.room).catch(() => {}).then(() => showList(''));
        return;
      }
      if (why !== 'denied' && why !== 'revoked') { showList(''); return; }
      // The computer no longer knows this device: the way back is to add it again.
      removed.add(was.room);
      showEnrol({ room: was.room, name: was.name, online: true });
      setError(ui.enrolError, removedText(was.name));
    },
    start(h) {
      hooks = h;
      ui = bindScreens();
      if (account.session) showList('');
      else showSignIn('');
    },
  };

  // ----------------------------------------------------------- screens

  function bindScreens() {
    const $ = (id) => document.getElementById(id);
    const u = {
      screen: $('relay-screen'), signin: $('relay-signin'), email: $('relay-email'), codeField: $('relay-code-field'),
      code: $('relay-code'), codeHint: $('relay-code-hint'), newCode: $('relay-new-code'), signinError: $('relay-signin-error'),
      signinButton: $('relay-signin-button'),
      computers: $('relay-computers'), accountLine: $('relay-account'), list: $('relay-list'), empty: $('relay-empty'),
      listError: $('relay-list-error'), refresh: $('relay-refresh'), signout: $('relay-signout'),
      enrol: $('relay-enrol'), enrolTitle: $('relay-enrol-title'), enrolSteps: $('relay-enrol-steps'),
      enrolNameField: $('relay-enrol-name-field'), enrolName: $('relay-enrol-name'), enrolCode: $('relay-enrol-code'),
      enrolStatus: $('relay-enrol-status'), enrolError: $('relay-enrol-error'), enrolButton: $('relay-enrol-button'),
      enrolBack: $('relay-enrol-back'), leave: $('relay-leave'),
      loginId: '', enrolling: null, enrolFor: null,
      // What the list shows (to leave it alone when nothing changed), and
      // where its error came from: 'load', 'offline' (of `errorRoom`), or
      // the screen that sent the person here.
      listDrawn: '', errorFrom: '', errorRoom: '',
    };
    // Where a session ends for good, the way back to the computers.
    const overlayActions = document.querySelector('#overlay .overlay-actions');
    if (overlayActions) { overlayActions.appendChild(u.leave); u.leave.hidden = false; }
    u.leave.addEventListener('click', () => { current = null; hooks.endSession(); showList(''); });
    u.signin.addEventListener('submit', onSignIn);
    u.newCode.addEventListener('click', () => { sendCode(u.email.value.trim()); });
    u.email.addEventListener('input', () => { if (!u.codeField.hidden) showSignIn(''); });
    u.refresh.addEventListener('click', () => showList(''));
    const refreshShown = () => { if (listShown() && document.visibilityState !== 'hidden') loadList(); };
    document.addEventListener('visibilitychange', refreshShown);
    window.addEventListener('online', refreshShown);
    u.signout.addEventListener('click', () => { account.signOut().then(() => showSignIn('')); });
    u.enrol.addEventListener('submit', onEnrolSubmit);
    u.enrolBack.addEventListener('click', () => { cancelEnrolment(); showList(''); });
    return u;
  }

  // A screen that was not on show before takes the focus on its heading,
  // so that a screen reader says the screen changed and the next Tab starts
  // from the top of it; showing the same screen again leaves focus alone.
  function showOnly(part) {
    const changed = ui.screen.hidden || part.hidden;
    ui.screen.hidden = false;
    for (const p of [ui.signin, ui.computers, ui.enrol]) p.hidden = p !== part;
    if (changed) part.querySelector('h1').focus();
  }

  function setError(node, text) {
    node.textContent = text || '';
    node.hidden = !text;
  }

  function showSignIn(error) {
    cancelEnrolment();
    showOnly(ui.signin);
    ui.codeField.hidden = true;
    ui.code.value = '';
    ui.signinButton.textContent = 'Send code';
    ui.signinButton.disabled = false;
    setError(ui.signinError, error);
  }

  // Asks the relay for a code, the first one or a new one after a wrong
  // or expired code: each under a login id of its own. A button disabled
  // while it waits loses the focus, so the answer puts the focus where the
  // next step is typed.
  async function sendCode(email) {
    setError(ui.signinError, '');
    if (!/^[^@\s]+@[^@\s]+$/.test(email)) {
      setError(ui.signinError, 'Enter your e-mail address.');
      ui.email.focus();
      return;
    }
    const again = !ui.codeField.hidden;
    ui.signinButton.disabled = ui.newCode.disabled = true;
    const loginId = randomHex(16);
    try {
      const mailed = await account.sendCode(email, loginId);
      ui.loginId = loginId;
      ui.codeField.hidden = false;
      ui.code.value = '';
      // No mail is on its way: the person is sent to the one that came.
      ui.codeHint.textContent = mailed
        ? (again ? 'A new code was sent to ' : 'Six digits, sent to ') + email + '.'
        : 'No new code was sent: the code in the last e-mail to ' + email + ' still works. Look for that e-mail.';
      ui.signinButton.textContent = 'Sign in';
      ui.signinButton.disabled = ui.newCode.disabled = false;
      ui.code.focus();
    } catch (e) {
      ui.signinButton.disabled = ui.newCode.disabled = false;
      // The line above the error spoke of the code sent before; it must not
      // read as if this one went out.
      if (again) ui.codeHint.textContent = 'No new code was sent to ' + email + '.';
      setError(ui.signinError, accountErrorText(e, 'code'));
      (again ? ui.code : ui.email).focus();
    }
  }

  async function onSignIn(event) {
    event.preventDefault();
    const email = ui.email.value.trim();
    if (ui.codeField.hidden) { await sendCode(email); return; }
    setError(ui.signinError, '');
    const code = ui.code.value.replace(/\D/g, '');
    if (code.length !== 6) { setError(ui.signinError, 'Enter the 6-digit code from the e-mail.'); ui.code.focus(); return; }
    ui.signinButton.disabled = ui.newCode.disabled = true;
    try {
      await account.verify(email, ui.loginId, code);
      ui.signinButton.disabled = ui.newCode.disabled = false;
      showList('');
    } catch (e) {
      ui.signinButton.disabled = ui.newCode.disabled = false;
      setError(ui.signinError, accountErrorText(e, 'verify'));
      // A code that cannot be used again is not typed again: the next step
      // is a new one.
      if (e.expired || e.triesLeft === 0) { ui.newCode.focus(); return; }
      ui.code.focus();
      ui.code.select();
    }
  }

  let listing = 0;
  let listTimer = null;
  const listShown = () => !ui.screen.hidden && !ui.computers.hidden;

  function setListError(text, from, room) {
    setError(ui.listError, text);
    ui.errorFrom = text ? from : '';
    ui.errorRoom = text ? room || '' : '';
  }

  function showList(error) {
    cancelEnrolment();
    showOnly(ui.computers);
    setListError(error, 'given');
    const session = account.session;
    ui.accountLine.textContent = session ? 'Signed in as ' + session.email + '.' : '';
    loadList();
  }

  // Asks for the list, and again every little while as long as it shows
  // and the page is seen; an answer for a list no longer shown is dropped.
  async function loadList() {
    clearTimeout(listTimer);
    listTimer = null;
    const mine = ++listing;
    let hosts;
    let known;
    try {
      hosts = await account.hosts();
      known = new Set(await deviceKeys.rooms().catch(() => []));
    } catch (e) {
      if (mine !== listing || !listShown()) return;
      if (signedOut(e)) { showSignIn(accountErrorText(e)); return; }
      setListError(accountErrorText(e), 'load');
      nextList(mine);
      return;
    }
    if (mine !== listing || !listShown()) return;
    const back = ui.errorFrom === 'offline' && !hosts.some((h) => h.room === ui.errorRoom && !h.online);
    if (ui.errorFrom === 'load' || back) setListError('');
    renderList(hosts, known);
    nextList(mine);
  }

  function nextList(mine) {
    listTimer = setTimeout(() => {
      listTimer = null;
      if (mine !== listing || !listShown()) return;
      if (document.visibilityState === 'hidden') nextList(mine);
      else loadList();
    }, LIST_REFRESH_MS);
  }

  // The rows are made again only when something in them changed, and the
  // focus stays on the row (or its computer) it was on.
  function renderList(hosts, known) {
    const rows = hosts.map((h) => ({ h, kept: known.has(h.room), refused: removed.has(h.room) }));
    const shown = JSON.stringify(rows);
    ui.empty.hidden = hosts.length > 0;
    if (shown === ui.listDrawn) return;
    ui.listDrawn = shown;
    const had = document.activeElement;
    const focus = had && ui.list.contains(had) ? { room: had.dataset.room, className: had.className } : null;
    ui.list.textContent = '';
    for (const r of rows) ui.list.appendChild(computerRow(r.h, r.kept, r.refused));
    if (!focus) return;
    const rowOf = (className) => Array.from(ui.list.getElementsByClassName(className)).find((b) => b.dataset.room === focus.room);
    const next = rowOf(focus.className) || rowOf('relay-computer');
    if (next) next.focus();
  }

  function computerRow(h, kept, refused) {
    const added = kept && !refused;
    const li = document.createElement('li');
    const b = document.createElement('button');
    b.type = 'button';
    b.className = 'relay-computer';
    b.dataset.online = String(h.online);
    b.dataset.room = h.room;
    const name = document.createElement('span');
    name.className = 'relay-name';
    name.textContent = h.name;
    const state = document.createElement('span');
    state.className = 'relay-state';
    state.textContent = (h.online ? 'Online' : 'Offline') + (added ? '' : ' · this device is not added yet');
    b.append(name, state);
    b.addEventListener('click', () => choose(h));
    li.appendChild(b);
    if (kept) {
      const f = document.createElement('button');
      f.type = 'button';
      f.className = 'relay-forget';
      f.dataset.room = h.room;
      f.textContent = 'Forget';
      f.setAttribute('aria-label', 'Forget ' + h.name + ' on this device');
      f.addEventListener('click', () => {
        hooks.askConfirm(forgetQuestion(h.name), 'Forget', () => {
          deviceKeys.forget(h.room).catch(() => {}).then(() => showList(''));
        });
      });
      li.appendChild(f);
    }
    return li;
  }

  async function choose(h) {
    if (!h.online) { setListError(offlineText(h.name), 'offline', h.room); return; }
    let keys = null;
    try { keys = removed.has(h.room) ? null : await deviceKeys.load(h.room); } catch (e) { keys = null; }
    if (!keys) { showEnrol(h); return; }
    openSession(h, keys);
  }

  function openSession(h, keys) {
    current = { room: h.room, name: h.name, keys };
    ui.screen.hidden = true;
    hooks.startSession();
  }

  // ---------------------------------------------------------- enrolment

  function showEnrol(h) {
    cancelEnrolment();
    showOnly(ui.enrol);
    ui.enrolFor = h;
    ui.enrolTitle.textContent = 'Add this device to ' + h.name;
    ui.enrolSteps.textContent = 'On ' + h.name + ', choose Morvane in the tray, then Add Device Over Relay… Then choose Continue here, and check that both show the same code.';
    ui.enrolNameField.hidden = false;
    if (!ui.enrolName.value) ui.enrolName.value = store.get(NAME_KEY) || guessDeviceName(navigator.userAgent, navigator.maxTouchPoints || 0, navigator.platform || '');
    ui.enrolCode.hidden = true;
    ui.enrolStatus.textContent = '';
    ui.enrolButton.hidden = false;
    ui.enrolButton.disabled = false;
    setError(ui.enrolError, '');
  }

  function cancelEnrolment() {
    if (ui && ui.enrolling) { const e = ui.enrolling; ui.enrolling = null; e.cancel(); }
  }

  function onEnrolSubmit(event) {
    event.preventDefault();
    const h = ui.enrolFor;
    if (!h || ui.enrolling) return;
    const name = cleanDeviceName(ui.enrolName.value) || guessDeviceName(navigator.userAgent, navigator.maxTouchPoints || 0, navigator.platform || '');
    setError(ui.enrolError, '');
    ui.enrolButton.disabled = true;
    ui.enrolStatus.textContent = 'Connecting to ' + h.name + '…';
    const attempt = startEnrolment({
      dial: () => dial(h.room), roomID: hexBytes(h.room), name,
      onCode: (code) => {
        if (ui.enrolling !== attempt) return;
        ui.enrolNameField.hidden = true;
        ui.enrolButton.hidden = true;
        ui.enrolCode.hidden = false;
        ui.enrolCode.textContent = groupedCode(code);
        ui.enrolStatus.textContent = 'Check that ' + h.name + ' shows the same code, then approve it there.';
        // The button that had the focus is gone: the code is what to read now.
        ui.enrolCode.focus();
      },
    });
    ui.enrolling = attempt;
    attempt.done.then(async (keys) => {
      if (ui.enrolling !== attempt) return;
      ui.enrolling = null;
      try {
        await deviceKeys.save({ room: h.room, deviceName: name, ...keys });
      } catch (e) {
        // Not kept: this page can still use the keys until it closes.
      }
      store.set(NAME_KEY, name);
      removed.delete(h.room);
      openSession(h, keys);
    }, (e) => {
      if (ui.enrolling !== attempt) return;
      ui.enrolling = null;
      ui.enrolNameField.hidden = false;
      ui.enrolButton.hidden = false;
      ui.enrolButton.disabled = false;
      ui.enrolCode.hidden = true;
      ui.enrolStatus.textContent = '';
      setError(ui.enrolError, enrolErrorText(e && e.word, h.name));
      ui.enrolButton.focus();
    });
  }

  return road;
}

function start() { main.start(relayRoad()); }

module.exports = {
  api: Object.assign({}, main.api, { enrolErrorText, removedText, parseHosts, accountErrorText, relayCloseWord }),
  start,
};

'use strict';
// Pairing, the page half: the pairing screen, the form that trades a code
// for a token, and where the token is kept.
const { encodeAuth } = require('./encoders.js');
const {
  TOKEN_KEY, cleanDeviceName, codeChars, formatCodeInput, guessDeviceName, isLoopbackHost, isValidCode,
} = require('./pairing.js');
const { pairErrorText } = require('./wording.js');

module.exports = function pairingPage(app) {
  const { relay, el, session, coarsePointer } = app;

  let memoryToken = null;
  function loadToken() {
    try { const v = localStorage.getItem(TOKEN_KEY); if (v) return v; } catch (e) { /* memory copy */ }
    return memoryToken;
  }
  function saveToken(token) {
    memoryToken = token;
    try { localStorage.setItem(TOKEN_KEY, token); } catch (e) { /* memory copy */ }
  }
  function clearToken() {
    memoryToken = null;
    try { localStorage.removeItem(TOKEN_KEY); } catch (e) { /* nothing stored */ }
  }

  function guessName() {
    return guessDeviceName(navigator.userAgent, navigator.maxTouchPoints || 0, navigator.platform || '');
  }

  function setPairError(message) {
    el.pairError.textContent = message || '';
    el.pairError.hidden = !message;
  }

  function showPairing(message) {
    app.connection.conn.screen = 'pair';
    session.hidden = true;
    el.pairScreen.hidden = false;
    if (!el.pairName.value) el.pairName.value = guessName();
    if (el.pairItemLocal && el.pairItemTailnet) {
      const local = isLoopbackHost(location.hostname);
      el.pairItemLocal.hidden = !local;
      el.pairItemTailnet.hidden = local;
    }
    setPairError(message || '');
    if (!coarsePointer.matches) el.pairCode.focus();
  }

  function showSession() {
    if (!session.hidden && app.connection.conn.screen === 'session') return;
    app.connection.conn.screen = 'session';
    el.pairScreen.hidden = true;
    session.hidden = false;
    app.layout.relayout();
  }

  function leaveForSetup(why) {
    app.connection.conn.screen = '';
    session.hidden = true;
    if (relay && typeof relay.needSetup === 'function') relay.needSetup(why);
  }

  function onCodeInput() {
    const f = el.pairCode;
    const r = formatCodeInput(f.value, f.selectionStart);
    f.value = r.text;
    try { f.setSelectionRange(r.caret, r.caret); } catch (e) { /* unfocused field */ }
    if (r.rejected) el.pairCodeHint.textContent = 'Codes never use the letters I and O or the digits 0 and 1.';
    else if (r.text === '') el.pairCodeHint.textContent = 'Eight letters and digits. You can paste it.';
    setPairError('');
  }

  let pairing = false;
  async function submitPairing(event) {
    if (event) event.preventDefault();
    if (pairing) return;
    const code = codeChars(el.pairCode.value);
    const name = cleanDeviceName(el.pairName.value) || guessName();
    if (!isValidCode(code)) {
      setPairError(code.length === 0 ? 'Enter the code shown on the computer.'
        : 'The code has 8 letters and digits. ' + code.length + ' so far.');
      el.pairCode.focus();
      return;
    }
    setPairError('');
    pairing = true;
    el.pairButton.disabled = true;
    el.pairButton.textContent = 'Pairing…';
    let response = null;
    let body = null;
    try {
      response = await fetch('/api/pair', {
        method: 'POST', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ code: code, name: name }), credentials: 'omit', cache: 'no-store',
      });
      try { body = await response.json(); } catch (e) { body = null; }
    } catch (e) {
      response = null;
    }
    pairing = false;
    el.pairButton.disabled = false;
    el.pairButton.textContent = 'Pair this device';
    if (!response) {
      setPairError('Could not reach Morvane on the computer. Check that it is running, then try again.');
      return;
    }
    const token = body && typeof body === 'object' ? body.token : null;
    if (response.status === 200 && encodeAuth(token)) {
      saveToken(token);
      el.pairCode.value = '';
      el.pairCodeHint.textContent = 'Eight letters and digits. You can paste it.';
      app.connection.startSession();
      return;
    }
    setPairError(pairErrorText(body && typeof body === 'object' ? body.error : null, isLoopbackHost(location.hostname)));
  }

  return {
    loadToken,
    clearToken,
    showPairing,
    showSession,
    leaveForSetup,
    onCodeInput,
    submitPairing,
  };
};

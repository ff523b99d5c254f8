'use strict';
// Wording, the pure half: the status strip's notices, the overlay's texts
// at the end of a session, and the answers to a pairing attempt.
const { isNum } = require('./numbers.js');

const NO_RECONNECT = ['taken-over', 'revoked', 'disconnected-by-host', 'stopped-on-mac', 'paused', 'relay-quota'];

function statusBanners(status) {
  if (!status || typeof status !== 'object' || Array.isArray(status)) return [];
  const out = [];
  const capture = typeof status.capture === 'string' ? status.capture : '';
  if (capture === 'no-permission') {
    out.push({ id: 'no-screen', title: 'The Mac is not allowed to share its screen', detail: 'On the Mac, open Morvane in the menu bar and choose the Screen Recording item, switch Morvane on, then quit and reopen it.' });
  } else if (capture === 'no-display') {
    out.push({ id: 'no-display', title: 'The Mac has no display to show', detail: 'Wake the Mac or connect a display. The picture returns by itself.' });
  } else if (capture.indexOf('error') === 0) {
    out.push({ id: 'capture-error', title: 'The picture stopped on the Mac', detail: 'If it does not come back in a moment, quit and reopen Morvane on the Mac.' });
  } else if (capture === 'starting') {
    out.push({ id: 'starting', title: 'Starting the picture', detail: 'This takes a moment.' });
  }
  if (status.input === false) {
    out.push({ id: 'no-input', title: 'View only: the Mac is not accepting control', detail: 'On the Mac, open Morvane in the menu bar and choose the Accessibility item, then switch Morvane on.' });
  }
  if (status.locked === true) {
    out.push({ id: 'locked', title: 'The Mac is locked', detail: 'Open Type, enter your password with Plain on, and send it with Return.' });
  }
  if (status.sleepDisabled === false) {
    out.push({ id: 'may-sleep', title: 'The Mac may go to sleep', detail: "The Mac's sleep is on, so it may stop answering when idle or with the lid closed. Keep it on power, and turn off sleep on the Mac if it has to stay reachable." });
  }
  return out;
}

const BYE_TEXT = {
  'taken-over': 'Another device took over control of the Mac.',
  'revoked': 'This device was removed on the Mac.',
  'disconnected-by-host': 'The Mac ended this session.',
  'stopped-on-mac': 'Sharing was stopped on the Mac.',
  'paused': 'Morvane is paused on the Mac.',
  'timeout': 'The Mac stopped hearing from this device.',
  'host-quit': 'Morvane quit on the Mac.',
  'user': 'You disconnected.',
  'offline': 'This device is offline.',
  'mac-offline': 'Your Mac is not connected to the relay.',
  'relay-unreachable': 'The relay cannot be reached.',
  'relay-busy': 'Too many devices are connected to the relay.',
  'renew': 'Refreshing the secure connection.',
  'secure-failed': 'The secure connection failed a check and was closed.',
  'relay-quota': 'The relay has used up its daily allowance.',
};
const DROP_TEXT = 'The connection to the Mac dropped.';

function byeText(reason) {
  return typeof reason === 'string' && Object.prototype.hasOwnProperty.call(BYE_TEXT, reason) ? BYE_TEXT[reason] : DROP_TEXT;
}

const STOP_ADVICE = {
  'taken-over': 'Only one device controls the Mac at a time. Reconnect to take it back.',
  'revoked': 'Pair again with a new code from the Mac.',
  'disconnected-by-host': 'Someone chose Disconnect on the Mac. Reconnect when you are ready.',
  'stopped-on-mac': 'Someone chose Stop Sharing there, and Morvane is now paused. On the Mac, choose Morvane in the menu bar, then Resume Morvane. After that, reconnect.',
  'paused': 'Nobody can connect while it is paused. On the Mac, choose Morvane in the menu bar, then Resume Morvane. After that, reconnect.',
  'relay-quota': 'It works again after midnight UTC. Tailscale still reaches the Mac.',
};

function stopAdvice(reason) {
  return typeof reason === 'string' && Object.prototype.hasOwnProperty.call(STOP_ADVICE, reason) ? STOP_ADVICE[reason] : 'Reconnect when you are ready.';
}

function retryText(delayMs) {
  const s = Math.max(1, isNum(delayMs) ? Math.round(delayMs / 1000) : 0);
  return 'Trying again in ' + s + (s === 1 ? ' second.' : ' seconds.');
}

function pairErrorText(error) {
  if (error === 'code-not-accepted') {
    return 'That code was not accepted. Check it against the Mac. If the pairing window there has closed, ' +
      'choose Morvane in the menu bar, then Pair a Device Over Tailscale… again (or Pair a Browser on This Mac…), and enter the new code.';
  }
  if (error === 'paused') {
    return 'Morvane is paused on the Mac, so nothing can be paired. On the Mac, choose Morvane in the menu bar, ' +
      'then Resume Morvane, then Pair a Device Over Tailscale… (or Pair a Browser on This Mac…) for a new code.';
  }
  return 'The Mac did not accept the request. Try again with a new code.';
}

function shouldAutoReconnect(reason) {
  return reason !== 'user' && NO_RECONNECT.indexOf(reason) < 0;
}

module.exports = { NO_RECONNECT, statusBanners, byeText, stopAdvice, retryText, pairErrorText, shouldAutoReconnect,
  DROP_TEXT };

'use strict';
// Wording, the pure half: the status strip's notices, the overlay's texts
// at the end of a session, and the answers to a pairing attempt.
const { isNum } = require('./numbers.js');

const NO_RECONNECT = ['taken-over', 'revoked', 'disconnected-by-host', 'stopped-on-mac', 'paused', 'relay-quota'];

// `lockedNow`: the host said a lock the page asked for happened (lock.js's
// lockedNow), which a later status confirms: the banner comes with that word
// rather than a status or two after it.
function statusBanners(status, lockedNow) {
  if (!status || typeof status !== 'object' || Array.isArray(status)) return [];
  const out = [];
  const capture = typeof status.capture === 'string' ? status.capture : '';
  if (capture === 'no-permission') {
    out.push({ id: 'no-screen', title: 'The computer is not allowed to share its screen', detail: 'On the computer, start Morvane from the desktop session, so that it can read the X display.' });
  } else if (capture === 'no-display') {
    out.push({ id: 'no-display', title: 'The computer has no display to show', detail: 'Wake the computer or connect a display. The picture returns by itself.' });
  } else if (capture.indexOf('error') === 0) {
    out.push({ id: 'capture-error', title: 'The picture stopped on the computer', detail: 'If it does not come back in a moment, quit and reopen Morvane on the computer.' });
  } else if (capture === 'starting') {
    out.push({ id: 'starting', title: 'Starting the picture', detail: 'This takes a moment.' });
  }
  if (status.input === false) {
    out.push({ id: 'no-input', title: 'View only: the computer is not accepting control', detail: 'The computer\u2019s X server lacks the XTEST extension that Morvane types and points with.' });
  }
  if (status.locked === true || lockedNow === true) {
    out.push({ id: 'locked', title: 'The computer is locked', detail: 'Open Type, enter your password with Plain on, and send it with Return.' });
  }
  if (status.sleepDisabled === false) {
    out.push({ id: 'may-sleep', title: 'The computer may go to sleep', detail: "The computer's sleep is on, so it may stop answering when idle or with the lid closed. Keep it on power, and turn off sleep on the computer if it has to stay reachable." });
  }
  return out;
}

const BYE_TEXT = {
  'taken-over': 'Another device took over control of the computer.',
  'revoked': 'This device was removed on the computer.',
  'disconnected-by-host': 'The computer ended this session.',
  'stopped-on-mac': 'Sharing was stopped on the computer.',
  'paused': 'Morvane is paused on the computer.',
  'timeout': 'The computer stopped hearing from this device.',
  'host-quit': 'Morvane quit on the computer.',
  'user': 'You disconnected.',
  'offline': 'This device is offline.',
  'mac-offline': 'Your computer is not connected to the relay.',
  'relay-unreachable': 'The relay cannot be reached.',
  'relay-busy': 'Too many devices are connected to the relay.',
  'renew': 'Refreshing the secure connection.',
  'secure-failed': 'The secure connection failed a check and was closed.',
  'relay-quota': 'The relay has used up its daily allowance.',
};
const DROP_TEXT = 'The connection to the computer dropped.';

function byeText(reason) {
  return typeof reason === 'string' && Object.prototype.hasOwnProperty.call(BYE_TEXT, reason) ? BYE_TEXT[reason] : DROP_TEXT;
}

const STOP_ADVICE = {
  'taken-over': 'Only one device controls the computer at a time. Reconnect to take it back.',
  'revoked': 'Pair again with a new code from the computer.',
  'disconnected-by-host': 'Someone chose Disconnect on the computer. Reconnect when you are ready.',
  'stopped-on-mac': 'Someone chose Stop Sharing there, and Morvane is now paused. On the computer, choose Morvane in the tray, then Resume Morvane. After that, reconnect.',
  'paused': 'Nobody can connect while it is paused. On the computer, choose Morvane in the tray, then Resume Morvane. After that, reconnect.',
  'relay-quota': 'It works again after midnight UTC. Tailscale still reaches the computer.',
};

function stopAdvice(reason) {
  return typeof reason === 'string' && Object.prototype.hasOwnProperty.call(STOP_ADVICE, reason) ? STOP_ADVICE[reason] : 'Reconnect when you are ready.';
}

function retryText(delayMs) {
  const s = Math.max(1, isNum(delayMs) ? Math.round(delayMs / 1000) : 0);
  return 'Trying again in ' + s + (s === 1 ? ' second.' : ' seconds.');
}

// The tray's pairing item: over the tailnet there is only the tailnet's; a
// browser on the computer finds its own, unless the tailnet's replaces it.
function pairItemText(onThisComputer) {
  return onThisComputer
    ? 'Pair a Browser on This Computer… (or Pair a Device Over Tailscale… while access over Tailscale is on)'
    : 'Pair a Device Over Tailscale…';
}

function pairErrorText(error, onThisComputer) {
  if (error === 'code-not-accepted') {
    return 'That code was not accepted. Check it against the computer. If the pairing window there has closed, ' +
      'choose Morvane in the tray, then ' + pairItemText(onThisComputer) + ' again, and enter the new code.';
  }
  if (error === 'cannot-save') {
    return 'The code was right, but the computer could not save its list of paired devices (its disk may be full), ' +
      'so this device was not paired. The Morvane menu in the computer\'s tray says why. Once that is fixed, ' +
      'get a new code there and try again.';
  }
  if (error === 'paused') {
    return 'Morvane is paused on the computer, so nothing can be paired. On the computer, choose Morvane in the tray, ' +
      'then Resume Morvane, then ' + pairItemText(onThisComputer) + ' for a new code.';
  }
  return 'The computer did not accept the request. Try again with a new code.';
}

function shouldAutoReconnect(reason) {
  return reason !== 'user' && NO_RECONNECT.indexOf(reason) < 0;
}

// Why a connection ended when no bye said so: a session that heard nothing
// from the computer for a while ("silent"), or a dial the computer did not
// answer in time ("unanswered"), which the relay, when it let the dial in
// (`reached`), shows is the computer's doing, not the network's. Null for
// any other end.
function quietText(word, reached) {
  if (word === 'silent') return 'Your computer stopped answering.';
  if (word === 'unanswered') return reached ? 'The relay is reachable, but your computer did not answer.' : 'Your computer did not answer.';
  return null;
}

// Under "Connecting to your computer" or "Reconnecting…": why the page
// dials again (`why`, what the wait before said, after an end `word`), and
// once the relay holds this dial (`reached`), that the computer is what it
// waits for; a computer that went silent stays named as the reason.
const REACHED_TEXT = 'The relay is reachable; waiting for your computer to answer.';
function dialText(why, word, reached) {
  if (!reached) return why || '';
  return (word === 'silent' ? quietText(word) + ' ' : '') + REACHED_TEXT;
}

module.exports = { NO_RECONNECT, statusBanners, byeText, stopAdvice, retryText, pairItemText, pairErrorText, shouldAutoReconnect,
  DROP_TEXT, quietText, dialText };

'use strict';
// Pairing, the pure half: the pairing code's alphabet and shape, the device
// name, and how the code field reads what is typed or pasted into it.
const { clamp, isNum } = require('./numbers.js');

const CODE_ALPHABET = 'ABCDEFGHJKLMNPQRSTUVWXYZ23456789';
const CODE_LENGTH = 8;
const NAME_MAX = 40;
const TOKEN_KEY = 'morvane.token';

function codeChars(raw) {
  const up = String(raw == null ? '' : raw).toUpperCase();
  let out = '';
  for (const ch of up) {
    if (out.length >= CODE_LENGTH) break;
    if (CODE_ALPHABET.indexOf(ch) >= 0) out += ch;
  }
  return out;
}

function formatCode(raw) {
  const c = codeChars(raw);
  return c.length > 4 ? c.slice(0, 4) + ' ' + c.slice(4) : c;
}

function isValidCode(code) {
  if (typeof code !== 'string' || code.length !== CODE_LENGTH) return false;
  for (const ch of code) if (CODE_ALPHABET.indexOf(ch) < 0) return false;
  return true;
}

function formatCodeInput(raw, caret) {
  const value = raw == null ? '' : String(raw);
  let at = isNum(caret) ? clamp(Math.round(caret), 0, value.length) : value.length;
  const text = formatCode(value);
  const before = codeChars(value.slice(0, at)).length;
  const kept = codeChars(value).length;
  const typed = (value.match(/[A-Za-z0-9]/g) || []).length;
  let next = before + (before > 4 ? 1 : 0);
  if (next > text.length) next = text.length;
  const rejected = kept < CODE_LENGTH && typed > kept;
  return { text: text, caret: next, rejected: rejected };
}

// The host answers a browser on this computer at 127.0.0.1 and any other
// device over the tailnet only; the pairing item in the tray differs.
function isLoopbackHost(hostname) {
  return /^(127\.\d+\.\d+\.\d+|localhost|\[::1\]|::1)$/i.test(String(hostname || ''));
}

function cleanDeviceName(raw) {
  return String(raw == null ? '' : raw).trim().slice(0, NAME_MAX);
}

function guessDeviceName(userAgent, maxTouchPoints, platform) {
  const ua = String(userAgent || '');
  const pf = String(platform || '');
  const touch = isNum(maxTouchPoints) ? maxTouchPoints : 0;
  const agrees = (re) => pf === '' || re.test(pf);
  const answer = (re, name) => (agrees(re) ? name : 'This device');
  if (/iPhone|iPod/.test(ua)) return answer(/iPhone|iPod/, 'iPhone');
  if (/iPad/.test(ua)) return answer(/iPad|Mac/, 'iPad');
  if (/Android/.test(ua)) {
    if (!(agrees(/linux|android|arm|aarch/i) && touch >= 1)) return 'This device';
    return /Mobile/.test(ua) ? 'Android phone' : 'Android tablet';
  }
  if (/Windows/.test(ua)) return answer(/Win/, 'Windows PC');
  if (/CrOS/.test(ua)) return answer(/Linux/, 'Chromebook');
  if (/Macintosh|Mac OS X/.test(ua)) {
    if (!agrees(/Mac|iPad/)) return 'This device';
    const desktop = /(Chrome|Chromium|Firefox|Edg)\//.test(ua);
    return touch > 1 && !desktop ? 'iPad' : 'Mac';
  }
  if (/Linux|X11/.test(ua)) return answer(/Linux|X11/, 'Linux PC');
  return 'This device';
}

module.exports = { CODE_ALPHABET, codeChars, formatCode, isValidCode, formatCodeInput, cleanDeviceName,
  guessDeviceName, isLoopbackHost, TOKEN_KEY };

'use strict';
// Small numeric checks every module uses.

function isNum(v) { return typeof v === 'number' && Number.isFinite(v); }
function clamp(v, lo, hi) { return v < lo ? lo : (v > hi ? hi : v); }

module.exports = { isNum, clamp };

'use strict';
// The controls for the computer's screen (fit and hide): not offered yet, so
// the session's calls find nothing to do.

module.exports = function screenControlsPage() {
  function fxEvent() {}
  return { fxEvent };
};

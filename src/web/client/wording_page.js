'use strict';
// Wording, the page half: the status strip, its notices and metrics, and
// the overlay over the picture.
const { formatRate } = require('./video.js');
const { statusBanners } = require('./wording.js');

module.exports = function wordingPage(app) {
  const { el } = app;

  let notices = [];
  let lastStatus = null;
  let noticesExpanded = false;
  let rxBytes = 0;
  let rxSeconds = [];
  let frameCount = 0;

  function setConn(state, text) {
    el.connDot.dataset.state = state;
    el.connText.textContent = text;
  }

  // `busy`: the button shows but cannot be pressed (a dial is on its way).
  function showOverlay(title, text, buttonLabel, busy) {
    el.overlayTitle.textContent = title || '';
    el.overlayText.textContent = text || '';
    el.overlayText.hidden = !text;
    el.reconnect.textContent = buttonLabel || '';
    el.reconnect.hidden = !buttonLabel;
    el.reconnect.disabled = !!busy;
    el.overlay.hidden = false;
  }

  function hideOverlay() { el.overlay.hidden = true; }

  // The label of the button the overlay shows now, or ''.
  function overlayButton() {
    return el.overlay.hidden || el.reconnect.hidden ? '' : el.reconnect.textContent;
  }

  function renderBanner() {
    if (notices.length === 0) {
      el.banner.hidden = true;
      noticesExpanded = false;
      el.bannerList.replaceChildren();
      return;
    }
    el.banner.hidden = false;
    el.bannerTitle.textContent = notices[0].title;
    el.bannerDetail.textContent = notices[0].detail;
    const items = notices.slice(1).map((n) => {
      const li = document.createElement('li');
      const b = document.createElement('b');
      b.textContent = n.title;
      const p = document.createElement('span');
      p.className = 'muted';
      p.textContent = n.detail;
      li.append(b, p);
      return li;
    });
    el.bannerList.replaceChildren(...items);
    el.bannerMore.hidden = items.length === 0;
    el.bannerMore.textContent = noticesExpanded ? 'Show less' : items.length + ' more';
    el.bannerMore.setAttribute('aria-expanded', noticesExpanded ? 'true' : 'false');
    el.bannerList.hidden = !(noticesExpanded && items.length > 0);
  }

  function renderStatus(status) {
    lastStatus = status;
    notices = statusBanners(status, app.lock.lockedNow());
    renderBanner();
    el.lidNote.hidden = !(status && status.lidClosed === true);
    // The line under Lock follows the screen both ways.
    app.lock.lockEvent({ type: 'screen', locked: status ? status.locked : undefined });
    app.layout.relayout();
  }

  // The lock's word changed between two statuses.
  function lockChanged() {
    notices = statusBanners(lastStatus, app.lock.lockedNow());
    renderBanner();
    app.layout.relayout();
  }

  function toggleNotices() {
    noticesExpanded = !noticesExpanded;
    renderBanner();
  }

  function resetMetrics() {
    rxBytes = 0;
    rxSeconds = [];
    frameCount = 0;
  }
  function countBytes(n) { rxBytes += n; }
  function countFrame() { frameCount += 1; }

  function tickFps() {
    rxSeconds.push(rxBytes);
    rxBytes = 0;
    if (rxSeconds.length > 3) rxSeconds.shift();
    if (!app.connection.conn.ready) { frameCount = 0; return; }
    el.fps.textContent = frameCount + ' fps';
    frameCount = 0;
    const sum = rxSeconds.reduce((a, b) => a + b, 0);
    el.rate.textContent = formatRate(sum * 8 / rxSeconds.length);
  }

  return {
    messages: { 'status': renderStatus },
    lockChanged,
    get notices() { return notices; },
    get noticesExpanded() { return noticesExpanded; },
    toggleNotices,
    resetMetrics,
    countBytes,
    countFrame,
    setConn,
    showOverlay,
    hideOverlay,
    overlayButton,
    renderBanner,
    renderStatus,
    tickFps,
  };
};

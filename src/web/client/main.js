'use strict';
// Start-up: builds every page module on one shared context, binds the
// page's events, then opens the session (or shows pairing). The pure halves
// are gathered into `api`, the table the tests and the host's consistency
// check read from the joined script.
const { encodeQuality } = require('./encoders.js');
const { POINTER_KEY } = require('./pointer.js');
const { TYPING_KEY } = require('./typing.js');
const { VIDEO_TICK_MS } = require('./video.js');

const pureModules = [
  require('./numbers.js'), require('./pairing.js'), require('./encoders.js'), require('./layout.js'),
  require('./wording.js'), require('./video.js'), require('./pointer.js'), require('./keyboard.js'),
  require('./typing.js'), require('./clipboard.js'), require('./displays.js'), require('./files.js'),
  require('./sound.js'), require('./screen_controls.js'), require('./lock.js'),
];
const pageContext = require('./page.js');

// Each module's page half, by the name the others call it by (app.video...).
// They only reach each other when the page runs, so the order is free.
const pageModules = {
  pairing: require('./pairing_page.js'),
  connection: require('./connection_page.js'),
  wording: require('./wording_page.js'),
  layout: require('./layout_page.js'),
  video: require('./video_page.js'),
  pointer: require('./pointer_page.js'),
  keyboard: require('./keyboard_page.js'),
  typing: require('./typing_page.js'),
  clipboard: require('./clipboard_page.js'),
  displays: require('./displays_page.js'),
  files: require('./files_page.js'),
  sound: require('./sound_page.js'),
  screenControls: require('./screen_controls_page.js'),
  lock: require('./lock_page.js'),
};

// `relayRoad`, given only by the page the relay serves, is its road to the
// computer and its set-up screens (see connection_page.js).
function startApp(relayRoad) {
  const app = pageContext(relayRoad);
  for (const [name, make] of Object.entries(pageModules)) app[name] = make(app);
  app.connection.route(Object.keys(pageModules).map((name) => app[name]));
  const { relay, el, sheets, storeGet } = app;

  function bindPairing() {
    el.pairForm.addEventListener('submit', app.pairing.submitPairing);
    el.pairCode.addEventListener('input', app.pairing.onCodeInput);
  }

  function bindStage() {
    const c = el.screen;
    c.addEventListener('pointerdown', app.pointer.onPointerDown);
    c.addEventListener('pointermove', app.pointer.onPointerMove);
    c.addEventListener('pointerup', app.pointer.onPointerEnd);
    c.addEventListener('pointercancel', app.pointer.onPointerEnd);
    c.addEventListener('mousedown', app.pointer.onMouseDown);
    c.addEventListener('wheel', app.pointer.onWheel, { passive: false });
    c.addEventListener('contextmenu', (e) => e.preventDefault());
    c.addEventListener('dragstart', (e) => e.preventDefault());
    c.addEventListener('selectstart', (e) => e.preventDefault());
    c.addEventListener('auxclick', (e) => e.preventDefault());
    window.addEventListener('mousemove', app.pointer.onMouseMove);
    window.addEventListener('mouseup', app.pointer.onMouseUp);
    for (const type of ['mousedown', 'mouseup', 'auxclick']) window.addEventListener(type, app.pointer.blockBackForward, true);
    document.addEventListener('gesturestart', (e) => e.preventDefault());
    el.stage.addEventListener('keydown', app.keyboard.onKeyDown);
    el.stage.addEventListener('keyup', app.keyboard.onKeyUp);
    el.stage.addEventListener('focus', app.keyboard.onStageFocus);
    el.stage.addEventListener('blur', app.keyboard.onStageBlur);
    window.addEventListener('blur', () => app.pointer.releaseAllInput());
    window.addEventListener('beforeunload', (e) => {
      if (!app.connection.conn.ready) return;
      e.preventDefault();
      e.returnValue = '';
    });
  }

  function bindKeyButtons() {
    for (const area of [el.compose, el.keys, el.more, el.clip, el.files]) area.addEventListener('click', app.keyboard.onControlClick);
    for (const area of [el.compose, el.keys]) area.addEventListener('mousedown', app.keyboard.keepFocus);
  }

  function bindLayout() {
    window.addEventListener('resize', app.layout.syncViewport);
    window.addEventListener('orientationchange', app.layout.syncViewport);
    window.addEventListener('scroll', app.layout.onPageScroll);
    if (window.visualViewport) {
      window.visualViewport.addEventListener('resize', app.layout.syncViewport);
      window.visualViewport.addEventListener('scroll', app.layout.syncViewport);
    }
    if (typeof ResizeObserver === 'function') {
      const ro = new ResizeObserver(() => app.layout.relayout());
      ro.observe(el.work);
      ro.observe(el.stage);
    }
    for (const s of Object.values(sheets)) {
      const scroller = s.querySelector('.sheet-body, .keypad');
      if (scroller) scroller.addEventListener('scroll', app.layout.syncScrollCues, { passive: true });
    }
    el.bannerMore.addEventListener('click', () => {
      app.wording.toggleNotices();
      app.layout.relayout();
    });
  }

  function bindControls() {
    el.typeToggle.addEventListener('click', () => app.layout.setCompose(!app.layout.ui.compose));
    el.keysToggle.addEventListener('click', (e) => app.layout.toggleSheet('keys', e));
    for (const b of document.querySelectorAll('[data-toggle="more"]')) b.addEventListener('click', (e) => app.layout.toggleSheet('more', e));
    for (const b of document.querySelectorAll('[data-open="clip"]')) b.addEventListener('click', (e) => app.layout.toggleSheet('clip', e));
    for (const b of document.querySelectorAll('[data-close="sheet"]')) b.addEventListener('click', () => app.layout.setSheet(null, false));
    el.filesOpen.addEventListener('click', (e) => app.layout.toggleSheet('files', e));
    el.composeClose.addEventListener('click', () => app.layout.setCompose(false));
    el.composeSend.addEventListener('click', app.layout.sendCompose);
    el.composeText.addEventListener('keydown', app.layout.onComposeKey);
    el.composePlain.addEventListener('change', app.layout.applyPlainMode);
    el.quality.addEventListener('change', () => app.connection.send(encodeQuality(el.quality.value)));
    el.lockMac.addEventListener('click', app.lock.askLock);
    el.soundToggle.addEventListener('click', app.sound.onSoundButton);
    el.disconnect.addEventListener('click', () => { app.layout.setSheet(null, false); app.connection.stopSession('user'); });
    el.forget.addEventListener('click', app.connection.forgetDevice);
    el.reconnect.addEventListener('click', app.connection.onReconnectButton);
    el.confirmOk.addEventListener('click', () => app.layout.closeConfirm(true));
    el.confirmCancel.addEventListener('click', () => app.layout.closeConfirm(false));
    document.addEventListener('keydown', app.layout.onEscapeAnywhere);
    el.zoomReset.addEventListener('click', () => { app.video.startGlide(); app.video.setView(1, 0.5, 0.5); });
    if (document.fullscreenEnabled && document.documentElement.requestFullscreen) {
      el.fullscreen.hidden = false;
      el.fullscreen.addEventListener('click', () => {
        const p = document.fullscreenElement ? document.exitFullscreen() : document.documentElement.requestFullscreen();
        if (p && p.catch) p.catch(() => {});
      });
    }
    for (const r of document.querySelectorAll('input[name="picture-pref"]')) {
      r.addEventListener('change', () => { if (r.checked) app.video.setPicturePref(r.value); });
    }
    el.videoRetry.addEventListener('click', () => app.video.videoEvent({ type: 'retry' }));
    el.pointerToggle.addEventListener('click', () => app.pointer.setPointerMode(app.pointer.pointerMode === 'touch' ? 'trackpad' : 'touch', true, true));
    for (const r of document.querySelectorAll('input[name="pointer-mode"]')) {
      r.addEventListener('change', () => { if (r.checked) app.pointer.setPointerMode(r.value, true, false); });
    }
  }

  function bindLifecycle() {
    document.addEventListener('visibilitychange', app.connection.onVisible);
    window.addEventListener('pageshow', app.connection.onVisible);
    window.addEventListener('online', app.connection.onVisible);
    window.addEventListener('pagehide', app.connection.onPageHide);
    setInterval(app.wording.tickFps, 1000);
    setInterval(app.video.videoTick, VIDEO_TICK_MS);
  }

  app.keyboard.initModifiers();
  bindPairing();
  bindStage();
  bindLayout();
  bindControls();
  bindKeyButtons();
  bindLifecycle();
  app.keyboard.initDesk();
  app.typing.bindLive();
  app.clipboard.bindClipboard();
  app.files.bindFiles();
  app.screenControls.bindScreenControls();
  el.displayList.addEventListener('click', app.displays.onDisplayClick);
  app.typing.setTypeMode(storeGet(TYPING_KEY), false);
  app.layout.applyPlainMode();
  app.pointer.noteTouchDevice();
  app.pointer.setPointerMode(storeGet(POINTER_KEY), false, false);
  app.video.syncPictureUi();
  app.layout.syncComposeState();
  app.layout.syncViewport();
  app.sound.soundRender();

  if (relay && typeof relay.start === 'function') {
    relay.start({ startSession: app.connection.startSession, endSession: app.connection.endSession, askConfirm: app.layout.askConfirm });
  } else if (app.pairing.loadToken()) {
    app.connection.startSession();
  } else {
    app.pairing.showPairing('');
  }

}

function start(relayRoad) {
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', () => startApp(relayRoad), { once: true });
  else startApp(relayRoad);
}

module.exports = { api: Object.assign({}, ...pureModules), start };

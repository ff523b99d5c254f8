'use strict';
// The relay's page end to end, at a phone's size: morvane-relay serves it
// and carries the records, and the test host on a private X display is
// linked to it. The page signs in, is added to the computer with the code the
// host shows, then sees a busy X screen as H.264 and as still pictures
// (several times 64 KB each) without the link dropping, moves the X pointer,
// exchanges the clipboard and a file each way through the secure channel,
// loses control to a browser on the computer and takes it back; once the
// owner removes it, it is refused and says so. The relay carried nothing in
// the clear.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { launch } = require('../support/browser.js');
const { startHarness } = require('../support/harness.js');
const { startService, sealedPartsContain } = require('../support/relays.js');
const { startXvfb } = require('../support/xvfb.js');
const { until, samplePicture, near, eventually, pairWithCode, settled, stagePoint } = require('../support/session.js');
const { startRecorder, readClipboard, offerClipboard } = require('../support/x-observer.js');
const { watchPictures, picturesSeen } = require('../support/picture_watch.js');

const W = 1280, H = 720;
const PHONE = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 2 };
// Over this, a message could not cross a link limited to the host's own
// message size.
const SMALL_LIMIT = 65536;
const REMOVED = 'This device was removed from Test Machine. Add it again from the computer\'s menu.';

const pagePoint = (page, x, y) => stagePoint(page, x, y, W, H);

const shown = (page, id) => page.evaluate((i) => !document.getElementById(i).hidden, id);

test('a phone at morvane-relay: signs in, is added with the code, controls the computer, is refused once removed; nothing in the clear', async () => {
  const xvfb = await startXvfb({ width: W, height: H, busy: true });
  const files = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-relay-files-'));
  fs.mkdirSync(path.join(files, 'Outbox'));
  const outgoing = crypto.randomBytes(1500000);
  fs.writeFileSync(path.join(files, 'Outbox', 'from the computer.bin'), outgoing);
  const uploaded = crypto.randomBytes(40001);
  const relay = await startService(files, { keepCarried: true });
  let harness = null, recorder = null, browser = null, owner = null;
  const sent = 'Grüße through the relay ✓';
  const copied = 'copied in X — ½ price';
  try {
    const signIn = relay.mark();
    harness = await startHarness({ args: ['--x11', '--files', files, '--relay', relay.origin], env: { DISPLAY: xvfb.display } });
    await harness.waitLine(/^relay-code-sent$/, 10000);
    harness.command(await relay.code(signIn, 'owner@example.com'));
    await harness.waitLine(/link: up/, 15000);
    recorder = await startRecorder(xvfb.display);
    assert.ok(recorder, 'morvane-x-recorder is built with the tests');
    browser = await launch(PHONE);
    const page = browser.page;
    await watchPictures(page);

    // Sign in with the account's e-mail and the code the relay sent.
    await page.goto(relay.origin + '/');
    await until(page, () => !document.getElementById('relay-signin').hidden);
    await page.fill('#relay-email', 'owner@example.com');
    const sentAt = relay.mark();
    await page.click('#relay-signin-button');
    await until(page, () => !document.getElementById('relay-code-field').hidden);
    await page.fill('#relay-code', '654321');
    await page.click('#relay-signin-button');
    await until(page, () => !document.getElementById('relay-signin-error').hidden);
    assert.equal(await page.textContent('#relay-signin-error'), 'That code is wrong. Check it, or send a new code (4 tries left).');
    await page.fill('#relay-code', await relay.code(sentAt, 'owner@example.com'));
    await page.click('#relay-signin-button');
    await until(page, () => document.querySelector('.relay-computer[data-online="true"]') !== null);
    assert.match(await page.textContent('.relay-computer'), /Test Machine.*Online.*not added yet/);

    // Before the owner opens the window, the computer is not waiting.
    await page.click('.relay-computer');
    await until(page, () => !document.getElementById('relay-enrol').hidden);
    await page.fill('#relay-enrol-name', 'Test Phone');
    await page.click('#relay-enrol-button');
    await until(page, () => !document.getElementById('relay-enrol-error').hidden, null, 15000);
    assert.match(await page.textContent('#relay-enrol-error'), /^Test Machine is not waiting for a new device/);

    // The owner opens it; both sides show the same six digits.
    let from = harness.lines.length;
    harness.command('relay-enrol');
    await harness.waitLine(/^ok$/, 5000, from);
    await page.click('#relay-enrol-button');
    const request = JSON.parse(await harness.waitLine(/"event":"relay-code"/, 15000, from));
    assert.equal(request.name, 'Test Phone');
    await until(page, () => !document.getElementById('relay-enrol-code').hidden);
    // Grouped as the computer's dialog shows it ("Code: 123 456").
    assert.equal(await page.textContent('#relay-enrol-code'), request.code.slice(0, 3) + ' ' + request.code.slice(3));
    from = harness.lines.length;
    harness.command('relay-approve');
    const enrolled = JSON.parse(await harness.waitLine(/"event":"relay-enrolled"/, 10000, from));
    assert.ok(enrolled.device, 'the host stored the device');
    await until(page, () => document.getElementById('conn-text').textContent === 'Connected', null, 20000);

    // The X screen reaches the canvas through the relay, as H.264 video.
    await until(page, () => document.getElementById('session-screen').dataset.picture === 'video' &&
      document.getElementById('banner-title').textContent !== 'Starting the picture', null, 20000);
    // Both halves from one drawn picture: sampled apart, a picture landing
    // in between could be caught half drawn.
    await eventually(async () => near(await samplePicture(page, 0.25, 0.5, W, H), [255, 0, 0], 60) &&
      near(await samplePicture(page, 0.75, 0.5, W, H), [0, 0, 255], 60), 'red on the left, blue on the right', 20000);
    // The busy screen's keyframe, several times 64 KB, decoded and was drawn.
    const seen = await picturesSeen(page);
    assert.ok(seen.key.max > SMALL_LIMIT && seen.decoded > 0 && seen.drawn > 0, JSON.stringify(seen));

    // Still pictures of it too: one over 64 KB decodes and is drawn.
    await page.locator('[data-toggle="more"]:visible').first().click();
    await page.click('input[name="picture-pref"][value="still"]');
    await until(page, () => document.getElementById('session-screen').dataset.picture === 'pictures', null, 15000);
    await page.keyboard.press('Escape');
    await eventually(async () => {
      const now = await picturesSeen(page);
      return now.jpeg.over64k > seen.jpeg.over64k && now.drawn > seen.drawn;
    }, 'a picture over 64 KB drawn', 15000);
    await eventually(async () => near(await samplePicture(page, 0.25, 0.5, W, H), [255, 0, 0], 48) &&
      near(await samplePicture(page, 0.75, 0.5, W, H), [0, 0, 255], 48), 'red on the left, blue on the right in a picture');
    // The link held all along: the host saw it come up once, and the page
    // kept its session.
    assert.deepEqual(harness.lines.filter((l) => /"line":"link: (up|down)/.test(l)).map((l) => JSON.parse(l).line.split(' after')[0]),
      ['link: up']);
    assert.equal(await page.textContent('#conn-text'), 'Connected');

    // A pointer move lands on the X display where the picture shows it, once
    // the notices above the stage have stopped moving it.
    await settled(page);
    const mark = recorder.mark();
    const p = await pagePoint(page, 300, 200);
    await page.mouse.move(p.x - 20, p.y - 20);
    await page.mouse.move(p.x, p.y, { steps: 4 });
    await recorder.waitFor(mark, (ev) => ev.some((e) => e.t === 'motion' && Math.abs(e.x - 300) <= 4 && Math.abs(e.y - 200) <= 4), 'the pointer at 300,200');

    // The clipboard both ways.
    await page.locator('[data-toggle="more"]:visible').first().click();
    await page.click('#more [data-open="clip"]');
    await page.fill('#clip-text', sent);
    await page.click('#clip-send');
    await until(page, () => document.getElementById('clip-status').textContent === 'On the computer’s clipboard.');
    await eventually(async () => (await readClipboard(xvfb.display)) === sent, 'the text on the X CLIPBOARD');
    owner = offerClipboard(xvfb.display, copied);
    await eventually(async () => (await readClipboard(xvfb.display)) === copied, 'another client owning the CLIPBOARD');
    await page.click('#clip-get');
    await until(page, () => document.getElementById('clip-status').textContent === 'This is the text on the computer’s clipboard.');
    assert.equal(await page.inputValue('#clip-text'), copied);
    await page.keyboard.press('Escape');

    // A file each way: one sent from the phone lands in the received
    // folder; an Outbox file larger than the computer's credit window
    // arrives whole, so the phone's acknowledgements kept it flowing.
    await page.locator('[data-toggle="more"]:visible').first().click();
    await page.click('#files-open');
    await page.setInputFiles('#files-input', { name: 'from the phone.bin', mimeType: 'application/octet-stream', buffer: uploaded });
    await until(page, () => document.getElementById('files-up-status').dataset.kind !== 'busy' &&
      !document.getElementById('files-up-status').hidden, undefined, 20000);
    const saved = /as \u201c(.+)\u201d\.$/.exec(await page.textContent('#files-up-status'));
    assert.ok(saved, await page.textContent('#files-up-status'));
    assert.ok(fs.readFileSync(path.join(files, saved[1])).equals(uploaded), 'the received file is what the page read');
    await page.click('#files-list-get');
    await until(page, () => document.querySelectorAll('#files-list button').length === 1, undefined, 10000);
    await page.click('#files-list button');
    await until(page, () => !document.getElementById('files-saved').hidden, undefined, 30000);
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#files-save')]);
    assert.ok(fs.readFileSync(await download.path()).equals(outgoing), 'the saved file is the Outbox file');
    await page.keyboard.press('Escape');

    // A browser on the computer itself takes over; the phone takes it back.
    const local = await launch();
    try {
      await local.page.goto(harness.url);
      await pairWithCode(local.page, harness);
      await until(page, () => !document.getElementById('overlay').hidden &&
        document.getElementById('overlay-title').textContent === 'Another device took over control of the computer.', null, 15000);
      await page.click('#reconnect');
      await until(page, () => document.getElementById('conn-text').textContent === 'Connected', null, 20000);
      await until(local.page, () => document.getElementById('overlay-title').textContent === 'Another device took over control of the computer.', null, 15000);
    } finally {
      await local.close();
    }

    // The owner removes the device: the session ends and says how to add it again.
    harness.command('revoke ' + enrolled.device);
    await until(page, () => !document.getElementById('overlay').hidden && /removed/.test(document.getElementById('overlay-text').textContent), null, 15000);
    assert.equal(await page.textContent('#overlay-text'), REMOVED);
    assert.equal(await page.textContent('#reconnect'), 'Add this device again');

    // A fresh page still holds the keys: its next session is refused, and
    // the page offers to add the device again.
    await page.reload();
    await until(page, () => document.querySelector('.relay-computer[data-online="true"]') !== null);
    assert.match(await page.textContent('.relay-computer'), /Online$/, 'the keys are still kept on this device');
    await page.click('.relay-computer');
    await until(page, () => !document.getElementById('relay-enrol').hidden && !document.getElementById('relay-enrol-error').hidden, null, 20000);
    assert.equal(await page.textContent('#relay-enrol-error'), REMOVED);
    assert.equal(await shown(page, 'session-screen'), false);
    assert.equal(await page.inputValue('#relay-enrol-name'), 'Test Phone', 'offered the name it had');

    // Forgetting the computer removes the keys from this device, once the
    // page's own dialog (not the browser's) is answered.
    await page.click('#relay-enrol-back');
    await until(page, () => document.querySelector('.relay-forget') !== null);
    let browserDialog = null;
    page.once('dialog', (d) => { browserDialog = d.message(); d.dismiss(); });
    await page.click('.relay-forget');
    await until(page, () => !document.getElementById('confirm').hidden);
    assert.equal(await page.textContent('#confirm-text'),
      'Forget Test Machine on this device? To connect again, add this device again from the computer\'s menu. ' +
      'The computer keeps it in its list until you remove it there.');
    await page.click('#confirm-ok');
    await until(page, () => document.querySelector('.relay-forget') === null);
    assert.equal(browserDialog, null);
    const rooms = await page.evaluate(() => new Promise((resolve) => {
      const r = indexedDB.open('morvane-relay');
      r.onsuccess = () => { const q = r.result.transaction('computers').objectStore('computers').count(); q.onsuccess = () => resolve(q.result); };
    }));
    assert.equal(rooms, 0);
    // Added again later, it is offered the name it had.
    await page.reload();
    await until(page, () => document.querySelector('.relay-computer[data-online="true"]') !== null);
    await page.click('.relay-computer');
    await until(page, () => !document.getElementById('relay-enrol').hidden);
    assert.equal(await page.inputValue('#relay-enrol-name'), 'Test Phone', 'offered the name it had');
    browser.assertClean(assert);

    // The relay carried only sealed records: no clipboard text, no message
    // type, no JPEG or H.264 header, nothing of the files.
    await relay.stop();
    const carried = relay.carriedRecords();
    const bytes = carried.reduce((n, r) => n + r.length, 0);
    assert.ok(bytes > 1500000, 'the session crossed the relay: ' + bytes + ' bytes');
    const plain = [sent, copied, '"t":"', 'clip-put', 'file-', 'JFIF\0', Buffer.from([0, 0, 0, 1, 0x67]),
      uploaded.subarray(20000, 20032), outgoing.subarray(700000, 700032)];
    for (const p of plain) assert.ok(!sealedPartsContain(carried, p), 'plaintext in the relay: ' + JSON.stringify(String(p)));
  } finally {
    if (owner) await owner.release();
    if (browser) await browser.close();
    if (recorder) await recorder.stop();
    if (harness) await harness.close();
    await relay.stop();
    await xvfb.stop();
    fs.rmSync(files, { recursive: true, force: true });
  }
});

// Signs the phone in at the relay and adds it to the test host's computer
// as `name`; resolves once its session is connected.
async function signInAndAdd(page, relay, harness, name) {
  await page.goto(relay.origin + '/');
  await until(page, () => !document.getElementById('relay-signin').hidden);
  await page.fill('#relay-email', 'owner@example.com');
  const sentAt = relay.mark();
  await page.click('#relay-signin-button');
  await until(page, () => !document.getElementById('relay-code-field').hidden);
  await page.fill('#relay-code', await relay.code(sentAt, 'owner@example.com'));
  await page.click('#relay-signin-button');
  await until(page, () => document.querySelector('.relay-computer[data-online="true"]') !== null);
  await page.click('.relay-computer');
  await until(page, () => !document.getElementById('relay-enrol').hidden);
  await page.fill('#relay-enrol-name', name);
  const from = harness.lines.length;
  harness.command('relay-enrol');
  await harness.waitLine(/^ok$/, 5000, from);
  await page.click('#relay-enrol-button');
  await harness.waitLine(/"event":"relay-code"/, 15000, from);
  harness.command('relay-approve');
  await harness.waitLine(/"event":"relay-enrolled"/, 10000, from);
  await until(page, () => document.getElementById('conn-text').textContent === 'Connected', null, 20000);
}

// The test host on the relay: signed in with the code the relay logged.
async function hostOn(relay, home) {
  const signIn = relay.mark();
  const harness = await startHarness({ args: ['--relay', relay.origin], home });
  await harness.waitLine(/^relay-code-sent$/, 10000);
  harness.command(await relay.code(signIn, 'owner@example.com'));
  await harness.waitLine(/link: up/, 15000);
  return harness;
}

test('a phone whose relay or computer goes away: it dials again within seconds of the relay\'s return, says why while its computer is silent, "Try now" stays put while it dials, and the list it is sent to shows the computer back', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-relay-away-'));
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-relay-host-'));
  const relay = await startService(dir);
  let harness = null, browser = null;
  try {
    harness = await hostOn(relay, home);
    browser = await launch(PHONE);
    const page = browser.page;
    await signInAndAdd(page, relay, harness, 'Test Phone');

    // The relay goes away: every wait the page announces is a few seconds
    // at most, and once it is back the session comes back by itself.
    await page.evaluate(() => {
      window.waits = [];
      window.said = [];
      new MutationObserver(() => {
        const t = document.getElementById('overlay-text').textContent;
        const title = document.getElementById('overlay-title').textContent;
        if (/^Trying again/.test(t)) window.waits.push(t);
        if (t && window.said.at(-1) !== title + ' / ' + t) window.said.push(title + ' / ' + t);
      }).observe(document.getElementById('overlay'), { childList: true, characterData: true, subtree: true });
    });
    await relay.stop();
    await until(page, () => window.waits.length >= 4, null, 20000);
    await relay.restart();
    const back = Date.now();
    await until(page, () => document.getElementById('conn-text').textContent === 'Connected', null, 60000);
    const waits = await page.evaluate(() => window.waits);
    for (const w of waits) assert.match(w, /^Trying again in [1-4] seconds?\.$/, JSON.stringify(waits));
    // While the relay was away it was dialled every second, and a relay
    // back ahead of the computer's link is dialled again within a second.
    const said = await page.evaluate(() => window.said);
    const quick = said.filter((w) => /^(The relay cannot be reached|Your computer is not connected to the relay)\. \/ Trying/.test(w));
    assert.ok(quick.length >= 3, JSON.stringify(said));
    for (const w of quick) assert.match(w, / \/ Trying again in 1 second\.$/, JSON.stringify(said));
    t.diagnostic('connected again ' + (Date.now() - back) + ' ms after the relay was back');

    // The computer stops answering with its link still up at the relay (its
    // process stopped): the page says so, and that the relay is reachable,
    // while it waits for the computer; once the computer goes on, it is back.
    await page.evaluate(() => { window.said = []; });
    process.kill(harness.pid, 'SIGSTOP');
    try {
      await until(page, () => document.getElementById('overlay-title').textContent === 'Reconnecting to your computer' &&
        document.getElementById('overlay-text').textContent ===
          'Your computer stopped answering. The relay is reachable; waiting for your computer to answer.', null, 30000);
    } finally {
      process.kill(harness.pid, 'SIGCONT');
    }
    await until(page, () => document.getElementById('conn-text').textContent === 'Connected', null, 30000);
    const silent = await page.evaluate(() => window.said);
    assert.match(silent[0], /^Your computer stopped answering\. \/ Trying again in 1 second\.$/, JSON.stringify(silent));

    // The computer goes away: the page waits for it with "Try now" and the
    // way back to the computers. A tap on "Try now" leaves it where it was,
    // disabled while it dials, and the way back stays where it was too.
    await harness.close();
    harness = null;
    await until(page, () => document.getElementById('overlay-title').textContent === 'Your computer is not connected to the relay.' &&
      !document.getElementById('reconnect').hidden && !document.getElementById('reconnect').disabled, null, 20000);
    const tapped = await page.evaluate(() => {
      const box = (id) => JSON.stringify(document.getElementById(id).getBoundingClientRect());
      const tryNow = document.getElementById('reconnect');
      const before = { tryNow: box('reconnect'), leave: box('relay-leave') };
      const b = tryNow.getBoundingClientRect();
      tryNow.click();
      return {
        before, after: { tryNow: box('reconnect'), leave: box('relay-leave') },
        under: document.elementFromPoint(b.left + b.width / 2, b.top + b.height / 2).id,
        disabled: tryNow.disabled, label: tryNow.textContent, shown: !tryNow.hidden,
      };
    });
    assert.deepEqual(tapped.after, tapped.before, 'nothing moved');
    assert.deepEqual([tapped.under, tapped.shown, tapped.disabled, tapped.label], ['reconnect', true, true, 'Try now']);

    // The list it goes back to shows the computer offline, and online once
    // it is back, without Refresh.
    await until(page, () => !document.getElementById('reconnect').disabled, null, 20000);
    await page.click('#relay-leave');
    await until(page, () => document.querySelector('.relay-computer[data-online="false"]') !== null);
    harness = await hostOn(relay, home);
    await until(page, () => document.querySelector('.relay-computer[data-online="true"]') !== null, null, 20000);
    // A ticket asked for while the relay was away is refused by the network.
    assert.deepEqual(browser.problems.filter((p) => !/ERR_CONNECTION_REFUSED \(http:[^ ]+\/ticket\)$/.test(p)), []);
  } finally {
    if (browser) await browser.close();
    if (harness) await harness.close();
    await relay.stop();
    fs.rmSync(dir, { recursive: true, force: true });
    fs.rmSync(home, { recursive: true, force: true });
  }
});

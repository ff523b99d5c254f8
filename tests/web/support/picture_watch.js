'use strict';
// Counts, inside the page, what reached its screen: each JPEG picture that
// decoded and its size, each H.264 chunk handed to the decoder (keyframes
// apart) and each frame the decoder gave back, and each new picture drawn on
// the session's canvas (and the size of the last). Installed before the page loads; read with
// picturesSeen. The counts are totals, so a long run keeps no list.

// Runs in the page, before its own script.
function install() {
  const tally = () => ({ count: 0, bytes: 0, max: 0, over64k: 0 });
  const add = (t, n) => { t.count += 1; t.bytes += n; t.max = Math.max(t.max, n); if (n > 65536) t.over64k += 1; };
  const seen = { jpeg: tally(), key: tally(), delta: tally(), decoded: 0, drawn: 0, lastSize: '' };
  Object.defineProperty(window, '__picturesSeen', { value: seen });

  const decodeImage = window.createImageBitmap;
  window.createImageBitmap = function (source, ...rest) {
    const made = decodeImage.call(this, source, ...rest);
    if (source instanceof Blob && source.type === 'image/jpeg') made.then(() => add(seen.jpeg, source.size), () => {});
    return made;
  };

  if (typeof window.VideoDecoder === 'function') {
    const Decoder = window.VideoDecoder;
    const feed = Decoder.prototype.decode;
    Decoder.prototype.decode = function (chunk) {
      add(chunk.type === 'key' ? seen.key : seen.delta, chunk.byteLength);
      return feed.call(this, chunk);
    };
    window.VideoDecoder = class extends Decoder {
      constructor(init) {
        super(Object.assign({}, init, { output: (frame) => { seen.decoded += 1; init.output(frame); } }));
      }
    };
  }

  const draw = CanvasRenderingContext2D.prototype.drawImage;
  let last = null;
  CanvasRenderingContext2D.prototype.drawImage = function (image, ...rest) {
    if (this.canvas.id === 'screen' && image !== last) {
      last = image;
      seen.drawn += 1;
      seen.lastSize = (image.displayWidth || image.width) + 'x' + (image.displayHeight || image.height);
    }
    return draw.call(this, image, ...rest);
  };
}

async function watchPictures(page) { await page.addInitScript(install); }

// { jpeg, key, delta: { count, bytes, max, over64k }, decoded, drawn, lastSize }
function picturesSeen(page) { return page.evaluate(() => JSON.parse(JSON.stringify(window.__picturesSeen))); }

module.exports = { watchPictures, picturesSeen };

'use strict';
// What the browser's network saw for each file of an origin (the account
// calls under /v1/ left out): the status the server sent (a revalidated file
// reaches the page as 200 from the cache, but 304 came over the network), the
// encoding, the bytes on the wire (headers included) and the bytes of the
// file itself. A file the cache gave without asking has status 0 and no bytes.
async function networkLog(page, origin) {
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Network.enable');
  const byId = new Map();
  const entry = (id) => { if (!byId.has(id)) byId.set(id, { path: '', status: 0, encoding: '', wire: 0, body: 0 }); return byId.get(id); };
  cdp.on('Network.responseReceived', ({ requestId, response }) => {
    if (!response.url.startsWith(origin + '/') || response.url.includes('/v1/')) return;
    const encoding = Object.entries(response.headers).find(([k]) => k.toLowerCase() === 'content-encoding');
    Object.assign(entry(requestId), { path: new URL(response.url).pathname, encoding: encoding ? encoding[1] : '' });
  });
  cdp.on('Network.responseReceivedExtraInfo', ({ requestId, statusCode }) => { entry(requestId).status = statusCode; });
  cdp.on('Network.dataReceived', ({ requestId, dataLength }) => { entry(requestId).body += dataLength; });
  cdp.on('Network.loadingFinished', ({ requestId, encodedDataLength }) => { entry(requestId).wire = encodedDataLength; });
  return {
    take() { const all = [...byId.values()].filter((r) => r.path); byId.clear(); return all; },
  };
}

module.exports = { networkLog };

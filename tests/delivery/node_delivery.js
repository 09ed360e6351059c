'use strict';
// The Node binding's delivery calls under Windows Node, against the test's server:
//   node node_delivery.js <koffi package> <QorLauncherKit.dll> <root> <feed URL> <key> <another key>
// Prints one JSON line of what it saw; the Python side asserts on it and on the root. The first
// download is cancelled past half of its bytes.
const assert = require('node:assert/strict');
const path = require('node:path');
const { open } = require('../../bindings/node');

const [koffiPackage, dll, root, feedUrl, publicKey, otherKey] = process.argv.slice(2);
const kit = open({ koffi: require(path.resolve(koffiPackage)), dllPath: path.resolve(dll) });

assert.throws(() => kit.checkForUpdate(root, feedUrl, otherKey), { code: 'BAD_SIGNATURE', status: 13 });
const update = kit.checkForUpdate(root, feedUrl, publicKey);
const cancelled = [];
assert.throws(() => kit.downloadUpdate(root, update, (done, total) => {
  cancelled.push([done, total]);
  return done < total / 2;
}), { code: 'CANCELLED', status: 16 });
const resumed = [];
const identity = kit.downloadUpdate(root, update, (done, total) => resumed.push([done, total]) > 0);
// Installed now: every file is copied, none fetched; an exception in the callback cancels and comes out.
assert.throws(() => kit.downloadUpdate(root, update, () => {
  throw new RangeError('from the callback');
}), { name: 'RangeError', message: 'from the callback' });
console.log(JSON.stringify({ update, cancelled, resumed, identity }));

'use strict';
// What the scenario does not reach of the Node binding, under Windows Node:
//   node binding_test.js <koffi package> <QorLauncherKit.dll> <a DLL of another interface>
const assert = require('node:assert/strict');
const path = require('node:path');

const [koffiPackage, dll, otherInterfaceDll] = process.argv.slice(2).map((file) => path.resolve(file));
const koffi = require(koffiPackage);
const { open } = require('../../../../bindings/node');
const kit = open({ koffi, dllPath: dll });

// Under Wine, without the binding's care, the DLL's first C++ exception reached the
// thread's top-level filter and a later one could end the process.
assert.throws(() => kit.launchFromArguments(['--launcher-root']),
  { name: 'Error', message: 'Malformed launcher arguments', code: 'INVALID_ARGUMENT', systemCode: 0 });
assert.throws(() => kit.signalReadiness(kit.launchFromArguments([])), { message: 'Not started by the starter' });

// Longer than the first buffer the binding offers: it asks again with the size needed.
const long = `${'x'.repeat(300)} J\u00fcrgen \u{1F600}`;
assert.deepEqual(kit.launchFromArguments([long, '']).userArguments, [long, '']);

assert.throws(() => open({ koffi, dllPath: otherInterfaceDll }), /implements interface version 1 of the launcher kit/);
console.log('binding ok');

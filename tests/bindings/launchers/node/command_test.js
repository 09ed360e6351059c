'use strict';
// The packaged binding on the build machine, where nothing of it may run but its command:
//   node command_test.js <installed @qor/launcher-kit> <scratch folder>
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const [binding, scratch] = process.argv.slice(2).map((folder) => path.resolve(folder));
const { build, bundle, fileFromTarball } = require(path.join(binding, 'build-launcher.js'));

// Anywhere but 64-bit Windows the binding refuses at once and names the command to use.
assert.throws(() => require(binding), { code: 'UNSUPPORTED_PLATFORM', message: /npx qor-node-launcher/ });

async function main() {
  fs.rmSync(scratch, { recursive: true, force: true });
  const entry = path.join(scratch, 'launcher.js');
  const elsewhere = path.join(scratch, 'elsewhere');
  fs.mkdirSync(elsewhere, { recursive: true });
  fs.writeFileSync(entry, "'use strict';\n");
  fs.writeFileSync(path.join(elsewhere, 'QorLauncher.exe'), 'not ours');

  // An --out that is a link, or a link at a name the command writes, is refused before anything
  // is fetched or written, and what the link points to stays as it was.
  const linkedOut = path.join(scratch, 'linked-out');
  fs.symlinkSync(elsewhere, linkedOut);
  await assert.rejects(build({ entry, out: linkedOut, kitDll: null, nodeVersion: null }), /is not a folder/);
  const out = path.join(scratch, 'out');
  fs.mkdirSync(out);
  fs.symlinkSync(path.join(elsewhere, 'QorLauncher.exe'), path.join(out, 'QorLauncher.exe'));
  await assert.rejects(build({ entry, out, kitDll: null, nodeVersion: null }), /is not a plain file/);
  assert.equal(fs.readFileSync(path.join(elsewhere, 'QorLauncher.exe'), 'utf8'), 'not ours');
  assert.deepEqual(fs.readdirSync(elsewhere), ['QorLauncher.exe']);


  // Installed from the package's tarball, not linked to a folder; a copy without its dependencies
  // says so before fetching anything, with the README's install line.
  assert.equal(fs.lstatSync(binding).isSymbolicLink(), false);
  const readme = fs.readFileSync(path.join(binding, 'README.md'), 'utf8');
  const [install] = readme.match(/^npm install <package>\/\S+\.tgz$/m);
  const lone = path.join(scratch, 'lone');
  fs.mkdirSync(lone);
  for (const name of ['build-launcher.js', 'package.json']) {
    fs.copyFileSync(path.join(binding, name), path.join(lone, name));
  }
  const loneBuild = require(path.join(lone, 'build-launcher.js')).build;
  await assert.rejects(loneBuild({ entry, out: path.join(scratch, 'new'),
    kitDll: path.join(binding, 'QorLauncherKit.dll'), nodeVersion: null }),
  (error) => error.message.startsWith('koffi is not installed') && error.message.includes(`"${install}"`));
  assert.equal(fs.existsSync(path.join(scratch, 'new')), false);
  // Names past the tar header's 100 bytes: split into the ustar prefix, or in GNU long-name and
  // pax records.
  const files = { [`package/${'x'.repeat(90)}/${'y'.repeat(30)}`]: 'split', [`package/${'z'.repeat(120)}`]: 'long',
    'package/short': 'short' };
  for (const [name, text] of Object.entries(files)) {
    fs.mkdirSync(path.dirname(path.join(scratch, 'tar', name)), { recursive: true });
    fs.writeFileSync(path.join(scratch, 'tar', name), text);
  }
  for (const format of ['gnu', 'pax']) {
    const tarball = path.join(scratch, `${format}.tgz`);
    execFileSync('tar', [`--format=${format}`, '-czf', tarball, '-C', path.join(scratch, 'tar'), 'package']);
    for (const [name, text] of Object.entries(files)) assert.equal(String(fileFromTarball(tarball, name)), text, format);
    assert.equal(fileFromTarball(tarball, 'package/none'), null, format);
  }

  // In the executable, require reaches built-in modules and the two it carries; anything else
  // must fail with the fix, not resolve on the build machine and break on the user's.
  const run = (script) => {
    fs.writeFileSync(entry, script);
    return new Function('require', 'process', bundle(entry))(require, { ...process, execPath: entry });
  };
  run("globalThis.joined = require('node:path').join('a', 'b');");
  assert.equal(globalThis.joined, path.join('a', 'b'));
  assert.throws(() => run("require('./helper');"), /Cannot require \.\/helper in QorLauncher\.exe: .* bundle the launcher/);
  assert.throws(() => run("require('@qor/launcher-kit');"), { code: 'UNSUPPORTED_PLATFORM' });

  fs.rmSync(scratch, { recursive: true, force: true });
  console.log('command ok');
}

main().catch((error) => {
  console.error(error.stack);
  process.exit(1);
});

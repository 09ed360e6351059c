'use strict';
// The scenario's launcher in Node: logs what it received, then updates or prunes.
const fs = require('node:fs');
const path = require('node:path');
const { createRequire } = require('node:module');
const { open, RESTART_EXIT_CODE } = require('@qor/launcher-kit');

const hex = (text) => Buffer.from(text, 'utf8').toString('hex');
let logFile = null;

function run() {
  // A single executable application requires only built-in modules: koffi's addon lies beside it.
  const koffi = createRequire(process.execPath)('./koffi.node');
  const kit = open({ koffi });
  const launch = kit.launchFromCommandLine();
  const identity = kit.ownVersionIdentity();
  const root = launch.launcherRoot;
  if (fs.existsSync(path.join(root, 'versions', identity, 'broken'))) {
    return 9; // a build that never gets ready
  }
  logFile = path.join(root, 'scenario.log');
  const log = fs.openSync(logFile, 'a');
  const args = launch.userArguments.map(hex).join(' ');
  fs.writeSync(log, `start ${identity} ${launch.afterRollback ? 1 : 0} ${args}\n`);
  kit.signalReadiness(launch);
  const [option, source] = launch.userArguments;
  if (option === '--update-from' && !launch.afterRollback) {
    const installed = kit.installVersion(root, source);
    if (installed !== identity) {
      kit.stageVersion(root, installed);
      fs.writeSync(log, `staged ${installed}\n`);
      return RESTART_EXIT_CODE;
    }
  }
  kit.pruneVersions(root);
  return 0;
}

try {
  process.exitCode = run();
} catch (error) {
  // Windows Node writes to no pipe under Wine: the log shows the failure to the scenario.
  if (logFile) fs.appendFileSync(logFile, `failed ${error.message}\n`);
  process.exitCode = 1;
}

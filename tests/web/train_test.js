// Training in the page, in headless chromium: `mnist-lab page --data DIR` serves real digits
// (3,000 for training, 1,000 for testing), the Train panel trains on them in its worker, and
// the network file it saves must be the native engine's, byte for byte.
//
// Environment (tests/CMakeLists.txt sets it): MNIST_MLP, MNIST_LAB, TRAIN_NATIVELY (the page's
// training run natively), DIGITS, CHROMIUM, OUT, as for page_test.js.
'use strict';

const {test, before, after} = require('node:test');
const assert = require('node:assert/strict');
const {execFileSync, spawn} = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const zlib = require('node:zlib');

const work = path.join(process.env.OUT, 'train-work');
const downloads = path.join(work, 'downloads');
const small = {hidden: '30', rate: '0.5', batch: '10', epochs: '2', seed: '7'};
const servers = [];
let browser, page;
const consoleErrors = [];

const run = (binary, args, env = {}) => execFileSync(binary, args, {cwd: work, encoding: 'utf8', env: {...process.env, ...env}});

// Serves the folder's MNIST files; resolves to the page's address.
async function serve(folder) {
  const server = spawn(process.env.MNIST_LAB, ['page', '--data', folder, '--port', '0'], {cwd: work, stdio: ['ignore', 'pipe', 'inherit']});
  servers.push(server);
  for await (const line of readline.createInterface({input: server.stdout})) {
    const url = (line.match(/^Open (http:\/\/127\.0\.0\.1:\d+\/)$/) || [])[1];
    if (url) return url;
  }
  throw new Error('mnist-lab page printed no address');
}

async function open(url, viewport = {width: 1280, height: 900}) {
  await page.setViewport(viewport);
  await page.goto(url);
  await page.evaluate(() => window.digitPage.ready);
}

async function startTraining(choices) {
  for (const [id, value] of Object.entries(choices)) {
    await page.$eval(`#train-${id}`, (input, v) => { input.value = v; }, value);
  }
  await page.click('#train-start');
}

const panel = () => page.evaluate(() => ({...window.trainPanel}));
const waitForState = (state) => page.waitForFunction((s) => window.trainPanel.state === s, {timeout: 300000}, state);

// Presses "Save network" and returns the downloaded file's bytes.
async function save() {
  fs.rmSync(downloads, {recursive: true, force: true});
  fs.mkdirSync(downloads);
  await page.click('#train-save');
  for (let tries = 0; tries < 600; ++tries) {
    const done = fs.readdirSync(downloads).filter((name) => name.endsWith('.net'));
    if (done.length) return fs.readFileSync(path.join(downloads, done[0]));
    await new Promise((wait) => setTimeout(wait, 50));
  }
  throw new Error('no download');
}

before(async () => {
  fs.rmSync(work, {recursive: true, force: true});
  fs.cpSync(process.env.DIGITS, work, {recursive: true});
  try {
    browser = await require('puppeteer-core').launch({executablePath: process.env.CHROMIUM, args: ['--no-sandbox']});
  } catch (error) {
    throw new Error(`the browser (${process.env.CHROMIUM}) could not start: ${error.message}`);
  }
  page = await browser.newPage();
  page.on('console', (message) => message.type() === 'error' && consoleErrors.push(message.text()));
  page.on('pageerror', (error) => consoleErrors.push(String(error)));
  const session = await page.target().createCDPSession();
  await session.send('Browser.setDownloadBehavior', {behavior: 'allow', downloadPath: downloads});
  process.on('exit', () => servers.forEach((server) => server.kill()));
});

after(async () => {
  if (browser) await browser.close();
  servers.forEach((server) => server.kill('SIGINT'));
  assert.deepEqual(consoleErrors, [], 'no errors in the browser console');
});

test('two epochs in the page write the native engine\'s network file, byte for byte', async (t) => {
  const env = {MNIST_MLP_EPOCHS: small.epochs, MNIST_MLP_SEED: small.seed, MNIST_MLP_HIDDEN_LAYERS: small.hidden,
               MNIST_MLP_LEARNING_RATE: small.rate, MNIST_MLP_BATCH_SIZE: small.batch};
  run(process.env.MNIST_MLP, ['--train', 'native.net'], env);
  const args = [small.seed, small.epochs, small.batch, small.rate, small.hidden];
  run(process.env.TRAIN_NATIVELY, ['best', ...args, 'session.net']);
  assert.ok(fs.readFileSync(path.join(work, 'session.net')).equals(fs.readFileSync(path.join(work, 'native.net'))),
            'the page\'s training, run natively, is mnist-mlp --train');
  run(process.env.TRAIN_NATIVELY, ['portable', ...args, 'portable.net']);

  await open(`${await serve(work)}?kernels=portable`);
  await startTraining({hidden: small.hidden, rate: small.rate, batch: small.batch, epochs: small.epochs, seed: small.seed});
  await waitForState('finished');
  const saved = await save();
  const expected = fs.readFileSync(path.join(work, 'portable.net'));
  assert.equal(saved.length, expected.length);
  assert.ok(saved.equals(expected), 'the saved network is the native portable engine\'s file');
  const {points, kernels} = await panel();
  assert.equal(kernels, 'portable');
  assert.ok(points[1].accuracy > points[0].accuracy + 1, `accuracy rises: ${points.map((p) => p.accuracy)}`);
  t.diagnostic(`test accuracy ${points.map((p) => p.accuracy.toFixed(1)).join(' -> ')} %`);
});

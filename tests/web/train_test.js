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
let browser, page, digitsUrl;
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

const sleep = (ms) => new Promise((wait) => setTimeout(wait, ms));

// A few strokes across the canvas with the mouse, as a learner scribbles; returns how long
// each answer took from its pointer event (page.js measures it).
async function scribble(strokes) {
  const box = await (await page.$('#drawing')).boundingBox();
  const seen = await page.evaluate(() => window.digitPage.latencies.length);
  for (let stroke = 0; stroke < strokes; ++stroke) {
    await page.click('#clear');
    await page.mouse.move(box.x + box.width * 0.5, box.y + box.height * 0.15);
    await page.mouse.down();
    for (let step = 1; step <= 12; ++step) {
      await page.mouse.move(box.x + box.width * (0.5 - 0.01 * step * (stroke % 2)), box.y + box.height * (0.15 + 0.06 * step));
    }
    await page.mouse.up();
  }
  await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));
  return page.evaluate((from) => window.digitPage.latencies.slice(from), seen);
}

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
    browser = await require('puppeteer-core').launch({executablePath: process.env.CHROMIUM, args: ['--no-sandbox'], protocolTimeout: 600000});
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
  const args = [small.seed, small.epochs, small.batch, small.rate, small.hidden];
  for (const distortion of ['none', 'elastic']) {
    run(process.env.MNIST_MLP, ['--train', `native-${distortion}.net`], {...env, MNIST_MLP_DISTORTION: distortion});
    run(process.env.TRAIN_NATIVELY, ['best', ...args, distortion, `session-${distortion}.net`]);
    assert.ok(fs.readFileSync(path.join(work, `session-${distortion}.net`)).equals(fs.readFileSync(path.join(work, `native-${distortion}.net`))),
              `the page's training, run natively, is mnist-mlp --train (distortion ${distortion})`);
    run(process.env.TRAIN_NATIVELY, ['portable', ...args, distortion, `portable-${distortion}.net`]);
  }

  // The page decompresses .gz files itself.
  const data = path.join(work, 'data');
  fs.mkdirSync(data);
  for (const name of fs.readdirSync(work).filter((file) => file.endsWith('-ubyte'))) fs.copyFileSync(path.join(work, name), path.join(data, name));
  fs.writeFileSync(path.join(data, 'train-images.idx3-ubyte.gz'), zlib.gzipSync(fs.readFileSync(path.join(data, 'train-images.idx3-ubyte'))));
  fs.rmSync(path.join(data, 'train-images.idx3-ubyte'));
  digitsUrl = await serve(data);
  // On one thread, as a one-core device runs it, and on two with distortions drawn on both:
  // the file does not depend on the thread count.
  for (const [distortion, threads] of [['none', 1], ['elastic', 2]]) {
    await open(`${digitsUrl}?kernels=portable&threads=${threads}`);
    await page.select('#train-distortion', distortion);
    await startTraining({hidden: small.hidden, rate: small.rate, batch: small.batch, epochs: small.epochs, seed: small.seed});
    await waitForState('finished');
    const saved = await save();
    const expected = fs.readFileSync(path.join(work, `portable-${distortion}.net`));
    assert.equal(saved.length, expected.length);
    assert.ok(saved.equals(expected), `the saved network is the native portable engine's file (distortion ${distortion})`);
    const {points, kernels} = await panel();
    assert.equal(kernels, 'portable');
    assert.ok(points[1].accuracy > points[0].accuracy + 1, `accuracy rises: ${points.map((p) => p.accuracy)}`);
    t.diagnostic(`distortion ${distortion}: test accuracy ${points.map((p) => p.accuracy.toFixed(1)).join(' -> ')} %`);
  }
});

test('a pause changes nothing, drawing is answered while the page trains, and Stop leaves a usable network', async (t) => {
  // Three epochs: a slice never crosses an epoch's end, so a pause that lands in the slice
  // after the first epoch still finds one to hold back.
  const choices = {hidden: '100', epochs: '3', seed: '3'};
  await open(digitsUrl);
  await startTraining(choices);
  await waitForState('finished');
  const straight = await save();

  await open(digitsUrl);
  await startTraining(choices);
  // Samples trained so far: on an idle machine a small epoch ends within one slice, so the
  // count within the epoch alone may never be seen above 0.
  const trained = () => {
    const p = window.trainPanel.progress || {epochsDone: 0, samplesDone: 0, samplesPerEpoch: 0};
    return p.epochsDone * p.samplesPerEpoch + p.samplesDone;
  };
  await page.waitForFunction(trained, {timeout: 300000});
  await page.click('#train-pause');
  // The slice under way ends first, seconds later on a busy machine; then the worker says
  // where it stopped.
  await page.waitForFunction(() => window.trainPanel.progress.paused === true, {timeout: 300000});
  const pausedAt = await page.evaluate(trained);
  assert.ok(pausedAt < 3 * (await panel()).progress.samplesPerEpoch, 'paused before the end');
  await sleep(1000);
  assert.equal(await page.evaluate(trained), pausedAt, 'a paused page does not train');
  await page.click('#train-pause');
  await waitForState('finished');
  assert.ok((await save()).equals(straight), 'paused and resumed, the same network file');

  // The default network, drawn on while it trains, then stopped in its second epoch.
  await open(digitsUrl);
  await startTraining({epochs: '20'});
  await page.waitForFunction(() => window.trainPanel.points.length >= 1, {timeout: 300000});
  const latencies = await scribble(8);
  assert.equal((await panel()).state, 'training', 'the drawing was made while the page trained');
  assert.ok(latencies.length >= 8, 'every stroke is answered');
  assert.match(await page.$eval('#model', (view) => view.textContent), /^the network training here \((epoch \d+|now)\): one network$/);
  await page.click('#train-stop');
  await waitForState('stopped');
  fs.writeFileSync(path.join(work, 'stopped.net'), await save());
  run(process.env.MNIST_MLP, ['--combine', 'stopped.ens', 'stopped.net']);
  const verified = run(process.env.MNIST_MLP, ['--verify', 'stopped.ens']);
  const accuracy = Number((verified.match(/accuracy: ([\d.]+)\./) || [])[1]);
  assert.ok(accuracy > 15, `the stopped network classifies better than chance: ${verified}`);
  latencies.sort((a, b) => a - b);
  const at = (share) => latencies[Math.min(latencies.length - 1, Math.floor(share * latencies.length))].toFixed(1);
  t.diagnostic(`while the default network trained: pointer event to answer over ${latencies.length} answers: median ` +
               `${at(0.5)} ms, 95th percentile ${at(0.95)} ms, slowest ${at(1)} ms; ${(await panel()).progress.imagesPerSecond.toFixed(0)} images/s`);
  await page.screenshot({path: path.join(process.env.OUT, 'train-laptop.png')});
});

test('a missing or damaged data file shows one message', async () => {
  const cases = {
    missing: [(folder) => fs.rmSync(path.join(folder, 't10k-labels.idx1-ubyte')),
              /^Training needs the four MNIST files: t10k-labels\.idx1-ubyte is missing from the data folder/],
    damaged: [(folder) => fs.truncateSync(path.join(folder, 'train-labels.idx1-ubyte'), 100),
              /^Training needs the four MNIST files: train-images\.idx3-ubyte and train-labels\.idx1-ubyte: [A-Z][^.]*\.$/],
  };
  for (const [name, [spoil, message]] of Object.entries(cases)) {
    const folder = path.join(work, name);
    fs.mkdirSync(folder);
    for (const file of fs.readdirSync(work).filter((file) => file.endsWith('-ubyte'))) fs.copyFileSync(path.join(work, file), path.join(folder, file));
    spoil(folder);
    await open(await serve(folder));
    await startTraining({hidden: '10', epochs: '1'});
    await waitForState('failed');
    assert.match(await page.$eval('#message', (view) => view.textContent), message);
    assert.equal(await page.$$eval('#message:not([hidden])', (views) => views.length), 1);
  }
});

test('screenshot of the page training on a phone', async () => {
  await open(digitsUrl, {width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true});
  await startTraining({epochs: '20'});
  await page.waitForFunction(() => window.trainPanel.points.length >= 2, {timeout: 300000});
  await page.screenshot({path: path.join(process.env.OUT, 'train-phone.png'), fullPage: true});
  await page.click('#train-stop');
});

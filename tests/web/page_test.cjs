// The drawing page in a real browser: Debian's chromium, headless, driven through the DevTools
// protocol by puppeteer-core. A 3-member ensemble of the default size is trained on real
// digits, served by `mnist-lab page`, and real MNIST test digits are drawn on the canvas as
// pointer strokes; the page must answer as `mnist-lab classify` does on the same drawing.
//
// Environment (tests/CMakeLists.txt sets it): MNIST_MLP, MNIST_LAB (the binaries), DIGITS (a
// folder with the four MNIST files), CHROMIUM (the browser), OUT (screenshots, work files).
'use strict';

const {test, before, after} = require('node:test');
const assert = require('node:assert/strict');
const {execFileSync, spawn} = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');

const out = process.env.OUT;
const work = path.join(out, 'work');
const kSide = 28;
const kScale = 10;  // a digit pixel is 10 x 10 canvas pixels: the 28 x 28 digit fills the canvas

let puppeteer = null;
let server = null;
let pageUrl = null;
let browser = null;
let page = null;
const consoleErrors = [];

function run(binary, args) {
  return execFileSync(binary, args, {cwd: work, encoding: 'utf8', env: {...process.env, MNIST_MLP_EPOCHS: '2'}});
}

function trainEnsemble() {
  fs.rmSync(work, {recursive: true, force: true});
  fs.mkdirSync(work, {recursive: true});
  for (const name of fs.readdirSync(process.env.DIGITS)) fs.copyFileSync(path.join(process.env.DIGITS, name), path.join(work, name));
  for (const seed of [1, 2, 3]) {
    execFileSync(process.env.MNIST_MLP, ['--train', `member-${seed}.net`],
                 {cwd: work, env: {...process.env, MNIST_MLP_EPOCHS: '2', MNIST_MLP_SEED: String(seed)}});
  }
  run(process.env.MNIST_MLP, ['--combine', 'ensemble.ens', 'member-1.net', 'member-2.net', 'member-3.net']);
}

// The first test digit of each of the labels asked for, as 784 grey levels 0..255 (ink high).
function testDigits(labels) {
  const images = fs.readFileSync(path.join(work, 't10k-images.idx3-ubyte'));
  const labelBytes = fs.readFileSync(path.join(work, 't10k-labels.idx1-ubyte'));
  return labels.map((label) => {
    const index = labelBytes.subarray(8).indexOf(label);
    return {label, index, pixels: images.subarray(16 + index * kSide * kSide, 16 + (index + 1) * kSide * kSide)};
  });
}

// The digit's ink traced as strokes: one stroke along each run of inked pixels of each row.
function strokesOf(pixels) {
  const strokes = [];
  for (let y = 0; y < kSide; ++y) {
    for (let x = 0; x < kSide; ++x) {
      if (pixels[y * kSide + x] < 128) continue;
      const start = x;
      while (x + 1 < kSide && pixels[y * kSide + x + 1] >= 128) ++x;
      strokes.push({y: (y + 0.5) * kScale, from: (start + 0.5) * kScale, to: (x + 0.5) * kScale});
    }
  }
  return strokes;
}

async function canvasBox() {
  const box = await (await page.$('#drawing')).boundingBox();
  return {left: box.x, top: box.y, scale: box.width / (kSide * kScale)};
}

// Draws the strokes with the mouse (or a finger), two digit pixels per pointer move.
async function draw(strokes, input = page.mouse) {
  const box = await canvasBox();
  const at = (x, y) => ({x: box.left + x * box.scale, y: box.top + y * box.scale});
  for (const stroke of strokes) {
    const points = [];
    for (let x = stroke.from; x < stroke.to; x += 20) points.push(at(x, stroke.y));
    points.push(at(stroke.to, stroke.y));
    if (input === page.touchscreen) {
      await input.touchStart(points[0].x, points[0].y);
      for (const point of points.slice(1)) await input.touchMove(point.x, point.y);
      await input.touchEnd();
    } else {
      await input.move(points[0].x, points[0].y);
      await input.down();
      for (const point of points.slice(1)) await input.move(point.x, point.y);
      await input.up();
    }
  }
  // The classification of the last stroke runs in the next animation frame.
  await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));
}

async function clear() {
  await page.click('#clear');
}

async function savedDrawing(fileName) {
  const url = await page.$eval('#drawing', (canvas) => canvas.toDataURL('image/png'));
  const file = path.join(work, fileName);
  fs.writeFileSync(file, Buffer.from(url.split(',')[1], 'base64'));
  return file;
}

async function startServer() {
  server = spawn(process.env.MNIST_LAB, ['page', 'ensemble.ens', '--port', '0'], {cwd: work});
  server.stderr.on('data', (data) => process.stderr.write(data));
  const lines = readline.createInterface({input: server.stdout});
  for await (const line of lines) {
    const match = line.match(/^Open (http:\/\/127\.0\.0\.1:\d+\/\S*)$/);
    if (match) return match[1];
  }
  throw new Error('mnist-lab page printed no URL');
}

before(async () => {
  try {
    puppeteer = require('puppeteer-core');
  } catch (error) {
    throw new Error(`puppeteer-core is not installed (scripts/test installs it in build/web-test): ${error.message}`);
  }
  trainEnsemble();
  pageUrl = await startServer();
  try {
    browser = await puppeteer.launch({executablePath: process.env.CHROMIUM, headless: true, args: ['--no-sandbox']});
  } catch (error) {
    throw new Error(`the browser (${process.env.CHROMIUM}) could not start: ${error.message}`);
  }
  page = await browser.newPage();
  page.on('console', (message) => {
    if (message.type() === 'error') consoleErrors.push(message.text());
  });
  page.on('pageerror', (error) => consoleErrors.push(String(error)));
  await page.setViewport({width: 1280, height: 800});
  await page.goto(pageUrl);
  await page.evaluate(() => window.digitPage.ready);
  assert.equal(await page.$eval('#model', (view) => view.textContent), 'ensemble.ens: an ensemble of 3 networks');
});

after(async () => {
  if (browser) await browser.close();
  if (server) {
    const stopped = new Promise((done) => server.on('exit', (code) => done(code)));
    server.kill('SIGINT');
    assert.equal(await stopped, 0, 'mnist-lab page ends normally on Ctrl-C');
  }
  assert.deepEqual(consoleErrors, [], 'no errors in the browser console');
});

test('drawn digits get the answers and scores of mnist-lab classify on the saved drawing', async (t) => {
  const digits = testDigits([0, 1, 2, 3, 4, 5, 6, 7, 8, 9]);
  const results = [];
  const files = [];
  const latencies = [];
  for (const digit of digits) {
    await clear();
    const before = await page.evaluate(() => window.digitPage.latencies.length);
    await draw(strokesOf(digit.pixels));
    latencies.push(...await page.evaluate((from) => window.digitPage.latencies.slice(from), before));
    results.push(await page.evaluate(() => window.digitPage.result));
    files.push(await savedDrawing(`drawn-${digit.label}.png`));
  }
  const lab = run(process.env.MNIST_LAB, ['classify', '--json', '--show', 'ensemble.ens', ...files])
                  .trim().split('\n').map((line) => JSON.parse(line));
  let correct = 0;
  digits.forEach((digit, i) => {
    assert.ok(results[i], `the page answers digit ${digit.label}`);
    assert.equal(results[i].answer, lab[i].answer, `answer for the drawn ${digit.label}`);
    results[i].scores.forEach((score, d) => assert.ok(Math.abs(score - lab[i].scores[d]) <= 1e-9,
                                                      `digit ${digit.label}, score ${d}: ${score} vs ${lab[i].scores[d]}`));
    results[i].field.forEach((value, p) => assert.ok(Math.abs(value - lab[i].pixels[p]) <= 0.0005 + 1e-9,
                                                      `digit ${digit.label}, field pixel ${p}`));
    assert.deepEqual(results[i].memberAnswers, lab[i].member_answers);
    if (results[i].answer === digit.label) ++correct;
  });
  latencies.sort((a, b) => a - b);
  const at = (share) => latencies[Math.min(latencies.length - 1, Math.floor(share * latencies.length))].toFixed(1);
  t.diagnostic(`${correct} of ${digits.length} drawn digits read correctly; from a pointer event to the answer ` +
               `on the page over ${latencies.length} answers: median ${at(0.5)} ms, 95th percentile ${at(0.95)} ms, ` +
               `slowest ${at(1)} ms`);
});

// A network file of 2 inputs and 10 outputs, as the network file format lays it out.
function twoInputNetwork() {
  const sizes = [2, 10];
  const bytes = Buffer.alloc(34 + 4 * sizes.length + 8 * (2 * 10 + 10));
  bytes.writeUInt16LE(0x4242, 0);
  bytes.writeDoubleLE(0.5, 2);
  bytes.writeDoubleLE(1.0, 10);
  bytes.writeUInt32LE(10, 18);
  bytes.writeUInt32LE(1, 22);
  bytes.writeBigUInt64LE(BigInt(sizes.length), 26);
  sizes.forEach((size, i) => bytes.writeUInt32LE(size, 34 + 4 * i));
  return bytes;
}

test('a bad model file shows one message and the page keeps its model', async () => {
  await clear();
  await draw(strokesOf(testDigits([7])[0].pixels));
  const answerBefore = await page.evaluate(() => window.digitPage.result);
  const ensemble = fs.readFileSync(path.join(work, 'ensemble.ens'));
  const bad = {
    't10k-labels.idx1-ubyte': fs.readFileSync(path.join(work, 't10k-labels.idx1-ubyte')),
    'cut-short.ens': ensemble.subarray(0, Math.floor(ensemble.length / 2)),
    'two-inputs.net': twoInputNetwork(),
  };
  const input = await page.$('#model-file');
  for (const [name, bytes] of Object.entries(bad)) {
    const file = path.join(work, name);
    fs.writeFileSync(file, bytes);
    await page.evaluate(() => { document.getElementById('message').hidden = true; });
    await input.uploadFile(file);
    await page.waitForSelector('#message:not([hidden])');
    const message = await page.$eval('#message', (view) => view.textContent);
    assert.match(message, new RegExp(`^${name.replace(/\./g, '\\.')} cannot be used: .+\\. Still using ensemble\\.ens\\.$`));
    assert.equal(await page.$eval('#model', (view) => view.textContent), 'ensemble.ens: an ensemble of 3 networks');
    await draw([]);
    assert.deepEqual(await page.evaluate(() => window.digitPage.result), answerBefore);
  }
  // A good file dropped on the page replaces the model and clears the message.
  const member = fs.readFileSync(path.join(work, 'member-1.net')).toString('base64');
  await page.evaluate((base64) => {
    const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    const transfer = new DataTransfer();
    transfer.items.add(new File([bytes], 'member-1.net'));
    document.body.dispatchEvent(new DragEvent('drop', {dataTransfer: transfer, bubbles: true, cancelable: true}));
  }, member);
  await page.waitForFunction(() => document.getElementById('model').textContent === 'member-1.net: one network');
  assert.equal(await page.$eval('#message', (view) => view.hidden), true);
  assert.equal(await page.$eval('#members', (view) => view.hidden), true);
  assert.deepEqual(consoleErrors, [], 'no errors in the browser console');
});

test('screenshots of the page on a laptop and on a phone', async () => {
  await page.goto(pageUrl);
  await page.evaluate(() => window.digitPage.ready);
  await draw(strokesOf(testDigits([3])[0].pixels));
  await page.screenshot({path: path.join(out, 'page-laptop.png')});

  await page.setViewport({width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true});
  await page.goto(pageUrl);
  await page.evaluate(() => window.digitPage.ready);
  await draw(strokesOf(testDigits([5])[0].pixels), page.touchscreen);
  assert.notEqual(await page.evaluate(() => window.digitPage.result), null, 'a finger draws too');
  await page.screenshot({path: path.join(out, 'page-phone.png'), fullPage: true});
});

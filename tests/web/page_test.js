// The drawing page in a real browser: Debian's chromium, headless, driven through the DevTools
// protocol by puppeteer-core. A 3-member ensemble of the default size is trained on real
// digits and served by `mnist-lab page`; real MNIST test digits are drawn on the canvas as
// pointer strokes, and the page must answer as `mnist-lab classify` does on the same drawing.
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

const work = path.join(process.env.OUT, 'work');
const kSide = 28;
const kScale = 10;  // canvas pixels per digit pixel: the 28 x 28 digit fills the 280 x 280 canvas
let server, pageUrl, browser, page;
const consoleErrors = [];

function run(binary, args, seed = '1') {
  const env = {...process.env, MNIST_MLP_EPOCHS: '2', MNIST_MLP_SEED: seed};
  return execFileSync(binary, args, {cwd: work, encoding: 'utf8', env});
}

// The first test digit of each label, as 784 grey levels (ink high).
function testDigits(labels) {
  const images = fs.readFileSync(path.join(work, 't10k-images.idx3-ubyte'));
  const index = (label) => fs.readFileSync(path.join(work, 't10k-labels.idx1-ubyte')).indexOf(label, 8) - 8;
  return labels.map((label) => ({label, pixels: images.subarray(16 + index(label) * 784, 16 + (index(label) + 1) * 784)}));
}

// The digit's ink traced as strokes, one along each run of inked pixels in a row.
function strokesOf(pixels) {
  const strokes = [];
  for (let y = 0; y < kSide; ++y) {
    for (let x = 0; x < kSide; ++x) {
      if (pixels[y * kSide + x] < 128) continue;
      const from = x;
      while (x + 1 < kSide && pixels[y * kSide + x + 1] >= 128) ++x;
      strokes.push({y: (y + 0.5) * kScale, from: (from + 0.5) * kScale, to: (x + 0.5) * kScale});
    }
  }
  return strokes;
}

// Draws the strokes with the mouse or a finger, two digit pixels per pointer move, and waits
// for the frame in which the last one is classified.
async function draw(strokes, finger = false) {
  const box = await (await page.$('#drawing')).boundingBox();
  const scale = box.width / (kSide * kScale);
  for (const {y, from, to} of strokes) {
    const points = [];
    for (let x = from; x < to; x += 2 * kScale) points.push([box.x + x * scale, box.y + y * scale]);
    points.push([box.x + to * scale, box.y + y * scale]);
    if (finger) {
      await page.touchscreen.touchStart(...points[0]);
      for (const point of points.slice(1)) await page.touchscreen.touchMove(...point);
      await page.touchscreen.touchEnd();
    } else {
      await page.mouse.move(...points[0]);
      await page.mouse.down();
      for (const point of points.slice(1)) await page.mouse.move(...point);
      await page.mouse.up();
    }
  }
  await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));
}

const result = () => page.evaluate(() => window.digitPage.result);
const text = (selector) => page.$eval(selector, (view) => (view.hidden ? null : view.textContent));

async function open(viewport) {
  await page.setViewport(viewport);
  await page.goto(pageUrl);
  await page.evaluate(() => window.digitPage.ready);
  assert.equal(await text('#model'), 'ensemble.ens: an ensemble of 3 networks');
}

before(async () => {
  fs.rmSync(work, {recursive: true, force: true});
  fs.cpSync(process.env.DIGITS, work, {recursive: true});
  for (const seed of ['1', '2', '3']) run(process.env.MNIST_MLP, ['--train', `member-${seed}.net`], seed);
  run(process.env.MNIST_MLP, ['--combine', 'ensemble.ens', 'member-1.net', 'member-2.net', 'member-3.net']);
  const ensemble = fs.readFileSync(path.join(work, 'ensemble.ens'));
  const twoInputs = Buffer.alloc(34 + 8 + 8 * 30);  // a network file of layers 2 and 10
  [[0x4242, 'UInt16LE', 0], [0.5, 'DoubleLE', 2], [1, 'DoubleLE', 10], [10, 'UInt32LE', 18], [1, 'UInt32LE', 22],
   [2n, 'BigUInt64LE', 26], [2, 'UInt32LE', 34], [10, 'UInt32LE', 38]].forEach(([v, type, at]) => twoInputs[`write${type}`](v, at));
  fs.writeFileSync(path.join(work, 'two-inputs.net'), twoInputs);
  fs.writeFileSync(path.join(work, 'cut-short.ens'), ensemble.subarray(0, ensemble.length / 2));
  fs.copyFileSync(path.join(work, 't10k-labels.idx1-ubyte'), path.join(work, 'data.idx'));
  assert.throws(() => run(process.env.MNIST_LAB, ['page', 'two-inputs.net']), /takes 2 inputs and gives 10 outputs, but/);
  server = spawn(process.env.MNIST_LAB, ['page', 'ensemble.ens', '--port', '0'], {cwd: work, stdio: ['ignore', 'pipe', 'inherit']});
  process.on('exit', () => server.kill());  // a server left running would keep ctest waiting
  for await (const line of readline.createInterface({input: server.stdout})) {
    if ((pageUrl = (line.match(/^Open (http:\/\/127\.0\.0\.1:\d+\/\S*)$/) || [])[1])) break;
  }
  assert.ok(pageUrl, 'mnist-lab page prints the URL');
  try {
    browser = await require('puppeteer-core').launch({executablePath: process.env.CHROMIUM, args: ['--no-sandbox']});
  } catch (error) {  // scripts/test installs both chromium and puppeteer-core
    throw new Error(`the browser (${process.env.CHROMIUM}) could not start: ${error.message}`);
  }
  page = await browser.newPage();
  page.on('console', (message) => message.type() === 'error' && consoleErrors.push(message.text()));
  page.on('pageerror', (error) => consoleErrors.push(String(error)));
  await open({width: 1280, height: 800});
});

after(async () => {
  if (browser) await browser.close();
  if (server) {
    const stopped = new Promise((done) => server.on('exit', done));
    server.kill('SIGINT');
    assert.equal(await stopped, 0, 'mnist-lab page stops normally on Ctrl-C');
  }
  assert.deepEqual(consoleErrors, [], 'no errors in the browser console');
});

test('drawn digits get the answers and scores of mnist-lab classify on the saved drawing', async (t) => {
  const digits = testDigits([0, 1, 2, 3, 4, 5, 6, 7, 8, 9]);
  const answers = [], files = [], latencies = [];
  for (const digit of digits) {
    await page.click('#clear');
    const seen = await page.evaluate(() => window.digitPage.latencies.length);
    await draw(strokesOf(digit.pixels));
    latencies.push(...await page.evaluate((from) => window.digitPage.latencies.slice(from), seen));
    answers.push(await result());
    const png = await page.$eval('#drawing', (canvas) => canvas.toDataURL('image/png'));
    files.push(path.join(work, `drawn-${digit.label}.png`));
    fs.writeFileSync(files.at(-1), Buffer.from(png.split(',')[1], 'base64'));
  }
  const lab = run(process.env.MNIST_LAB, ['classify', '--json', '--show', 'ensemble.ens', ...files])
                  .trim().split('\n').map((line) => JSON.parse(line));
  let largest = 0;  // score difference
  digits.forEach(({label}, i) => {
    assert.equal(answers[i].answer, lab[i].answer, `answer for the drawn ${label}`);
    answers[i].scores.forEach((score, d) => (largest = Math.max(largest, Math.abs(score - lab[i].scores[d]))));
    assert.ok(largest <= 1e-9, `${label}: scores differ by ${largest}`);
    answers[i].field.forEach((value, p) => assert.ok(Math.abs(value - lab[i].pixels[p]) <= 0.0005 + 1e-9, `${label}: pixel ${p}`));
    assert.deepEqual(answers[i].memberAnswers, lab[i].member_answers);
  });
  latencies.sort((a, b) => a - b);
  const at = (share) => latencies[Math.min(latencies.length - 1, Math.floor(share * latencies.length))].toFixed(1);
  t.diagnostic(`${digits.filter(({label}, i) => answers[i].answer === label).length} of 10 drawn digits read ` +
               `correctly, scores at most ${largest.toExponential(1)} from classify's; pointer event to answer on the page over ${latencies.length} answers: median ` +
               `${at(0.5)} ms, 95th percentile ${at(0.95)} ms, slowest ${at(1)} ms`);
});

test('a bad model file shows one message and the page keeps its model', async () => {
  await draw(strokesOf(testDigits([7])[0].pixels));
  const kept = await result();
  for (const name of ['data.idx', 'cut-short.ens', 'two-inputs.net']) {
    await page.$eval('#message', (view) => { view.hidden = true; });
    await (await page.$('#model-file')).uploadFile(path.join(work, name));
    await page.waitForSelector('#message:not([hidden])');
    assert.match(await text('#message'), new RegExp(`^${name.replace('.', '\\.')} cannot be used\\. [A-Z][^.]+\\. Still using ensemble\\.ens\\.$`));
    assert.equal(await text('#model'), 'ensemble.ens: an ensemble of 3 networks');
    await draw([]);
    assert.deepEqual(await result(), kept);
  }
  assert.deepEqual(consoleErrors, [], 'no errors in the browser console');
  // A good file dropped on the page replaces the model and the message.
  await page.evaluate((base64) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], 'member-1.net'));
    document.body.dispatchEvent(new DragEvent('drop', {dataTransfer: transfer, bubbles: true}));
  }, fs.readFileSync(path.join(work, 'member-1.net')).toString('base64'));
  await page.waitForFunction(() => document.getElementById('model').textContent === 'member-1.net: one network');
  assert.equal(await text('#message'), null);
  assert.equal(await text('#members'), null, 'one network has no members to show');
});

test('screenshots of the page on a laptop and on a phone, drawn with a finger there', async () => {
  await open({width: 1280, height: 800});
  await draw(strokesOf(testDigits([3])[0].pixels));
  await page.screenshot({path: path.join(process.env.OUT, 'page-laptop.png')});
  await open({width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true});
  await draw(strokesOf(testDigits([5])[0].pixels), true);
  assert.notEqual(await result(), null, 'a finger draws too');
  await page.screenshot({path: path.join(process.env.OUT, 'page-phone.png'), fullPage: true});
});

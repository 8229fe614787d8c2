// Times training in the page (web/train.js) in headless chromium: the seconds from pressing
// Start to each curve point, the seconds of each epoch and the images per second, for the
// table in docs/page.md. Screenshots of the page training when SCREENSHOTS names a folder.
//
//   NODE_PATH=build/web-test/node_modules node bench/page_training.js DATA_DIR THREADS EPOCHS [LIMIT] [HIDDEN]
//
// DATA_DIR holds the four MNIST files (or .gz); LIMIT trains on the first LIMIT digits only
// (0: all, the default); HIDDEN is the hidden layers (default 500,300,200,100). The screenshots
// are taken after curve point SHOT_AT (default 2).
'use strict';

const {spawn} = require('node:child_process');
const path = require('node:path');
const readline = require('node:readline');

const [dataDir, threads, epochs, limit = '0', hidden = '500,300,200,100'] = process.argv.slice(2);
const build = path.join(__dirname, '..', 'build');
const screenshots = process.env.SCREENSHOTS;

// A 7 on the canvas, so that the screenshot shows the network of that moment answering.
async function drawSeven(page) {
  await page.click('#clear');
  const box = await (await page.$('#drawing')).boundingBox();
  const at = (x, y) => page.mouse.move(box.x + box.width * x, box.y + box.height * y, {steps: 8});
  await at(0.3, 0.25);
  await page.mouse.down();
  await at(0.7, 0.25);
  await at(0.45, 0.8);
  await page.mouse.up();
  await page.evaluate(() => new Promise((done) => setTimeout(done, 300)));
}

async function main() {
  const server = spawn(path.join(build, 'lab', 'mnist-lab'), ['page', '--data', dataDir, '--port', '0'], {stdio: ['ignore', 'pipe', 'inherit']});
  let url = null;
  for await (const line of readline.createInterface({input: server.stdout})) {
    if ((url = (line.match(/^Open (http:\/\/127\.0\.0\.1:\d+\/)$/) || [])[1])) break;
  }
  const browser = await require('puppeteer-core').launch({executablePath: '/usr/bin/chromium', args: ['--no-sandbox'], protocolTimeout: 0});
  try {
    const page = await browser.newPage();
    page.on('console', (message) => message.type() === 'error' && console.error('page:', message.text()));
    // Changing isMobile reloads the page, which would end the training: the phone is its width
    // and pixel density, which is what the page's layout answers to.
    const viewports = [['laptop', {width: 1280, height: 800}], ['phone', {width: 390, height: 844, deviceScaleFactor: 2}]];
    await page.setViewport(viewports[0][1]);
    await page.goto(`${url}?threads=${threads}`);
    await page.evaluate(() => window.digitPage.ready);
    for (const [id, value] of Object.entries({hidden, epochs, limit})) {
      await page.$eval(`#train-${id}`, (input, v) => { input.value = v; }, value);
    }
    await page.click('#train-start');
    let reported = 0;
    await page.waitForFunction(() => window.trainPanel.state === 'training', {timeout: 600000});
    const setup = await page.evaluate(() => ({threads: window.trainPanel.threads, kernels: window.trainPanel.kernels}));
    console.log(`${setup.threads} threads, ${setup.kernels} kernels, hidden ${hidden}, limit ${limit}`);
    while (reported < Number(epochs)) {
      await page.waitForFunction((n) => window.trainPanel.points.length > n || window.trainPanel.state !== 'training', {timeout: 0, polling: 200}, reported);
      const panel = await page.evaluate(() => ({...window.trainPanel}));
      for (const point of panel.points.slice(reported)) {
        console.log(`epoch ${point.epoch}: ${point.accuracy.toFixed(2)} %, ${point.seconds.toFixed(2)} s, ` +
                    `${panel.progress ? panel.progress.imagesPerSecond.toFixed(0) : '-'} images/s` +
                    (reported === 0 ? `; Start to this point ${((panel.firstPointAt - panel.startedAt) / 1000).toFixed(2)} s` : ''));
      }
      reported = panel.points.length;
      if (screenshots && reported === Math.min(Number(epochs), Number(process.env.SHOT_AT || 2))) {
        for (const [name, viewport] of viewports) {
          await page.setViewport(viewport);
          await drawSeven(page);
          await page.screenshot({path: path.join(screenshots, `train-${name}.png`), fullPage: true});
        }
        await page.setViewport(viewports[0][1]);
      }
      if (panel.state !== 'training') break;
    }
  } finally {
    await browser.close();
    server.kill('SIGINT');
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});

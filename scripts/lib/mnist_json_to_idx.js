#!/usr/bin/env node
// Node twin of mnist_json_to_idx.py (used when python3 is missing): same
// arguments, same split, same order, byte-identical output.  See the Python
// file for the description; keep the two in step.
'use strict';
const fs = require('fs');
const path = require('path');

const ROWS = 28, COLS = 28, PIXELS = ROWS * COLS, CLASSES = 10;

function fail(msg) {
  process.stderr.write('mnist_json_to_idx: ' + msg + '\n');
  process.exit(1);
}

function trainCounts(sizes, percent) {
  const total = sizes.reduce((a, b) => a + b, 0);
  const target = Math.floor((total * percent + 50) / 100);
  const counts = sizes.map((n) => Math.floor(n * percent / 100));
  const rems = sizes.map((n) => (n * percent) % 100);
  let extra = target - counts.reduce((a, b) => a + b, 0);
  const order = sizes.map((_, c) => c).filter((c) => rems[c] > 0)
    .sort((a, b) => (rems[b] - rems[a]) || (a - b));
  for (const c of order) {
    if (extra <= 0) break;
    counts[c] += 1;
    extra -= 1;
  }
  return counts;
}

// Item i of a class with n items gets key (2i+1)/(2n); compare exactly.
function interleave(perClass) {
  const keyed = [];
  perClass.forEach((items, c) => {
    items.forEach((item, i) => keyed.push({ c, i, n: items.length, item }));
  });
  keyed.sort((a, b) => ((2 * a.i + 1) * b.n - (2 * b.i + 1) * a.n) || (a.c - b.c));
  return keyed.map((k) => [k.c, k.item]);
}

function loadClass(file) {
  let doc;
  try {
    doc = JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (e) {
    fail('cannot read ' + file + ': ' + e.message);
  }
  const data = Array.isArray(doc) ? doc : (doc && doc.data);
  if (!Array.isArray(data) || data.length === 0) fail(file + ': expected {"data": [numbers]}');
  if (data.length % PIXELS) fail(file + ': ' + data.length + ' values is not a multiple of ' + PIXELS);
  const px = Buffer.alloc(data.length);
  for (let k = 0; k < data.length; k++) {
    const v = data[k];
    if (typeof v !== 'number') fail(file + ': non-numeric value in data');
    if (v < 0 || v > 1) fail(file + ': value outside 0..1 (' + v + ')');
    px[k] = Math.floor(v * 255 + 0.5);
  }
  const imgs = [];
  for (let k = 0; k < px.length; k += PIXELS) imgs.push(px.subarray(k, k + PIXELS));
  return imgs;
}

function writeSet(items, imagesPath, labelsPath) {
  const n = items.length;
  const ih = Buffer.alloc(16);
  ih.writeUInt32BE(2051, 0); ih.writeUInt32BE(n, 4);
  ih.writeUInt32BE(ROWS, 8); ih.writeUInt32BE(COLS, 12);
  fs.writeFileSync(imagesPath, Buffer.concat([ih, ...items.map((t) => t[1])]));
  const lh = Buffer.alloc(8);
  lh.writeUInt32BE(2049, 0); lh.writeUInt32BE(n, 4);
  fs.writeFileSync(labelsPath, Buffer.concat([lh, Buffer.from(items.map((t) => t[0]))]));
}

function main(argv) {
  if (argv.length !== 6) {
    fail('usage: mnist_json_to_idx.js DIGITS_DIR TRAIN_PERCENT TRAIN_IMAGES TRAIN_LABELS TEST_IMAGES TEST_LABELS');
  }
  const digitsDir = argv[0];
  const percent = /^[0-9]+$/.test(argv[1]) ? parseInt(argv[1], 10) : -1;
  if (!(percent >= 0 && percent <= 100)) fail('TRAIN_PERCENT must be an integer 0..100, not ' + argv[1]);
  const classes = [];
  for (let c = 0; c < CLASSES; c++) {
    const file = path.join(digitsDir, c + '.json');
    if (!fs.existsSync(file)) fail('missing ' + file);
    classes.push(loadClass(file));
  }
  const sizes = classes.map((imgs) => imgs.length);
  const ntrain = trainCounts(sizes, percent);
  const train = interleave(classes.map((imgs, c) => imgs.slice(0, ntrain[c])));
  const test = interleave(classes.map((imgs, c) => imgs.slice(ntrain[c])));
  writeSet(train, argv[2], argv[3]);
  writeSet(test, argv[4], argv[5]);
  console.log('  per class (train/test): ' +
    sizes.map((n, c) => c + ':' + ntrain[c] + '/' + (n - ntrain[c])).join(' '));
}

main(process.argv.slice(2));

// The training worker: fetches the four MNIST files (decompressing .gz ones), hands them to
// the trainer (trainer.js, built from web/trainer.cpp with threads) and trains a slice of
// about kSliceMilliseconds at a time, so that messages from the page (pause, stop, a request
// for the network) are answered between slices while the page itself never waits.
//
// Messages from the page: {type: 'start', choices, threads, portable}, 'pause', 'resume',
// 'stop', {type: 'file', best} and 'snapshot'. Messages to it: 'status', 'ready', 'progress',
// 'epoch', 'file', 'snapshot', 'finished' and 'error' (see train.js).
'use strict';

const kSliceMilliseconds = 100;
const kFirstLayerNeurons = 100;  // the neurons whose weights the page draws
const kDataFiles = [
  ['train-images.idx3-ubyte', 'train-labels.idx1-ubyte'],
  ['t10k-images.idx3-ubyte', 't10k-labels.idx1-ubyte'],
];

let trainer = null;
let loaded = false;
let running = false;   // a session exists and is not stopped or finished
let paused = false;
let looping = false;   // train() is between its slices
let batchesPerSlice = 1;
let clock = null;      // {epochStart, pausedAt, imagesPerSecond}

const post = (message, transfer = []) => self.postMessage(message, transfer);

// Lets queued messages in: a message to itself, without the clamping of nested timers.
const channel = new MessageChannel();
const pendingTurns = [];
channel.port1.onmessage = () => pendingTurns.shift()();
const nextTurn = () => new Promise((done) => {
  pendingTurns.push(done);
  channel.port2.postMessage(null);
});

// ---- data ----------------------------------------------------------------------------------

async function fetchBytes(name, available) {
  const served = available.includes(name) ? name : available.includes(`${name}.gz`) ? `${name}.gz` : null;
  if (served === null) throw new Error(`${name} is missing from the data folder (mnist-lab page --data DIR serves it).`);
  const response = await fetch(`data/${served}`);
  if (!response.ok) throw new Error(`data/${served} could not be fetched (${response.status} ${response.statusText}).`);
  if (!served.endsWith('.gz')) return new Uint8Array(await response.arrayBuffer());
  try {
    const stream = response.body.pipeThrough(new DecompressionStream('gzip'));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  } catch (error) {
    throw new Error(`data/${served} is not a readable gzip file (${error.message || error}).`);
  }
}

function copyIn(bytes) {
  const address = trainer._malloc(Math.max(1, bytes.length));
  trainer.HEAPU8.set(bytes, address);
  return address;
}

async function loadData() {
  post({type: 'status', text: 'Loading the MNIST files\u2026'});
  const listing = await fetch('data/files.json');
  const available = listing.ok ? await listing.json() : [];
  for (const [which, [imageName, labelName]] of kDataFiles.entries()) {
    const images = await fetchBytes(imageName, available);
    const labels = await fetchBytes(labelName, available);
    const imageAddress = copyIn(images);
    const labelAddress = copyIn(labels);
    const ok = trainer._TrainerLoadSet(which, imageAddress, images.length, labelAddress, labels.length);
    trainer._free(imageAddress);
    trainer._free(labelAddress);
    if (!ok) throw new Error(`${imageName} and ${labelName}: ${trainer.UTF8ToString(trainer._TrainerError())}`);
  }
  loaded = true;
}

// ---- what the page is shown ------------------------------------------------------------------

function fileBytes(best) {
  const address = trainer._TrainerFile(best ? 1 : 0);
  return trainer.HEAPU8.slice(address, address + trainer._TrainerFileSize());
}

function firstLayer() {
  const address = trainer._TrainerFirstLayer() / 8;
  const count = Math.min(trainer._TrainerFirstLayerSize(), kFirstLayerNeurons * 784);
  return trainer.HEAPF64.slice(address, address + count);
}

// `paused`: sent once the loop has stopped for a pause, so the page knows no slice is under way.
function progress(paused = false) {
  const samplesPerEpoch = trainer._TrainerSamplesPerEpoch();
  const done = trainer._TrainerEpochsDone() * samplesPerEpoch + trainer._TrainerSamplesDone();
  const weights = firstLayer();
  post({type: 'progress', epochsDone: trainer._TrainerEpochsDone(), samplesDone: trainer._TrainerSamplesDone(),
        samplesPerEpoch, samplesTrained: done, imagesPerSecond: clock.imagesPerSecond, firstLayer: weights, paused},
       [weights.buffer]);
}

function epochEnded() {
  const confusion = Array.from(trainer.HEAPU32.subarray(trainer._TrainerConfusion() / 4, trainer._TrainerConfusion() / 4 + 100));
  const now = performance.now();
  const network = fileBytes(false);
  post({type: 'epoch', epoch: trainer._TrainerEpochsDone() - 1, accuracy: trainer._TrainerAccuracy(), confusion,
        seconds: (now - clock.epochStart) / 1000, network}, [network.buffer]);
  clock.epochStart = now;
}

// ---- the training loop -------------------------------------------------------------------------

async function train() {
  if (looping) return;
  looping = true;
  let lastProgress = 0;
  while (running && !paused) {
    const started = performance.now();
    const before = trainer._TrainerEpochsDone() * trainer._TrainerSamplesPerEpoch() + trainer._TrainerSamplesDone();
    const ended = trainer._TrainerStep(batchesPerSlice);
    const elapsed = performance.now() - started;
    const after = trainer._TrainerEpochsDone() * trainer._TrainerSamplesPerEpoch() + trainer._TrainerSamplesDone();
    if (!ended && after > before) {
      // Images per second without the evaluations; slices sized to take about kSliceMilliseconds.
      const rate = (after - before) / (elapsed / 1000);
      clock.imagesPerSecond = clock.imagesPerSecond === null ? rate : 0.8 * clock.imagesPerSecond + 0.2 * rate;
      batchesPerSlice = Math.max(1, Math.min(1000, Math.round(batchesPerSlice * kSliceMilliseconds / Math.max(elapsed, 1))));
    }
    if (ended) epochEnded();
    if (ended || performance.now() - lastProgress > 500) {
      progress();
      lastProgress = performance.now();
    }
    if (trainer._TrainerDone()) {
      running = false;
      post({type: 'finished', stopped: false});
    }
    await nextTurn();
  }
  if (running && paused) progress(true);  // where it paused
  looping = false;
}

async function start({choices, threads, portable}) {
  try {
    if (!trainer) {
      self.trainerThreadCount = threads;
      // The module's threads load it by this address: a worker has no script element to ask.
      trainer = await createTrainer({mainScriptUrlOrBlob: 'trainer.js'});
    }
  } catch (error) {
    post({type: 'error', text: `The trainer could not start: ${error.message || error}`});
    return;
  }
  try {
    if (!loaded) await loadData();
  } catch (error) {
    post({type: 'error', text: `Training needs the four MNIST files: ${error.message || error}`});
    return;
  }
  const hidden = Uint32Array.from(choices.hiddenLayers);
  const address = trainer._malloc(hidden.length * 4);
  trainer.HEAPU32.set(hidden, address / 4);
  const distortion = copyIn(new TextEncoder().encode(`${choices.distortion}\0`));
  const started = trainer._TrainerStart(address, hidden.length, choices.learningRate, choices.batchSize, choices.epochCount,
                                        choices.seed, choices.sampleLimit, distortion, threads, portable ? 1 : 0);
  trainer._free(address);
  trainer._free(distortion);
  if (!started) {
    post({type: 'error', text: trainer.UTF8ToString(trainer._TrainerError())});
    return;
  }
  post({type: 'ready', trainingCount: trainer._TrainerSamplesPerEpoch(), testCount: trainer._TrainerSetSize(1),
        threads: trainer._TrainerThreadCount(), kernels: trainer.UTF8ToString(trainer._TrainerKernels(portable ? 1 : 0))});
  running = true;
  paused = false;
  batchesPerSlice = 1;
  clock = {epochStart: performance.now(), imagesPerSecond: null};
  progress();
  train();
}

importScripts('trainer.js');

self.onmessage = ({data}) => {
  switch (data.type) {
    case 'start':
      if (!running) start(data);
      break;
    case 'pause':
      if (running && !paused) {
        paused = true;
        clock.pausedAt = performance.now();
      }
      break;
    case 'resume':
      if (running && paused) {
        paused = false;
        clock.epochStart += performance.now() - clock.pausedAt;  // a pause is no part of an epoch's time
        train();
      }
      break;
    case 'stop':
      if (running) {
        running = false;
        post({type: 'finished', stopped: true});
      }
      break;
    case 'file': {
      if (!clock) break;
      const bytes = fileBytes(data.best);
      post({type: 'file', bytes}, [bytes.buffer]);
      break;
    }
    case 'snapshot': {
      if (!clock) break;
      const bytes = fileBytes(false);
      post({type: 'snapshot', bytes}, [bytes.buffer]);
      break;
    }
  }
};

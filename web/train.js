// The Train panel: a network trained in a worker (train_worker.js) by the C++ engine compiled
// to WebAssembly, on the MNIST files that mnist-lab page serves. The page shows the test
// accuracy after each epoch as a curve, the last confusion matrix, the first hidden layer's
// weights, the speed and the time left; the drawing canvas classifies with the network as it
// is, and "Save network" downloads the file that mnist-mlp --train would have written.
//
// ?threads=N sets the thread count (default: the processors, at most kMaxThreads);
// ?kernels=portable trains with the portable loops, whose results the native engine
// reproduces bit for bit. window.trainPanel holds what tests and measurements read.
'use strict';

(() => {
  const kMaxThreads = 16;
  const kSnapshotInterval = 1000;  // ms: the fewest between two networks fetched for drawing

  const $ = (id) => document.getElementById(id);
  const views = {
    start: $('train-start'), pause: $('train-pause'), stop: $('train-stop'), save: $('train-save'),
    status: $('train-status'), epoch: $('train-epoch'), accuracy: $('train-accuracy'),
    speed: $('train-speed'), epochSeconds: $('train-epoch-seconds'), left: $('train-left'),
    curve: $('train-curve'), confusion: $('train-confusion'), weights: $('train-weights'),
  };
  const parameters = new URLSearchParams(location.search);
  const threads = Math.max(1, Math.min(kMaxThreads, Number(parameters.get('threads')) ||
                                                    navigator.hardwareConcurrency || 1));
  const portable = parameters.get('kernels') === 'portable';

  const panel = {
    state: 'idle',          // idle, starting, training, paused, stopped, finished, failed
    choices: null,
    points: [],             // {epoch, accuracy, seconds}
    progress: null,         // the worker's last 'progress' message
    startedAt: null,        // performance.now() of the press on Start
    firstPointAt: null,     // ... and of the first curve point
    threads: null,
    kernels: null,
    message: null,
  };
  window.trainPanel = panel;

  let worker = null;
  let lastSnapshot = 0;
  let latest = null;  // the last progress message

  function setState(state, status) {
    panel.state = state;
    if (status !== undefined) views.status.textContent = status;
    const active = state === 'training' || state === 'paused';
    views.start.disabled = active || state === 'starting';
    views.pause.disabled = !active;
    views.pause.textContent = state === 'paused' ? 'Resume' : 'Pause';
    views.stop.disabled = !active;
    views.save.disabled = !(active || state === 'stopped' || state === 'finished');
    for (const input of document.querySelectorAll('#train-form input, #train-form select')) {
      input.disabled = active || state === 'starting';
    }
  }

  function fail(text) {
    panel.message = text;
    window.digitPage.showMessage(text);
    setState('failed', 'Training could not start.');
  }

  // ---- the choices ----------------------------------------------------------------------------

  function readChoices() {
    const hidden = $('train-hidden').value.trim();
    if (!/^\d+(,\d+)*$/.test(hidden) || hidden.split(',').some((size) => Number(size) < 1 || Number(size) > 100000)) {
      return 'Hidden layers: sizes from 1 to 100000 separated by commas, such as 500,300,200,100.';
    }
    const number = (id) => Number($(id).value);
    const choices = {
      hiddenLayers: hidden.split(',').map(Number), learningRate: number('train-rate'),
      batchSize: number('train-batch'), epochCount: number('train-epochs'), seed: number('train-seed'),
      sampleLimit: number('train-limit'), distortion: $('train-distortion').value,
    };
    if (!(choices.learningRate > 0 && Number.isFinite(choices.learningRate))) return 'Learning rate: a number above 0.';
    if (!Number.isInteger(choices.batchSize) || choices.batchSize < 1 || choices.batchSize > 10000) return 'Batch size: a whole number from 1 to 10000.';
    if (!Number.isInteger(choices.epochCount) || choices.epochCount < 1 || choices.epochCount > 100000) return 'Epochs: a whole number from 1 to 100000.';
    if (!Number.isInteger(choices.seed) || choices.seed < 0 || choices.seed > 4294967295) return 'Seed: a whole number from 0 to 4294967295.';
    return choices;
  }

  // ---- drawing the figures ----------------------------------------------------------------------

  function drawCurve() {
    const pen = views.curve.getContext('2d');
    const {width, height} = views.curve;
    const left = 40, bottom = height - 24, top = 10, right = width - 10;
    pen.clearRect(0, 0, width, height);
    const accuracies = panel.points.map((point) => point.accuracy);
    const low = Math.max(0, Math.min(90, Math.floor((Math.min(...accuracies, 100) - 1) / 10) * 10));
    const epochs = Math.max(2, panel.choices ? panel.choices.epochCount : 2);
    const x = (epoch) => left + (right - left) * epoch / (epochs - 1);
    const y = (accuracy) => bottom - (bottom - top) * (accuracy - low) / (100 - low);
    pen.font = '11px system-ui, sans-serif';
    pen.fillStyle = '#5d6677';
    pen.strokeStyle = '#d8dce3';
    pen.lineWidth = 1;
    for (let level = low; level <= 100; level += (100 - low) / 5) {
      pen.beginPath();
      pen.moveTo(left, y(level));
      pen.lineTo(right, y(level));
      pen.stroke();
      pen.fillText(`${level.toFixed(0)}%`, 4, y(level) + 4);
    }
    pen.fillText('epoch 0', left, height - 6);
    pen.fillText(String(epochs - 1), right - 16, height - 6);
    pen.strokeStyle = '#2f6fdf';
    pen.fillStyle = '#2f6fdf';
    pen.lineWidth = 2;
    pen.beginPath();
    panel.points.forEach(({epoch, accuracy}, i) => (i ? pen.lineTo : pen.moveTo).call(pen, x(epoch), y(accuracy)));
    pen.stroke();
    for (const {epoch, accuracy} of panel.points) {
      pen.beginPath();
      pen.arc(x(epoch), y(accuracy), 3, 0, 2 * Math.PI);
      pen.fill();
    }
  }

  function drawConfusion(confusion) {
    const rows = [];
    const header = document.createElement('tr');
    header.innerHTML = '<th></th>' + [...Array(10).keys()].map((d) => `<th>${d}</th>`).join('');
    rows.push(header);
    for (let label = 0; label < 10; ++label) {
      const row = document.createElement('tr');
      const counts = confusion.slice(label * 10, label * 10 + 10);
      const total = counts.reduce((a, b) => a + b, 0) || 1;
      row.innerHTML = `<th>${label}</th>` + counts.map((count, answer) => {
        const share = count / total;
        const colour = answer === label ? `rgb(47 111 223 / ${share.toFixed(2)})` : `rgb(161 42 31 / ${Math.min(1, share * 4).toFixed(2)})`;
        return `<td style="background:${count ? colour : 'transparent'}" class="${share > 0.5 ? 'dark' : ''}">${count || ''}</td>`;
      }).join('');
      rows.push(row);
    }
    views.confusion.replaceChildren(...rows);
  }

  function drawWeights(weights) {
    const pen = views.weights.getContext('2d');
    const neurons = Math.min(100, Math.floor(weights.length / 784));
    const image = pen.createImageData(views.weights.width, views.weights.height);
    image.data.fill(255);
    for (let n = 0; n < neurons; ++n) {
      const values = weights.subarray(n * 784, (n + 1) * 784);
      let scale = 0;
      for (const value of values) scale = Math.max(scale, Math.abs(value));
      const originX = (n % 10) * 29, originY = Math.floor(n / 10) * 29;
      for (let p = 0; p < 784; ++p) {
        const v = scale ? values[p] / scale : 0;
        const at = ((originY + Math.floor(p / 28)) * views.weights.width + originX + (p % 28)) * 4;
        const fade = Math.round(255 * (1 - Math.abs(v)));
        image.data.set(v >= 0 ? [fade, fade + Math.round(Math.abs(v) * 60), 255, 255] : [255, fade, fade, 255], at);
      }
    }
    pen.putImageData(image, 0, 0);
  }

  const seconds = (value) => value < 90 ? `${value.toFixed(1)} s` : value < 5400 ? `${(value / 60).toFixed(1)} min` : `${(value / 3600).toFixed(1)} h`;

  function showFigures() {
    if (!latest) return;
    const {epochsDone, samplesDone, samplesPerEpoch, imagesPerSecond} = latest;
    const epochCount = panel.choices.epochCount;
    views.epoch.textContent = `${Math.min(epochsDone + 1, epochCount)} of ${epochCount} (${Math.round(100 * samplesDone / Math.max(1, samplesPerEpoch))}%)`;
    views.speed.textContent = imagesPerSecond ? Math.round(imagesPerSecond).toLocaleString('en') : '\u2013';
    const lastPoint = panel.points.at(-1);
    views.epochSeconds.textContent = lastPoint ? lastPoint.seconds.toFixed(1) : imagesPerSecond ? `about ${(samplesPerEpoch / imagesPerSecond).toFixed(1)}` : '\u2013';
    const perEpoch = lastPoint ? lastPoint.seconds : imagesPerSecond ? samplesPerEpoch / imagesPerSecond : null;
    const left = epochCount - epochsDone - samplesDone / Math.max(1, samplesPerEpoch);
    views.left.textContent = panel.state === 'finished' ? 'done' : perEpoch ? seconds(left * perEpoch) : '\u2013';
    if (latest.firstLayer) drawWeights(latest.firstLayer);
  }

  // ---- the worker's messages -------------------------------------------------------------------

  function useNetwork(bytes, epoch) {
    window.digitPage.useNetwork(`the network training here (${epoch})`, bytes);
  }

  function download(bytes) {
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([bytes], {type: 'application/octet-stream'}));
    const best = panel.points.reduce((a, b) => (b.accuracy > a.accuracy ? b : a), panel.points[0] || {epoch: 'none'});
    link.download = `trained-in-page-epoch-${best.epoch}.net`;
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }

  function onMessage({data}) {
    switch (data.type) {
      case 'status':
        views.status.textContent = data.text;
        break;
      case 'ready':
        panel.threads = data.threads;
        panel.kernels = data.kernels;
        setState('training', `Training on ${data.trainingCount.toLocaleString('en')} digits` +
                             (panel.choices.distortion === 'none' ? '' : ` (${panel.choices.distortion} distortions, drawn afresh each epoch)`) +
                             ', testing on ' +
                             `${data.testCount.toLocaleString('en')}: ${data.threads} thread${data.threads === 1 ? '' : 's'}, ${data.kernels} kernels.`);
        break;
      case 'progress':
        latest = panel.progress = data;
        showFigures();
        break;
      case 'epoch':
        if (panel.firstPointAt === null) panel.firstPointAt = performance.now();
        panel.points.push({epoch: data.epoch, accuracy: data.accuracy, seconds: data.seconds});
        views.accuracy.textContent = `${data.accuracy.toFixed(2)}%`;
        drawCurve();
        drawConfusion(data.confusion);
        useNetwork(data.network, `epoch ${data.epoch}`);
        showFigures();
        break;
      case 'snapshot':
        useNetwork(data.bytes, 'now');
        break;
      case 'file':
        download(data.bytes);
        break;
      case 'finished':
        setState(data.stopped ? 'stopped' : 'finished', data.stopped ? 'Stopped: the network stays on the canvas and can be saved.' : 'Finished.');
        showFigures();
        break;
      case 'error':
        fail(data.text);
        break;
    }
  }

  // ---- the buttons ------------------------------------------------------------------------------

  views.start.addEventListener('click', () => {
    const choices = readChoices();
    if (typeof choices === 'string') {
      window.digitPage.showMessage(choices);
      return;
    }
    window.digitPage.showMessage('');
    Object.assign(panel, {choices, points: [], startedAt: performance.now(), firstPointAt: null, message: null});
    latest = null;
    drawCurve();
    if (!worker) {
      worker = new Worker('train_worker.js');
      worker.onmessage = onMessage;
      worker.onerror = (event) => fail(`The training worker failed: ${event.message}`);
    }
    setState('starting', 'Starting\u2026');
    worker.postMessage({type: 'start', choices, threads, portable});
  });

  views.pause.addEventListener('click', () => {
    const pausing = panel.state === 'training';
    worker.postMessage({type: pausing ? 'pause' : 'resume'});
    setState(pausing ? 'paused' : 'training', pausing ? 'Paused.' : 'Training.');
  });

  views.stop.addEventListener('click', () => worker.postMessage({type: 'stop'}));
  views.save.addEventListener('click', () => worker.postMessage({type: 'file', best: true}));

  // A stroke is answered by the network as it is: fetched when the drawing starts.
  $('drawing').addEventListener('pointerdown', () => {
    if (panel.state !== 'training' || performance.now() - lastSnapshot < kSnapshotInterval) return;
    lastSnapshot = performance.now();
    worker.postMessage({type: 'snapshot'});
  });

  if (!self.crossOriginIsolated) {
    views.start.disabled = true;
    views.status.textContent = 'Training needs a cross-origin isolated page, as mnist-lab page serves it on 127.0.0.1.';
  } else {
    setState('idle');
  }
  drawCurve();
})();

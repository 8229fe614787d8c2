// The drawing page: strokes on a canvas, classified by the WebAssembly module (classifier.js,
// built from web/classifier.cpp) as they are drawn. The model comes from ?model=FILE (what
// mnist-lab page serves), the file picker or a file dropped on the page.
//
// For tests and curious learners, window.digitPage holds the last result and the time each
// answer took from the first pointer event it answers to the answer on the page.
'use strict';

const kFieldSide = 28;
const kDigits = 10;
// Pixels of the 280 x 280 canvas; the digit is scaled to 20 pixels, so a stroke of about a
// tenth of the digit's height ends about 2 pixels wide, as MNIST's pen strokes are.
const kStrokeWidth = 20;

const drawing = document.getElementById('drawing');
const pen = drawing.getContext('2d', {willReadFrequently: true});
const fieldView = document.getElementById('field');
const fieldPen = fieldView.getContext('2d');
const answerView = document.getElementById('answer');
const scoresView = document.getElementById('scores');
const membersView = document.getElementById('members');
const memberAnswersView = document.getElementById('member-answers');
const modelView = document.getElementById('model');
const messageView = document.getElementById('message');

const page = {
  ready: null,         // resolves once the module and the default model are loaded
  result: null,        // {answer, scores, field, memberAnswers}, or null for a blank drawing
  latencies: [],       // milliseconds from a stroke's event to its answer on the page
  modelName: null,
};
window.digitPage = page;

let classifier = null;
let pixelBuffer = 0;  // the canvas's RGBA pixels in the module's heap
let strokeStart = null;
let lastPoint = null;
let pendingSince = null;  // time stamp of the oldest stroke event not yet answered
let waitingNetwork = null;  // {name, bytes}: a network from training, taken when the stroke ends

function showMessage(text) {
  messageView.textContent = text;
  messageView.hidden = !text;
}

// ---- the scores and the field ------------------------------------------------------------

const scoreRows = [];
for (let digit = 0; digit < kDigits; ++digit) {
  const row = document.createElement('li');
  row.innerHTML = `<span>${digit}</span><span class="track"><span class="fill"></span></span>` +
                  '<span class="value">&ndash;</span>';
  scoresView.appendChild(row);
  scoreRows.push({row, fill: row.querySelector('.fill'), value: row.querySelector('.value')});
}

function render(result) {
  answerView.textContent = result ? String(result.answer) : '?';
  scoreRows.forEach(({row, fill, value}, digit) => {
    const score = result ? result.scores[digit] : 0;
    fill.style.width = `${(score * 100).toFixed(1)}%`;
    value.textContent = result ? score.toFixed(3) : '\u2013';
    row.classList.toggle('best', !!result && digit === result.answer);
  });
  const field = fieldPen.createImageData(kFieldSide, kFieldSide);
  for (let i = 0; i < kFieldSide * kFieldSide; ++i) {
    const shade = 255 - Math.round((result ? result.field[i] : 0) * 255);
    field.data.set([shade, shade, shade, 255], i * 4);
  }
  fieldPen.putImageData(field, 0, 0);
  const members = result ? result.memberAnswers : [];
  membersView.hidden = members.length < 2;
  memberAnswersView.replaceChildren(...members.map((answer, index) => {
    const item = document.createElement('li');
    item.textContent = `${index + 1}: ${answer}`;
    item.classList.toggle('differs', answer !== result.answer);
    return item;
  }));
}

// ---- classifying -------------------------------------------------------------------------

function classify() {
  if (!classifier || page.modelName === null) return;
  const {width, height} = drawing;
  const pixels = pen.getImageData(0, 0, width, height).data;
  if (!pixelBuffer) pixelBuffer = classifier._malloc(width * height * 4);
  classifier.HEAPU8.set(pixels, pixelBuffer);
  const answer = classifier._ClassifierClassifyPixels(pixelBuffer, width, height);
  if (answer < 0) {
    page.result = null;
  } else {
    const memberCount = classifier._ClassifierMemberCount();
    const scores = classifier._ClassifierScores() / 8;
    const field = classifier._ClassifierField() / 8;
    const members = classifier._ClassifierMemberAnswers() / 4;
    page.result = {
      answer,
      scores: Array.from(classifier.HEAPF64.subarray(scores, scores + kDigits)),
      field: Array.from(classifier.HEAPF64.subarray(field, field + kFieldSide * kFieldSide)),
      memberAnswers: Array.from(classifier.HEAP32.subarray(members, members + memberCount)),
    };
  }
  render(page.result);
}

// Strokes come faster than frames: one classification per frame answers all of them.
function classifySoon(eventTime) {
  if (pendingSince !== null) return;
  pendingSince = eventTime;
  requestAnimationFrame(() => {
    classify();
    page.latencies.push(performance.now() - pendingSince);
    pendingSince = null;
  });
}

// ---- drawing -----------------------------------------------------------------------------

function clearDrawing() {
  pen.fillStyle = '#fff';
  pen.fillRect(0, 0, drawing.width, drawing.height);
  page.result = null;
  render(null);
}

function canvasPoint(event) {
  const box = drawing.getBoundingClientRect();
  return {
    x: (event.clientX - box.left) * drawing.width / box.width,
    y: (event.clientY - box.top) * drawing.height / box.height,
  };
}

function strokeTo(point) {
  pen.beginPath();
  pen.moveTo(lastPoint.x, lastPoint.y);
  pen.lineTo(point.x, point.y);
  pen.stroke();
  lastPoint = point;
}

drawing.addEventListener('pointerdown', (event) => {
  if (event.button !== 0) return;
  drawing.setPointerCapture(event.pointerId);
  strokeStart = event.pointerId;
  lastPoint = canvasPoint(event);
  pen.fillStyle = '#000';
  pen.beginPath();
  pen.arc(lastPoint.x, lastPoint.y, kStrokeWidth / 2, 0, 2 * Math.PI);
  pen.fill();
  classifySoon(event.timeStamp);
});

drawing.addEventListener('pointermove', (event) => {
  if (strokeStart !== event.pointerId) return;
  const events = event.getCoalescedEvents ? event.getCoalescedEvents() : [];
  for (const part of events.length ? events : [event]) strokeTo(canvasPoint(part));
  classifySoon(event.timeStamp);
});

for (const type of ['pointerup', 'pointercancel']) {
  drawing.addEventListener(type, (event) => {
    if (strokeStart === event.pointerId) strokeStart = null;
    if (strokeStart === null && waitingNetwork !== null) {
      useModel(waitingNetwork.name, waitingNetwork.bytes);
      waitingNetwork = null;
    }
  });
}

document.getElementById('clear').addEventListener('click', clearDrawing);

// ---- models ------------------------------------------------------------------------------

function describe(name, memberCount) {
  return `${name}: ${memberCount === 1 ? 'one network' : `an ensemble of ${memberCount} networks`}`;
}

// Loads the model file's bytes; on failure shows why and keeps the model there was.
function useModel(name, bytes) {
  const buffer = classifier._malloc(bytes.length);
  classifier.HEAPU8.set(bytes, buffer);
  const memberCount = classifier._ClassifierLoadModel(buffer, bytes.length);
  classifier._free(buffer);
  if (memberCount === 0) {
    const reason = classifier.UTF8ToString(classifier._ClassifierError()).replace(/\.?$/, '.');
    const kept = page.modelName === null ? 'No model is loaded.' : `Still using ${page.modelName}.`;
    showMessage(`${name} cannot be used. ${reason} ${kept}`);
    return;
  }
  page.modelName = name;
  modelView.textContent = describe(name, memberCount);
  showMessage('');
  classify();
}

// A network from the Train panel (train.js). Reading it takes a few milliseconds, which a
// stroke should not wait for: during one it waits for the stroke's end.
page.useNetwork = (name, bytes) => {
  if (!classifier) return;
  if (strokeStart !== null) {
    waitingNetwork = {name, bytes};
  } else {
    useModel(name, bytes);
  }
};
page.showMessage = showMessage;

async function useModelFile(file) {
  useModel(file.name, new Uint8Array(await file.arrayBuffer()));
}

async function useDefaultModel() {
  const name = new URLSearchParams(location.search).get('model');
  if (!name) {
    modelView.textContent = 'No model loaded yet: open or drop a network or ensemble file, or train one below';
    return;
  }
  const response = await fetch(name);
  if (!response.ok) {
    showMessage(`${name} could not be fetched (${response.status} ${response.statusText}).`);
    return;
  }
  useModel(name, new Uint8Array(await response.arrayBuffer()));
}

document.getElementById('model-file').addEventListener('change', (event) => {
  if (event.target.files.length) useModelFile(event.target.files[0]);
  event.target.value = '';
});

document.addEventListener('dragover', (event) => {
  event.preventDefault();
  document.body.classList.add('dropping');
});
document.addEventListener('dragleave', () => document.body.classList.remove('dropping'));
document.addEventListener('drop', (event) => {
  event.preventDefault();
  document.body.classList.remove('dropping');
  const files = event.dataTransfer ? event.dataTransfer.files : [];
  if (files.length) useModelFile(files[0]);
});

// ---- start -------------------------------------------------------------------------------

pen.lineWidth = kStrokeWidth;
pen.lineCap = 'round';
pen.lineJoin = 'round';
pen.strokeStyle = '#000';
clearDrawing();
page.ready = createClassifier()
  .then((module) => {
    classifier = module;
    return useDefaultModel();
  })
  .catch((error) => showMessage(`The classifier could not start: ${error.message || error}`));

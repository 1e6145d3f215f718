// The page around the updater: it asks for MIDI access, lists the devices
// by running the program with --units, and runs it again with --image,
// --port and --no-pause to update. Each run is a fresh instance of the module, with
// the chosen image written into its current directory under its own name.
'use strict';

const ENDINGS = {
  0: ['good', 'The update is complete.'],
  1: ['bad', 'The image was refused; nothing was sent to the device.'],
  3: ['bad', 'The device was not found. Check that it is plugged in, look again and choose its port.'],
  4: ['bad', 'The device did not answer as expected; nothing was written to it.'],
  5: ['bad', 'The update failed part-way: the device may hold part of the image. Update again to complete it.'],
  130: ['bad', 'The update was cancelled. The device may hold part of the image: run the update again.'],
};
const CANCELLED_UNWRITTEN = 'The update was cancelled before anything was written to the device.';
const STOPPED = 'The updater stopped unexpectedly. The device may hold part of the image: reload this page and update '
  + 'again.';

// The program reads no more of an image's file than this, and decides by
// one byte past it whether the text goes on.
const LARGEST_IMAGE_FILE = 16 * 1024 * 1024;
// A program that stops without an exit (a trap, an exception out of its
// callbacks) shows as an error in the page and no wait of its ending after
// it; one that runs ends a wait every millisecond or so.
const STALL_MS = 600;
// Cancel takes no press that began before this long after the update
// began: a second Enter or a double click meant for Update.
const CANCEL_SETTLE_MS = 500;

const $ = (id) => document.getElementById(id);
// The page's state; a property of the window (var), so that a test reads
// it as the page does.
var page = { access: null, problem: null, image: null, chosen: null, running: false, listings: 0, listed: 0,
             lastOutput: '', runs: 0, control: null, began: 0, press: null, announced: 0, choices: 0, reads: 0 };

function notice(text) {
  const line = document.createElement('p');
  line.textContent = text;
  $('notice').append(line);
  $('notice').hidden = false;
}

// Shows the program's output as a console would: '\r' goes back to the
// line's start, so the progress line is redrawn in place.
function makeConsole(pre) {
  const lines = [];
  let line = '', column = 0, raw = '';
  const decoder = new TextDecoder();
  let bytes = [], queued = false;
  function put(text) {
    for (const c of text) {
      if (c === '\r') {
        column = 0;
      } else if (c === '\n') {
        lines.push(line);
        line = '';
        column = 0;
      } else {
        line = line.slice(0, column) + c + line.slice(column + 1);
        ++column;
      }
    }
  }
  // Drawn ten times a second at most: drawing after every progress line,
  // even once a frame, slows the transfer down by a tenth.
  let drawing = false;
  function draw() {
    drawing = false;
    pre.textContent = lines.concat(line).join('\n');
    pre.scrollTop = pre.scrollHeight;
    const percent = /(\d+)% done/.exec(line);
    if (percent)
      showProgress(Number(percent[1]));
  }
  function flush() {
    queued = false;
    const text = decoder.decode(new Uint8Array(bytes), { stream: true });
    raw += text;
    put(text);
    bytes = [];
    if (!drawing) {
      drawing = true;
      setTimeout(draw, 100);
    }
  }
  return {
    write(byte) {
      if (byte === null || byte === undefined)
        return;
      bytes.push(byte);
      if (!queued) {
        queued = true;
        queueMicrotask(flush);
      }
    },
    // Everything written, as written.
    raw() {
      flush();
      draw();
      return raw;
    },
  };
}

// The bar follows every progress line; a screen reader hears each tenth.
function showProgress(percent) {
  $('progress').value = percent;
  if (percent >= page.announced + 10 && percent < 100) {
    page.announced = percent - percent % 10;
    $('progress-note').textContent = `${page.announced}% of the image sent.`;
  }
}

// Runs the program once; resolves with its exit status (-1 where it stopped
// without one) and its output. control becomes the module: setting its
// cancelled interrupts the run.
function runProgram(args, pre, control = {}) {
  const out = makeConsole(pre);
  ++page.runs;
  return new Promise((resolve) => {
    let ended = false;
    const end = (status) => {
      if (ended)
        return;
      ended = true;
      window.removeEventListener('error', fault);
      window.removeEventListener('unhandledrejection', fault);
      resolve({ status, output: out.raw() });
    };
    const fault = () => {
      const wakes = control.wakes;
      setTimeout(() => { if (control.wakes === wakes) end(-1); }, STALL_MS);
    };
    window.addEventListener('error', fault);
    window.addEventListener('unhandledrejection', fault);
    createUpdate(Object.assign(control, {
      arguments: args,
      midiAccess: page.access,
      midiProblem: page.problem,
      preRun: [(module) => {
        module.FS.init(() => null, out.write, out.write);
        module.FS.mkdir('/work');
        module.FS.chdir('/work');
        if (page.image)
          module.FS.writeFile(page.image.name, page.image.bytes);
      }],
      onExit: end,
      onAbort: () => end(-1),
    })).catch(() => end(-1));
  });
}

// The devices as the program counts them, from --units: a line each, the
// word --port takes to choose it, a tab and its name; two of one name show
// their words beside it. The unit chosen, by the user or by the page, stays
// chosen while it is there, by its word, never its place in the list; one
// that went away is not replaced by its namesake until the user chooses.
// Otherwise the one device is chosen, or the user is asked to choose. A
// newer listing replaces one still running.
async function listPorts() {
  const select = $('port');
  const listing = ++page.listings;
  const { output } = await runProgram(['--units'], document.createElement('pre'));
  if (listing !== page.listings)
    return;
  const units = output.split('\n').filter((line) => line.includes('\t')).map((line) => line.split('\t'));
  select.replaceChildren();
  for (const [word, name] of units)
    select.add(new Option(units.filter((unit) => unit[1] === name).length > 1 ? `${name} (${word})` : name, word));
  if (units.length === 1 && page.chosen === null)
    page.chosen = units[0][0];
  if (units.length === 0)
    select.add(new Option(page.access ? 'No MIDI device: plug it in, then look again' : 'No MIDI access', ''));
  else if (units.some((unit) => unit[0] === page.chosen))
    select.value = page.chosen;
  else
    select.add(new Option("Choose the device's port", '', true, true), 0);
  ++page.listed;
  updateStates();
}

// Update needs a file, and a port where there are ports; nothing that
// changes the run can be touched while it goes on.
function updateStates() {
  const select = $('port');
  const ports = [...select.options].some((option) => option.value !== '');
  $('update').disabled = page.running || !page.image || (ports && !select.value);
  select.disabled = page.running || !ports;
  $('image').disabled = page.running;
  $('look').disabled = page.running;
  $('drop').classList.toggle('disabled', page.running);
}

// How the run ended, told by its status and, for a cancelled one, by what
// the program said it left on the device.
function endingOf(status, output) {
  if (status === 130 && output.includes('Interrupted: nothing was written to the target.'))
    return ['bad', CANCELLED_UNWRITTEN];
  return ENDINGS[status] || ['bad', STOPPED];
}

// The focus goes to Cancel while the update runs, then to how it ended,
// which a screen reader reads there, once.
async function update() {
  page.running = true;
  page.control = { cancelled: false };
  page.began = performance.now();
  page.announced = 0;
  $('cancel').hidden = false;
  $('cancel').disabled = false;
  $('cancel').focus();
  updateStates();
  $('progress').value = 0;
  $('progress-note').textContent = '';
  $('ending').textContent = '';
  $('ending').className = 'ending';
  const args = ['--no-pause', '--image', page.image.name];
  if ($('port').value)
    args.push('--port', $('port').value);
  const { status, output } = await runProgram(args, $('console'), page.control);
  page.lastOutput = output;
  const [kind, text] = endingOf(status, output);
  if (status === 0)
    $('progress').value = 100;
  $('ending').textContent = `${text} (exit status ${status})`;
  $('ending').className = `ending ${kind}`;
  document.body.dataset.status = status;
  page.running = false;
  $('cancel').hidden = true;
  updateStates();
  $('ending').focus();
  listPorts();
}

function cancel() {
  if (page.control)
    page.control.cancelled = true;
  $('cancel').disabled = true;
}

// Cancel cancels only when pressed for itself: a key that went down on it,
// not a repeat, once the update has run a moment; a pointer's click, or an
// assistive technology's, once it has too. A key held or pressed again
// for Update, or a double click, lands here and is let go.
function watchCancel() {
  const button = $('cancel');
  const settled = () => performance.now() - page.began >= CANCEL_SETTLE_MS;
  button.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter' && event.key !== ' ')
      return;
    if (event.repeat && page.press && page.press.key === event.key)
      return;  // the key held: the press it began stands, and Space's click comes at its release
    page.press = { key: event.key, ok: !event.repeat && settled() };
  });
  button.addEventListener('keyup', (event) => {
    if (page.press && page.press.key === event.key && event.key === ' ')
      return;  // its click follows, and takes the press
    page.press = null;
  });
  button.addEventListener('click', (event) => {
    const press = page.press;
    page.press = null;
    if (press ? press.ok : settled())
      cancel();
    event.preventDefault();
  });
}

// The file is read at once, as it is now, as far as the program reads it
// and a byte more, so that the program's own rule decides about a larger
// one. The picker is emptied, so that choosing the same file again reads it
// again. The file chosen last is the chosen one, whichever read ends last.
async function chooseImage(file) {
  if (!file || page.running)
    return;
  const choice = ++page.choices;
  const bytes = new Uint8Array(await file.slice(0, LARGEST_IMAGE_FILE + 1).arrayBuffer());
  ++page.reads;
  $('image').value = '';
  if (page.running || choice !== page.choices)
    return;
  page.image = { name: file.name, bytes };
  $('chosen').textContent = `Chosen: ${file.name}, ${file.size.toLocaleString('en')} bytes. `
    + 'Choose or drop another file to change it.';
  updateStates();
}

// The ports are listed again whenever the browser says one has come or
// gone, but not during an update.
function useAccess(access) {
  if (page.access)
    page.access.onstatechange = null;
  page.access = access;
  access.onstatechange = () => { if (!page.running) listPorts(); };
}

async function askForMidi() {
  if (typeof navigator.requestMIDIAccess !== 'function') {
    page.problem = 'This browser has no Web MIDI.';
    notice('This browser cannot talk to MIDI devices (Safari has no Web MIDI, nor has any browser on an iPhone or '
           + 'iPad). Open this page in Firefox, Chrome or Edge on a computer, or use the update program for '
           + 'Windows or Linux.');
    return;
  }
  try {
    useAccess(await navigator.requestMIDIAccess({ sysex: true }));
  } catch (error) {
    page.problem = `The browser gave no MIDI access: ${error.message}`;
    if (error.name === 'NotAllowedError' || error.name === 'SecurityError')
      notice('MIDI access was denied. Allow this page to use your MIDI devices with System Exclusive messages '
             + '(Chrome and Edge: the icon beside the address; Firefox asks, and on a site other than this '
             + 'computer first offers a small add-on that gives the site that permission), then reload it.');
    else
      notice('The browser found no MIDI system on this computer, so no device can be seen.');
  }
}

// Firefox tells a page nothing of a device plugged in after the page was
// given MIDI access, but a new request lists it: looking again asks anew.
async function lookAgain() {
  if (page.access) {
    try {
      useAccess(await navigator.requestMIDIAccess({ sysex: true }));
    } catch (error) {
      // The access there was still serves.
    }
  }
  await listPorts();
}

// Leaving the page ends the update; the browser asks first.
function guardLeaving() {
  window.addEventListener('beforeunload', (event) => {
    if (page.running)
      event.preventDefault();
  });
}

// A file dropped anywhere is the chosen one, and never opened in the tab.
function watchDrops() {
  const drop = $('drop');
  window.addEventListener('dragover', (event) => {
    event.preventDefault();
    event.dataTransfer.dropEffect = page.running ? 'none' : 'copy';
    drop.classList.toggle('over', !page.running);
  });
  window.addEventListener('dragleave', (event) => {
    if (!event.relatedTarget)
      drop.classList.remove('over');
  });
  window.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    chooseImage(event.dataTransfer.files[0]);
  });
}

async function start() {
  guardLeaving();
  watchDrops();
  watchCancel();
  $('image').addEventListener('change', (event) => chooseImage(event.target.files[0]));
  $('update').addEventListener('click', update);
  $('port').addEventListener('change', () => {
    page.chosen = $('port').value || page.chosen;
    updateStates();
  });
  $('look').addEventListener('click', lookAgain);
  await askForMidi();
  await listPorts();
  document.body.dataset.ready = 'yes';
}

start();

// The browser's side of the Web MIDI provider (webmidi.h). The page gives
// the module its MIDIAccess as Module.midiAccess, or null with the reason
// as Module.midiProblem. Module.wakes counts the program's waits that have
// ended, so that the page can tell a program that runs from one that has
// stopped without an exit.
mergeInto(LibraryManager.library, {
  $WebMidi: {
    ports: null,     // [outputs, inputs], fixed for the run
    input: null,
    output: null,
    received: [],    // messages waiting for the program's next wait
    pause: null,     // the channel a pause's timer is started from, ...
    paused: null,    // ... the pause's length and wake-up, and ...
    nested: 0,       // ... how many pauses started their timers at once since

    list: function(input) {
      if (WebMidi.ports === null) {
        var access = Module['midiAccess'];
        WebMidi.ports = access ? [Array.from(access.outputs.values()), Array.from(access.inputs.values())]
                               : [[], []];
      }
      return WebMidi.ports[input ? 1 : 0];
    },

    receive: function(event) {
      if (event.data.length > 0 && event.data[0] === 0xF0)
        WebMidi.received.push(new Uint8Array(event.data));
    },

    // The program no longer uses the port: nothing more of it reaches the
    // program. Gives the port, or null.
    forget: function(input) {
      var port = input ? WebMidi.input : WebMidi.output;
      if (port !== null && input)
        port.onmidimessage = null;
      if (input)
        WebMidi.input = null;
      else
        WebMidi.output = null;
      return port;
    },

    // Gives the tab back to the browser until start's callback is called.
    // Once main has waited, its return ends a later task, not the first
    // call: the run is ended (Module.onExit) when it does; an exit() inside
    // it has ended the run already.
    suspend: function(start) {
      return Asyncify.handleSleep(function(wakeUp) {
        if (!Asyncify.asyncPromiseHandlers) {
          Asyncify.whenDone().then(function(status) {
            callUserCallback(function() { _exit(status); });
          }, function(error) {
            if (!(error instanceof ExitStatus))
              throw error;
          });
        }
        start(function(value) {
          Module['wakes'] = (Module['wakes'] || 0) + 1;
          wakeUp(value);
        });
      });
    },
  },
  $WebMidi__deps: ['$callUserCallback', 'exit'],

  WebMidiCount__deps: ['$WebMidi'],
  WebMidiCount: function(input) {
    return WebMidi.list(input).length;
  },

  WebMidiName__deps: ['$WebMidi'],
  WebMidiName: function(input, id, name, size) {
    stringToUTF8(WebMidi.list(input)[id].name || '', name, size);
  },

  WebMidiId__deps: ['$WebMidi'],
  WebMidiId: function(input, id, portId, size) {
    stringToUTF8(WebMidi.list(input)[id].id || '', portId, size);
  },

  WebMidiProblem: function(text, size) {
    if (Module['midiAccess'])
      return 0;
    stringToUTF8((Module['midiProblem'] || 'The browser gives this page no MIDI access.') + '\n', text, size);
    return 1;
  },

  // Waits until the browser has opened the port: a port that is gone or
  // refused fails the open, as a missing device does.
  WebMidiOpen__deps: ['$WebMidi'],
  WebMidiOpen: function(input, id) {
    var port = WebMidi.list(input)[id];
    return WebMidi.suspend(function(wakeUp) {
      if (port.state !== 'connected')
        return wakeUp(1);
      if (input) {
        WebMidi.received = [];
        port.onmidimessage = WebMidi.receive;
        WebMidi.input = port;
      } else {
        WebMidi.output = port;
      }
      port.open().then(function() { wakeUp(0); }, function() {
        WebMidi.forget(input);
        wakeUp(1);
      });
    });
  },

  WebMidiClose__deps: ['$WebMidi'],
  WebMidiClose: function(input) {
    var port = WebMidi.forget(input);
    if (port !== null)
      port.close().catch(function() {});
  },

  WebMidiSend__deps: ['$WebMidi'],
  WebMidiSend: function(bytes, size) {
    var port = WebMidi.output;
    if (port === null || port.state !== 'connected')
      return 1;
    try {
      port.send(HEAPU8.slice(bytes, bytes + size));
    } catch (e) {
      return 1;
    }
    return 0;
  },

  WebMidiTake__deps: ['$WebMidi'],
  WebMidiTake: function(bytes, size) {
    var message = WebMidi.received.shift();
    if (message === undefined)
      return 0;
    HEAPU8.set(message.subarray(0, Math.min(size, message.length)), bytes);
    return message.length;
  },

  WebMidiNow: function() {
    return performance.now();
  },

  WebMidiCancelled: function() {
    return Module['cancelled'] ? 1 : 0;
  },

  // Browsers clamp a timer to 4 ms once timers have started timers a few
  // times over, which pauses one after another would soon be (Firefox
  // clamps the fifth so started after a message, tried); a timer started
  // from a message task is not nested in a timer. So every fourth pause
  // posts a message first and starts its timer from there, isolated or
  // not; the others start theirs at once, which costs less. Nothing ends
  // the wait early.
  WebMidiSleep__deps: ['$WebMidi'],
  WebMidiSleep: function(ms) {
    return WebMidi.suspend(function(wakeUp) {
      if (WebMidi.pause === null) {
        WebMidi.pause = new MessageChannel();
        WebMidi.pause.port1.onmessage = function() { setTimeout(WebMidi.paused.wakeUp, WebMidi.paused.ms); };
      }
      if (++WebMidi.nested < 4)
        return setTimeout(wakeUp, ms);
      WebMidi.nested = 0;
      WebMidi.paused = {ms: ms, wakeUp: wakeUp};
      WebMidi.pause.port2.postMessage(null);
    });
  },
});

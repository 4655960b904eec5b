// The view mode settings page: a client of POST /panetessel/api and nothing
// else. It shows what the camera stores as the mode in effect, switches it,
// and reads it again now and then, because other clients and the channels'
// rotation can change what is in effect or allowed.
(function () {
  'use strict';

  // Relative, so that the page works under whatever prefix the camera's web
  // server gives the application.
  const API = 'api';
  const API_VERSION = '1.0';
  // The service's own calls into the platform may take their time.
  const TIMEOUT_MS = 30000;
  // Gentle on a small camera: one read every few seconds while the page is
  // visible, never two requests at once. After failures a little slower,
  // but not so slow that a camera back from an outage waits for the page:
  // it shows the mode again within RETRY_MS of the camera answering.
  const POLL_MS = 5000;
  const RETRY_MS = 8000;
  // Back in front or online again: read at once, unless a read was just made.
  const SETTLE_MS = 1000;

  const MODES = {single: 'Single', quad: 'Quad'};
  const ROTATED_REASON = 'Not available while a video channel is rotated by 90 or 270 degrees.';
  // A rotation does not undo the mode in effect: it stays until another is chosen.
  const kept = (data) => {
    const others = data.viewModes.filter((m) => m !== data.current).map(modeName);
    return modeName(data.current) + ' stays in effect, but a video channel is rotated by 90 or 270 degrees: ' +
      'once left, ' + modeName(data.current) + ' cannot be chosen again until that rotation ends.' +
      (others.length ? ' ' + others.join(' or ') + ' can still be chosen.' : '');
  };
  // Why the camera's web server refuses a call, and what to do about it.
  const REFUSALS = {
    401: 'sign-in needed): no name and password were given, or the name or password is wrong. ' +
      'Reload the page and sign in with an operator or administrator account.',
    403: 'forbidden): this account may not change the camera, or the call did not come from the camera\'s ' +
      'own page. Sign in with an operator or administrator account, on the page the camera itself serves.',
    421: 'misdirected request): the camera does not answer to the address this page was opened with. ' +
      'Open the page by the camera\'s IP address or by a name the camera is set up for.',
    429: 'too many failed sign-ins from this address): the camera turns this address away for a minute. ' +
      'Try again in a minute.',
  };

  const $ = (id) => document.getElementById(id);
  const modes = $('modes');
  const currentText = $('current');
  const statusText = $('status');
  const problems = $('problems');
  const messages = $('messages');
  const radios = Array.from(document.querySelectorAll('input[name="mode"]'));

  let info = null;          // the last getViewModeInfo data that was read
  let switching = false;    // a switch is on its way
  let reading = null;       // the read on its way, if any
  let pending = null;       // the mode being switched to
  let readProblem = null;   // why the last read failed; cleared by a good read
  let switchProblem = null; // why the last switch failed; kept until the next one
  let unsettled = null;     // a switch whose outcome is not known: it was not read back
  let failures = 0;
  let lastRead = 0;
  let timer = 0;

  const modeName = (name) => MODES[name] || '"' + name + '"';

  // One API call. Resolves to the method's data; rejects with a failure
  // object: {kind: 'api', code, message}, {kind: 'http', status},
  // {kind: 'network'} or {kind: 'unreadable'}.
  async function call(method, params) {
    const request = {apiVersion: API_VERSION, method: method};
    if (params) request.params = params;
    const abort = new AbortController();
    const timeout = setTimeout(() => abort.abort(), TIMEOUT_MS);
    try {
      let reply;
      try {
        reply = await fetch(API, {
          method: 'POST',
          headers: {'Content-Type': 'application/json'},
          body: JSON.stringify(request),
          cache: 'no-store',
          credentials: 'same-origin',
          signal: abort.signal,
        });
      } catch (e) {
        throw {kind: 'network'};
      }
      if (!reply.ok) throw {kind: 'http', status: reply.status, text: reply.statusText};
      let answer;
      try {
        answer = await reply.json();
      } catch (e) {
        throw abort.signal.aborted ? {kind: 'network'} : {kind: 'unreadable'};
      }
      if (answer && answer.error) {
        throw {kind: 'api', code: answer.error.code, message: answer.error.message};
      }
      if (!answer || typeof answer.data !== 'object' || answer.data === null) throw {kind: 'unreadable'};
      return answer.data;
    } finally {
      clearTimeout(timeout);
    }
  }

  // What a person is told when a call fails, with the code to quote.
  function explain(failure, method, mode) {
    if (!failure || !failure.kind) failure = {kind: 'unreadable'};
    const setting = method === 'setViewMode';
    const what = setting ? 'switch to ' + modeName(mode) : 'request for the view mode';
    switch (failure.kind) {
      case 'network':
        return 'The camera did not answer the ' + what + ' (network failure). ' +
          (setting ? 'The switch may or may not have been made; the page reads the mode again when the camera answers.'
                   : 'Check the connection to the camera; the page tries again by itself.');
      case 'http':
        if (failure.status === 500) {
          return 'The camera\'s view mode service failed on the ' + what + ' (HTTP 500, internal failure). ' +
            (setting ? 'Whether the switch was made is not known; the mode shown below is read again.'
                     : 'The page tries again by itself.');
        }
        // The camera's web server refused the call before it reached the
        // service, so a refused switch changed nothing.
        if (REFUSALS[failure.status]) {
          return 'The camera\'s web server refused the ' + what + ' (HTTP ' + failure.status + ', ' +
            REFUSALS[failure.status] + (setting ? ' Nothing was changed.' : '');
        }
        return 'The camera answered the ' + what + ' with HTTP ' + failure.status +
          (failure.text ? ' ' + failure.text : '') + '.';
      case 'unreadable':
        return 'The camera\'s answer to the ' + what + ' could not be read.';
    }
    switch (failure.code) {
      case 1000:
        return modeName(mode) + ' is not allowed now (error 1000). A video channel may have been rotated by ' +
          '90 or 270 degrees, or the camera could not tell whether one is. Nothing was changed; ' +
          'the choices below show what is allowed now.';
      case 2001:
        return 'This account may not ' + (setting ? 'change' : 'see or change') +
          ' the view mode (error 2001, access forbidden). Sign in with an operator or administrator account.';
      case 8000:
        return setting
          ? 'The camera could not apply ' + modeName(mode) + ' (error 8000, internal error). It may have ' +
            'been applied in part, and nothing is undone: the picture may already show ' + modeName(mode) +
            ' while the image setting or the stored mode did not follow. "In effect" shows the stored mode; ' +
            'choose a mode again to bring everything in line.'
          : 'The camera could not tell which view modes are allowed now (error 8000, internal error): ' +
            'it could not check how the video channels are rotated. The page tries again by itself.';
    }
    return 'The camera refused the ' + what + ' (error ' + failure.code + ': ' +
      String(failure.message).replace(/\.$/, '') + ').';
  }

  // A message that appears is brought into view: on a phone it may be
  // below the bottom of the screen.
  function reveal() {
    const still = window.matchMedia('(prefers-reduced-motion: reduce)').matches;
    messages.scrollIntoView({block: 'nearest', behavior: still ? 'auto' : 'smooth'});
  }

  function say(text) {
    if (statusText.textContent === text) return;
    statusText.textContent = text;
    if (text) reveal();
  }

  function render() {
    // What the last read told, while it still holds: after a failed read
    // the page does not know what is in effect.
    const known = info && !readProblem ? info : null;
    const allowed = known ? known.viewModes : [];
    currentText.textContent = known ? modeName(known.current) : (readProblem ? 'not known' : 'reading…');
    for (const radio of radios) {
      const reason = $('reason-' + radio.value);
      const possible = allowed.includes(radio.value);
      // The mode in effect stays an enabled, checked choice even when it
      // could not be chosen now: shown greyed, it would read as not in effect.
      const inEffect = known && known.current === radio.value;
      radio.checked = (pending || (known && known.current)) === radio.value;
      radio.disabled = !possible && !inEffect;
      // Emptied too, not only hidden: a description is read out even when hidden.
      reason.hidden = possible || !known;
      reason.textContent = reason.hidden ? '' : inEffect ? kept(known) : ROTATED_REASON;
      reason.classList.toggle('note', !reason.hidden && inEffect);
    }
    // Nothing can be chosen while a call is on its way or the camera's
    // answer is not known: a second press would race the first.
    modes.disabled = switching || !known;
    modes.setAttribute('aria-busy', switching ? 'true' : 'false');
    // Unchanged problems are left alone, or every poll would announce them again.
    const list = [switchProblem, readProblem].filter(Boolean);
    if (list.join('\n') === Array.from(problems.children, (p) => p.textContent).join('\n')) return;
    problems.replaceChildren(...list.map((text) => {
      const p = document.createElement('p');
      p.className = 'problem';
      p.textContent = text;
      return p;
    }));
    if (list.length) reveal();
  }

  function readable(data) {
    return typeof data.current === 'string' && Array.isArray(data.viewModes);
  }

  // Reads getViewModeInfo; tells what changed since the last read unless
  // the page itself changed it.
  async function read(announce) {
    const before = info;
    try {
      const data = await call('getViewModeInfo');
      if (!readable(data)) throw {kind: 'unreadable'};
      info = data;
      readProblem = null;
      failures = 0;
      if (unsettled) {
        // The mode in effect answers what the failed switch left open, so
        // its failure is no longer news.
        say('The camera answers again: ' + modeName(info.current) + ' is in effect' +
            (info.current === unsettled ? '.' : ', not ' + modeName(unsettled) + '.'));
        switchProblem = null;
        unsettled = null;
      } else if (!announce || !before) {
        // nothing to tell
      } else if (before.current !== info.current) {
        say('Changed elsewhere: ' + modeName(info.current) + ' is in effect now.');
      } else if (before.viewModes.join() !== info.viewModes.join()) {
        const gone = Object.keys(MODES).filter((m) => before.viewModes.includes(m) && !info.viewModes.includes(m));
        say(gone.includes(info.current) ? kept(info)
          : gone.length ? modeName(gone[0]) + ' is not available now.' : 'All view modes are available again.');
      }
    } catch (failure) {
      readProblem = explain(failure, 'getViewModeInfo');
      failures++;
    }
    lastRead = Date.now();
  }

  // One read at a time; a read asked for meanwhile shares it.
  function refresh() {
    if (!reading && !switching) {
      clearTimeout(timer);
      reading = read(true).then(() => {
        reading = null;
        render();
        schedule();
      });
    }
    return reading;
  }

  async function change(mode) {
    if (switching) return;
    const hadFocus = document.activeElement;
    switching = true;
    pending = mode;
    clearTimeout(timer);
    switchProblem = null;
    unsettled = null;
    render();
    say('Switching to ' + modeName(mode) + '…');
    if (reading) await reading; // a poll on its way ends first
    let done = false;
    try {
      await call('setViewMode', {value: mode});
      done = true;
    } catch (failure) {
      switchProblem = explain(failure, 'setViewMode', mode);
    }
    // Whatever the answer, show what the camera holds now.
    await read(false);
    if (readProblem) unsettled = mode;
    if (!done) say('The switch to ' + modeName(mode) + ' failed.');
    else if (readProblem) say('Switched to ' + modeName(mode) + '; what is in effect could not be read back.');
    else if (info.current === mode) say(modeName(mode) + ' is in effect now.');
    else say('The camera took the switch, but reports ' + modeName(info.current) + ' as in effect.');
    switching = false;
    pending = null;
    render();
    // Disabling the group took the focus away; a keyboard user gets it back.
    if (radios.includes(hadFocus)) (radios.find((r) => r.checked && !r.disabled) || hadFocus).focus();
    schedule();
  }

  function schedule() {
    clearTimeout(timer);
    if (document.visibilityState !== 'visible') return;
    timer = setTimeout(refresh, failures < 2 ? POLL_MS : RETRY_MS);
  }

  // Back in front or back online: read now, or as soon as a read just made
  // has settled.
  function regained() {
    clearTimeout(timer);
    if (document.visibilityState !== 'visible') return;
    const wait = lastRead + SETTLE_MS - Date.now();
    if (wait <= 0) refresh();
    else timer = setTimeout(refresh, wait);
  }

  for (const radio of radios) radio.addEventListener('change', () => radio.checked && change(radio.value));
  document.addEventListener('visibilitychange', regained);
  window.addEventListener('focus', regained);
  window.addEventListener('online', regained);
  refresh();
})();

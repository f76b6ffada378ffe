// The one way out of the page: script messages on the "nimbra" handler.
// Without a host (page opened on its own) messages are dropped quietly.
(function (N) {
  'use strict';

  function post(body) {
    const handler = window.webkit && window.webkit.messageHandlers &&
      window.webkit.messageHandlers.nimbra;
    if (!handler || typeof handler.postMessage !== 'function') return;
    try {
      handler.postMessage(body);
    } catch (_) {
      // The host going away mid-call is not the user's problem.
    }
  }

  N.bridge = { post };
})(window.NimbraPage = window.NimbraPage || {});

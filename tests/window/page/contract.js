// The window tests' page: it posts what the test asks for and defines renderNimbra only on
// request, so the readiness probe can be seen turning true.
(function () {
  'use strict';
  function post(body) { window.webkit.messageHandlers.nimbra.postMessage(body); }
  window.contract = {
    post: post,
    defineRender: function () {
      window.renderNimbra = function (state) { post({ action: 'rendered', state: state }); };
    },
    // Counts and keeps the states without answering: the view's own cost per push alone.
    defineQuietRender: function () {
      window.received = [];
      window.renderNimbra = function (state) { window.received.push(state.n); };
    },
    report: function () { post({ action: 'report', received: window.received }); },
    addFrame: function (attributes) {
      const frame = document.createElement('iframe');
      for (const name in attributes) frame.setAttribute(name, attributes[name]);
      document.body.appendChild(frame);
    },
    later: function (body, ms) { setTimeout(function () { post(body); }, ms); },
  };
})();

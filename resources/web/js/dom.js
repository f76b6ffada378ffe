// Element builders. Every value from the screen state reaches the document
// through these helpers as a text node or an attribute value, never as markup.
(function (N) {
  'use strict';

  const SVG_NS = 'http://www.w3.org/2000/svg';

  function applyAttrs(el, attrs) {
    if (!attrs) return;
    for (const [name, value] of Object.entries(attrs)) {
      if (value === undefined || value === null || value === false) continue;
      if (name === 'text') {
        el.textContent = String(value);
      } else if (name === 'class') {
        el.setAttribute('class', Array.isArray(value) ? value.filter(Boolean).join(' ') : value);
      } else if (name.startsWith('on') && typeof value === 'function') {
        el.addEventListener(name.slice(2), value);
      } else if (name === 'disabled' || name === 'checked') {
        el[name] = Boolean(value);
      } else {
        el.setAttribute(name, value === true ? '' : String(value));
      }
    }
  }

  function append(el, children) {
    for (const child of children.flat(Infinity)) {
      if (child === undefined || child === null || child === false) continue;
      el.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
  }

  // h('p', {class: 'x'}, 'text', otherNode): strings become text nodes.
  function h(tag, attrs, ...children) {
    const el = document.createElement(tag);
    applyAttrs(el, attrs);
    append(el, children);
    return el;
  }

  function svg(tag, attrs, ...children) {
    const el = document.createElementNS(SVG_NS, tag);
    applyAttrs(el, attrs);
    append(el, children);
    return el;
  }

  // Ids restart with every redraw, so equal states give equal documents.
  let idCounter = 0;
  function resetIds() {
    idCounter = 0;
  }
  function uid(prefix) {
    idCounter += 1;
    return `${prefix}-${idCounter}`;
  }

  N.dom = { h, svg, uid, resetIds };
})(window.NimbraPage = window.NimbraPage || {});

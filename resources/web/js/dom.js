// Element builders. Every value from the screen state reaches the document
// through these helpers as a text node or an attribute value, never as markup.
(function (N) {
  'use strict';

  const SVG_NS = 'http://www.w3.org/2000/svg';

  // An element's handlers live in a table the one listener per event type looks up, so
  // patching an element in place (below) can hand it the handlers of its replacement.
  function dispatch(event) {
    const handler = this.nimbraHandlers && this.nimbraHandlers[event.type];
    if (handler) handler.call(this, event);
  }

  function listen(el, type, handler) {
    if (!el.nimbraHandlers) el.nimbraHandlers = {};
    if (!(type in el.nimbraHandlers)) el.addEventListener(type, dispatch);
    el.nimbraHandlers[type] = handler;
  }

  function applyAttrs(el, attrs) {
    if (!attrs) return;
    for (const [name, value] of Object.entries(attrs)) {
      if (value === undefined || value === null || value === false) continue;
      if (name === 'text') {
        el.textContent = String(value);
      } else if (name === 'class') {
        el.setAttribute('class', Array.isArray(value) ? value.filter(Boolean).join(' ') : value);
      } else if (name.startsWith('on') && typeof value === 'function') {
        listen(el, name.slice(2), value);
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

  // Patching: a freshly built tree is not put in place of the one on screen; the one on
  // screen is changed where it differs, so a state that changes one figure changes one text
  // node, and layout, paint and the screen reader see only that. Elements stay (with their
  // focus, selection, scroll and open state) unless their kind changed.

  // Children are matched by position, tag and the keys that say what an element is for.
  function sameKind(a, b) {
    if (a.nodeType !== b.nodeType || a.nodeName !== b.nodeName) return false;
    if (a.nodeType !== Node.ELEMENT_NODE) return true;
    return a.getAttribute('data-role') === b.getAttribute('data-role') &&
      a.getAttribute('data-focus') === b.getAttribute('data-focus') &&
      a.getAttribute('role') === b.getAttribute('role');
  }

  // Attributes the user changes and no build sets: what the user did stays.
  const USER_OWNED = { DETAILS: 'open' };

  function patchAttributes(current, wanted) {
    const kept = USER_OWNED[current.nodeName];
    for (const { name } of [...current.attributes]) {
      if (name !== kept && !wanted.hasAttribute(name)) current.removeAttribute(name);
    }
    for (const { name, value } of wanted.attributes) {
      if (current.getAttribute(name) === value) continue;
      if (name === 'points' && current.points) patchPoints(current, wanted);
      else if (name === 'style') current.style.cssText = value;  // the page's policy refuses style attributes
      else current.setAttribute(name, value);
    }
    if (current.nodeName === 'INPUT' && current.checked !== wanted.checked) current.checked = wanted.checked;
    if (wanted.nimbraHandlers) {
      for (const type of Object.keys(wanted.nimbraHandlers)) {
        if (!current.nimbraHandlers || !(type in current.nimbraHandlers)) current.addEventListener(type, dispatch);
      }
    }
    current.nimbraHandlers = wanted.nimbraHandlers;
  }

  // A line that gained a point at its end (and lost some at its start) changes by those
  // points only, not by a new list.
  function patchPoints(current, wanted) {
    const list = current.points;
    const next = wanted.points;
    const same = (a, b) => a.x === b.x && a.y === b.y;
    let drop = 0;
    while (drop < list.numberOfItems && next.numberOfItems && !same(list.getItem(drop), next.getItem(0))) drop += 1;
    if (drop === list.numberOfItems) drop = 0;
    for (let i = 0; i < drop; ++i) list.removeItem(0);
    const point = (p) => {
      const q = current.ownerSVGElement.createSVGPoint();
      q.x = p.x;
      q.y = p.y;
      return q;
    };
    for (let i = 0; i < next.numberOfItems; ++i) {
      const p = next.getItem(i);
      if (i >= list.numberOfItems) list.appendItem(point(p));
      else if (!same(list.getItem(i), p)) list.replaceItem(point(p), i);
    }
    while (list.numberOfItems > next.numberOfItems) list.removeItem(list.numberOfItems - 1);
  }

  function patchNode(current, wanted) {
    if (current.nodeType === Node.ELEMENT_NODE) {
      patchAttributes(current, wanted);
      patchChildren(current, [...wanted.childNodes]);
    } else if (current.data !== wanted.data) {
      current.data = wanted.data;
    }
  }

  // Makes `parent`'s children look like `wanted` (nodes not in the document).
  function patchChildren(parent, wanted) {
    let i = 0;
    for (; i < wanted.length; ++i) {
      const current = parent.childNodes[i];
      const next = wanted[i];
      if (!current) {
        parent.append(next);
      } else if (sameKind(current, next)) {
        patchNode(current, next);
      } else if (parent.childNodes[i + 1] && sameKind(parent.childNodes[i + 1], next)) {
        current.remove();  // one node went away
        patchNode(parent.childNodes[i], next);
      } else if (wanted[i + 1] && sameKind(current, wanted[i + 1])) {
        parent.insertBefore(next, current);  // one node came in
      } else {
        parent.replaceChild(next, current);
      }
    }
    while (parent.childNodes.length > wanted.length) parent.lastChild.remove();
  }

  N.dom = { h, svg, uid, resetIds, patchChildren };
})(window.NimbraPage = window.NimbraPage || {});

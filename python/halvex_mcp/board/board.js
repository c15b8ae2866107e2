// The board's page: one server-sent event stream of bounded snapshots. A
// snapshot comes at least every 5 s; without one for SILENT ms, or when the
// stream fails, the page says it is disconnected and keeps reconnecting.
"use strict";
(function () {
  var SILENT = 12000;
  var RETRY = 2000;
  var CUT = 120;         // characters of one value shown in an activity line
  var source = null;
  var lastHeard = 0;
  var last = null;       // the latest snapshot
  var offset = 0;        // server clock minus ours, in seconds
  var downSince = null;

  function $(id) { return document.getElementById(id); }

  // Characters that show as nothing, or that reorder or disguise the text
  // around them (controls, bidi marks and overrides, zero-width and unusual
  // spaces, tags), and spaces at either end: "\u202Eecila" and "alice\u200b"
  // must not both read as alice.
  var HIDDEN = new RegExp("[\\0-\\x1f\\x7f-\\xa0\\xad\\u034f\\u061c\\u115f\\u1160\\u17b4\\u17b5" +
    "\\u180b-\\u180f\\u2000-\\u200f\\u2028-\\u202f\\u205f-\\u206f\\u3000\\u3164\\ufe00-\\ufe0e" +
    "\\ufeff\\uffa0\\ufff0-\\ufffb\\u{e0000}-\\u{e007f}]|^ +| +$", "gu");

  function escapes(chars) {
    return Array.from(chars, function (ch) {
      var hex = ch.codePointAt(0).toString(16).toUpperCase();
      return hex.length > 4 ? "\\u{" + hex + "}" : "\\u" + ("000" + hex).slice(-4);
    }).join("");
  }

  // The text with each hidden character spelled as an escape.
  function escaped(text) { return String(text).replace(HIDDEN, escapes); }

  // The same as nodes: the escapes in their own style, so that they cannot be
  // taken for the text's own backslashes.
  function visible(text) {
    var out = document.createDocumentFragment();
    var str = String(text);
    var at = 0;
    str.replace(HIDDEN, function (found, index) {
      if (index > at) { out.appendChild(document.createTextNode(str.slice(at, index))); }
      var esc = document.createElement("span");
      esc.className = "esc";
      esc.textContent = escapes(found);
      out.appendChild(esc);
      at = index + found.length;
      return found;
    });
    if (at < str.length) { out.appendChild(document.createTextNode(str.slice(at))); }
    return out;
  }

  // A cell for a name that a client chose: escaped, cut to the column's width
  // by the style sheet, and whole in its title.
  function textCell(row, value, cls) {
    var td = cell(row, "", "text" + (cls ? " " + cls : ""));
    td.appendChild(visible(value));
    td.title = escaped(value);
    return td;
  }

  function cell(row, text, cls) {
    var td = document.createElement("td");
    td.textContent = text;
    if (cls) { td.className = cls; }
    row.appendChild(td);
    return td;
  }

  function span(duration) {
    var s = Math.max(0, Math.round(duration));
    if (s < 60) { return s + " s"; }
    if (s < 3600) { return Math.floor(s / 60) + " min " + (s % 60) + " s"; }
    return Math.floor(s / 3600) + " h " + Math.floor((s % 3600) / 60) + " min";
  }

  function clock(seconds) {
    var d = new Date(seconds * 1000);
    return d.toLocaleTimeString([], { hour12: false });
  }

  function serverNow() { return Date.now() / 1000 + offset; }

  function setState(state, text) {
    document.body.setAttribute("data-state", state);
    $("conn").textContent = text;
  }

  function renderLeases(snap, now) {
    var body = $("leases").tBodies[0];
    var rows = document.createDocumentFragment();
    snap.leases.forEach(function (l) {
      var tr = document.createElement("tr");
      var expired = !l.live || l.expires_at <= now;
      tr.className = expired ? "expired" : "live";
      tr.setAttribute("data-key", l.resource_key);
      textCell(tr, l.resource_key, "key");
      textCell(tr, l.holder);
      cell(tr, String(l.token), "num");
      cell(tr, span(now - l.granted_at), "num");
      cell(tr, expired ? "expired " + span(now - l.expires_at) + " ago"
                       : span(l.expires_at - now), "num exp");
      rows.appendChild(tr);
    });
    showRows(body, rows, "lease-count", "leases-more", snap.leases.length, snap.more_leases);
  }

  // A table's new rows, its count (shown and not) and the note on the rows left out.
  function showRows(body, rows, countId, moreId, shown, notShown) {
    body.replaceChildren(rows);
    $(countId).textContent = "(" + (shown + notShown) + ")";
    var more = $(moreId);
    more.hidden = !notShown;
    more.textContent = notShown + " more not shown";
  }

  function renderAgents(snap, now) {
    var body = $("agents").tBodies[0];
    var rows = document.createDocumentFragment();
    snap.agents.forEach(function (a) {
      var tr = document.createElement("tr");
      var quiet = a.last_seen === null || now - a.last_seen > snap.quiet_after;
      tr.className = quiet ? "quiet" : "seen";
      tr.setAttribute("data-agent", a.agent_id);
      textCell(tr, a.agent_id);
      var word = document.createElement("span");
      word.className = "word " + a.status;
      word.textContent = a.status;
      cell(tr, "").appendChild(word);
      cell(tr, a.last_seen === null ? "never"
               : span(now - a.last_seen) + " ago" + (quiet ? " (quiet)" : ""), "seen");
      cell(tr, String(a.inbox), "num");
      cell(tr, String(a.pending), "num");
      cell(tr, String(a.leases), "num");
      rows.appendChild(tr);
    });
    showRows(body, rows, "agent-count", "agents-more", snap.agents.length, snap.more_agents);
  }

  // The cells after a task's id and title, by its state.
  var TASK_CELLS = {
    ready: function (tr, t, now) { cell(tr, span(now - t.added_at) + " ago", "num"); },
    blocked: function (tr, t) {
      textCell(tr, t.waits_for.join(", ") + (t.more_waits ? " and " + t.more_waits + " more" : ""),
               "key");
    },
    held: function (tr, t, now) {
      textCell(tr, t.holder === null ? "" : t.holder);
      cell(tr, String(t.token), "num");
      cell(tr, t.expires_at === null ? "" : span(t.expires_at - now), "num exp");
    },
    done: function (tr, t) { textCell(tr, t.holder === null ? "" : t.holder); textCell(tr, t.outcome); },
    failed: function (tr, t) { textCell(tr, t.holder === null ? "" : t.holder); textCell(tr, t.outcome); }
  };

  // The Tasks panel: one table a state, each hidden when empty, the panel
  // hidden when there are no tasks at all.
  function renderTasks(snap, now) {
    var tasks = snap.tasks || {};
    var more = snap.more_tasks || {};
    var total = 0;
    Object.keys(TASK_CELLS).forEach(function (state) {
      var list = tasks[state] || [];
      var hidden = more[state] || 0;
      var box = $("tasks-" + state);
      var rows = document.createDocumentFragment();
      list.forEach(function (t) {
        var tr = document.createElement("tr");
        tr.setAttribute("data-task", t.task_id);
        textCell(tr, t.task_id, "key");
        textCell(tr, t.title);
        TASK_CELLS[state](tr, t, now);
        rows.appendChild(tr);
      });
      box.querySelector("tbody").replaceChildren(rows);
      box.querySelector("h3 .muted").textContent = "(" + (list.length + hidden) + ")";
      var note = box.querySelector(".more");
      note.hidden = !hidden;
      note.textContent = hidden + " more not shown";
      box.hidden = !(list.length + hidden);
      total += list.length + hidden;
    });
    $("tasks").hidden = !total;
    $("task-count").textContent = "(" + total + ")";
  }

  // A value in an activity line: its first CUT characters (code points).
  function cut(value) {
    var chars = Array.from(String(value));
    return chars.length > CUT ? chars.slice(0, CUT - 1).join("") + "\u2026" : String(value);
  }

  // A record as words (strings) and values from clients ([value]).
  function describe(r) {
    if (r.kind === "claimed" || r.kind === "released") { return [[r.key], " by ", [r.agent]]; }
    if (r.kind === "sent") { return [[r.from], " \u2192 ", [r.to], ": ", [r.content]]; }
    if (r.kind === "broadcast") { return [[r.from], " \u2192 everyone: ", [r.content]]; }
    return [[JSON.stringify(r)]];
  }

  function renderActivity(snap) {
    var items = document.createDocumentFragment();
    snap.activity.forEach(function (r) {
      var li = document.createElement("li");
      var at = document.createElement("span");
      at.className = "at";
      at.textContent = typeof r.at === "number" ? clock(r.at) : "";
      var kind = document.createElement("span");
      kind.className = "kind " + r.kind;
      kind.textContent = r.kind;
      li.appendChild(at);
      li.appendChild(kind);
      var title = [];
      describe(r).forEach(function (part) {
        var word = typeof part === "string";
        li.appendChild(word ? document.createTextNode(part) : visible(cut(part[0])));
        title.push(word ? part : escaped(part[0]));
      });
      li.title = title.join("");
      items.appendChild(li);
    });
    $("activity").replaceChildren(items);
  }

  function render() {
    if (!last) { return; }
    var now = serverNow();
    renderLeases(last, now);
    renderAgents(last, now);
    renderTasks(last, now);
    $("clock").textContent = "server time " + clock(now);
  }

  function onSnapshot(event) {
    var snap = JSON.parse(event.data);
    lastHeard = Date.now();
    offset = snap.now - Date.now() / 1000;
    last = snap;
    downSince = null;
    setState("live", "live");
    var problem = $("problem");
    problem.hidden = !snap.error;
    problem.textContent = snap.error ? "the state cannot be read: " + snap.error : "";
    render();
    renderActivity(snap);
  }

  function down() {
    if (downSince === null) { downSince = Date.now(); }
    setState("disconnected", "disconnected since " + clock(downSince / 1000) +
             ": reconnecting\u2026");
  }

  function connect() {
    if (source) { source.close(); }
    lastHeard = Date.now();
    source = new EventSource("/board/events");
    source.addEventListener("snapshot", onSnapshot);
    source.onerror = function () {
      down();
      // A refused reconnection closes the source for good: open a new one.
      if (source.readyState === EventSource.CLOSED) {
        setTimeout(connect, RETRY);
      }
    };
  }

  setInterval(function () {
    if (Date.now() - lastHeard > SILENT) {
      down();
      connect();
    }
    if (document.body.getAttribute("data-state") === "live") { render(); }
  }, 1000);
  connect();
}());

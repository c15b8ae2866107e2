// The board's page: one server-sent event stream of bounded snapshots. A
// snapshot comes at least every 5 s; without one for SILENT ms, or when the
// stream fails, the page says it is disconnected and keeps reconnecting.
"use strict";
(function () {
  var SILENT = 12000;
  var RETRY = 2000;
  var source = null;
  var lastHeard = 0;
  var last = null;       // the latest snapshot
  var offset = 0;        // server clock minus ours, in seconds
  var downSince = null;

  function $(id) { return document.getElementById(id); }

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
      cell(tr, l.resource_key, "key").title = l.resource_key;
      cell(tr, l.holder);
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
      cell(tr, a.agent_id);
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

  function describe(r) {
    if (r.kind === "claimed" || r.kind === "released") { return r.key + " by " + r.agent; }
    if (r.kind === "sent") { return r.from + " \u2192 " + r.to + ": " + r.content; }
    if (r.kind === "broadcast") { return r.from + " \u2192 everyone: " + r.content; }
    return JSON.stringify(r);
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
      li.appendChild(document.createTextNode(describe(r)));
      items.appendChild(li);
    });
    $("activity").replaceChildren(items);
  }

  function render() {
    if (!last) { return; }
    var now = serverNow();
    renderLeases(last, now);
    renderAgents(last, now);
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

#include "web/status_page.h"

// Every value from the daemon goes into the page as textContent, never as
// markup: plate texts are outside input. The documents are parsed as XML, so
// the escaped plate texts show as they were sent.
const char kStatusPage[] = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kanzo_zul status</title>
<style>
body{margin:0;font:16px/1.4 system-ui,sans-serif;background:#eef1f4;color:#16202a}
header{background:#16202a;color:#fff;padding:.6rem 1rem;display:flex;flex-wrap:wrap;
justify-content:space-between;gap:.5rem}
h1{font-size:1.1rem;margin:0}
#updated{font-size:.85rem;opacity:.8}
main{display:grid;gap:.75rem;padding:.75rem;max-width:62rem;
grid-template-columns:repeat(auto-fit,minmax(17rem,1fr))}
section{background:#fff;border-radius:.5rem;padding:.75rem 1rem;box-shadow:0 1px 3px #0002}
h2{font-size:1rem;margin:0 0 .5rem;display:flex;justify-content:space-between;gap:.5rem}
dl{display:grid;grid-template-columns:auto 1fr;gap:.2rem .75rem;margin:0}
[hidden]{display:none}
dt{color:#56606b}
dd{margin:0;font-variant-numeric:tabular-nums;overflow-wrap:anywhere}
.badge{padding:0 .55rem;border-radius:1rem;font-size:.9rem;background:#fde2e1;color:#9b1c1c}
.badge.ok{background:#d5f5e3;color:#11693a}
.warn{color:#9b1c1c;font-weight:600}
form{display:flex;flex-wrap:wrap;gap:.5rem;margin-top:.25rem}
input,select,button{font:inherit;padding:.3rem .5rem}
input{flex:1 1 8rem;min-width:0}
dd button{padding:0 .5rem;margin-left:.3rem;font-size:.85rem}
#message{margin:.5rem 0 0;color:#56606b;overflow-wrap:anywhere}
h3{font-size:.95rem;margin:.6rem 0 .2rem}
.journal{list-style:none;margin:0;padding:0;font-size:.9rem}
.journal li{border-top:1px solid #e3e7eb;padding:.25rem 0}
.journal .fate,.decimal{color:#56606b}
.chip{display:inline-block;margin:.15rem .3rem 0 0;padding:0 .45rem;border-radius:.3rem;
background:#e3e7eb;border-left:.6rem solid #8a949e}
.c-green{border-color:#1e9e4a}.c-red{border-color:#d23030}.c-amber{border-color:#f0a000}
.c-blue{border-color:#2a62d4}.c-magenta{border-color:#c02fc0}.c-cyan{border-color:#1fb5c4}
.c-white{border-color:#fff}.c-black{border-color:#16202a}
</style>
</head>
<body>
<header><h1>kanzo_zul &middot; OSDP readers</h1><span id="updated">connecting&hellip;</span></header>
<main id="main">
<section id="line">
<h2>RS-485 line</h2>
<dl>
<dt>Rate</dt><dd id="baud">&ndash;</dd>
<dt>Last byte</dt><dd id="sinceByte">&ndash;</dd>
<dt>Bad frames</dt><dd id="badFrames">&ndash;</dd>
<dt>Other devices</dt><dd id="foreignFrames">&ndash;</dd>
<dt>Noise bytes</dt><dd id="discardedBytes">&ndash;</dd>
<dt>Refused web requests</dt><dd id="refusedRequests">&ndash;</dd>
</dl>
</section>
<section>
<h2>Test</h2>
<form id="plateForm">
<input id="plate" placeholder="Plate, e.g. AB 123 CD" maxlength="32" required>
<select id="region"><option value="1">Region 1</option><option value="2">Region 2</option></select>
<button id="send">Send plate</button>
</form>
<p id="message"></p>
</section>
<section>
<h2>Card number of a plate</h2>
<form id="cardForm">
<input id="cardPlate" placeholder="Plate, e.g. AB 123 CD" maxlength="32" required>
<button id="showCard">Show card</button>
</form>
<dl id="cardOfPlate" hidden>
<dt>Plate</dt><dd id="cardPlateDigested"></dd>
<dt>Hexadecimal</dt><dd id="cardHex"></dd>
<dt>Decimal</dt><dd id="cardDecimal"></dd>
</dl>
<p id="cardMessage">For enrolling the plate at the panel; nothing is sent.</p>
</section>
</main>
<template id="readerTemplate">
<section>
<h2><span data-f="title"></span><span data-f="polling" class="badge">&ndash;</span></h2>
<dl>
<dt>Last frame</dt><dd data-f="sinceFrame">&ndash;</dd>
<dt>Frames/min</dt><dd data-f="rate">&ndash;</dd>
<dt>Repeats</dt><dd data-f="repeats">&ndash;</dd>
<dt>Last card</dt><dd><span data-f="lastCard">&ndash;</span>
<span data-f="lastCardDecimal" class="decimal"></span></dd>
<dt>Cards waiting</dt><dd data-f="waiting">&ndash;</dd>
<dt>Cards</dt><dd data-f="cards">&ndash;</dd>
<dt>Last plate</dt><dd data-f="lastPlate">&ndash;</dd>
<dt>Tamper</dt><dd><span data-f="tamper">&ndash;</span>
<button data-f="setTamper" type="button">Set</button>
<button data-f="clearTamper" type="button">Clear</button></dd>
</dl>
<h3>Latest cards, the panel's answer</h3>
<ol data-f="journal" class="journal"><li>&ndash;</li></ol>
</section>
</template>
<script>
"use strict";
// Without the user and password that the page's own address may carry: a
// request to such an address is refused by the browser.
const api = location.origin + location.pathname;
const $ = (id) => document.getElementById(id);
const samples = [];

// Reader cards 1 and 2, before the line's card; every field gets the id
// name + reader number.
const readers = [1, 2].map((n) => {
  const card = $("readerTemplate").content.firstElementChild.cloneNode(true);
  card.id = "reader" + n;
  const fields = {};
  card.querySelectorAll("[data-f]").forEach((e) => {
    fields[e.dataset.f] = e;
    e.id = e.dataset.f + n;
  });
  fields.setTamper.onclick = () => command("tamper" + n + "=1");
  fields.clearTamper.onclick = () => command("tamper" + n + "=0");
  $("main").insertBefore(card, $("line"));
  return fields;
});

async function get(query, options) {
  const response = await fetch(api + "?" + query, Object.assign({cache: "no-store"}, options));
  if (!response.ok) throw new Error("HTTP " + response.status);
  return response.text();
}

// Text of the element name in a parsed document; null when absent.
function element(doc, name) {
  const found = doc.getElementsByTagName(name)[0];
  return found ? found.textContent : null;
}

function age(ms) {
  if (ms === null || ms === "") return "never";
  const s = Number(ms) / 1000;
  if (s < 10) return s.toFixed(1) + " s ago";
  if (s < 120) return Math.round(s) + " s ago";
  if (s < 7200) return Math.round(s / 60) + " min ago";
  return Math.round(s / 3600) + " h ago";
}

function seconds(ms) {
  return (Number(ms) / 1000).toFixed(1) + " s";
}

function show(status, diag) {
  const now = performance.now();
  samples.push({t: now, frames: [1, 2].map((n) => Number(element(diag, "framesAnswered" + n)))});
  while (samples.length > 2 && now - samples[0].t > 60000) samples.shift();
  const oldest = samples[0];
  const minutes = (now - oldest.t) / 60000;
  readers.forEach((f, i) => {
    const n = i + 1;
    f.title.textContent = "Reader " + n + " \u00b7 address " + element(status, "reader" + n);
    const polling = element(diag, "polling" + n) === "true";
    f.polling.textContent = polling ? "polling" : "not polling";
    f.polling.classList.toggle("ok", polling);
    f.sinceFrame.textContent = age(element(diag, "msSinceFrame" + n));
    f.rate.textContent = samples.length > 1 ?
        Math.round((samples[samples.length - 1].frames[i] - oldest.frames[i]) / minutes) : "\u2013";
    f.repeats.textContent = element(diag, "repeatsAnswered" + n);
    const card = element(status, "lastCard" + n);
    f.lastCard.textContent = card === "0" ? "none" : card;
    f.lastCardDecimal.textContent = card === "0" ? "" : "(" + parseInt(card, 16) + ")";
    const waiting = element(diag, "cardsWaiting" + n);
    f.waiting.textContent = waiting === "0" ? "none" :
        waiting + ", oldest " + seconds(element(diag, "oldestCardMs" + n));
    const expired = Number(element(diag, "cardsExpired" + n));
    const dropped = Number(element(diag, "cardsDropped" + n));
    f.cards.textContent = element(diag, "cardsDelivered" + n) + " delivered, " + expired +
        " too old, " + dropped + " dropped";
    f.cards.className = expired + dropped > 0 ? "warn" : "";
    f.lastPlate.textContent = element(status, "lastLpr" + n) || "\u2013";
    const tampered = element(status, "tamper" + n) === "true";
    f.tamper.textContent = tampered ? "set" : "clear";
    f.tamper.className = tampered ? "warn" : "";
  });
  const bad = Number(element(diag, "badCheck")) + Number(element(diag, "badLength"));
  $("badFrames").textContent = bad;
  $("badFrames").className = bad > 0 ? "warn" : "";
  $("foreignFrames").textContent = element(diag, "foreignFrames");
  $("discardedBytes").textContent = element(diag, "discardedBytes");
  $("refusedRequests").textContent = element(diag, "refusedRequests");
  $("baud").textContent = element(diag, "baud") + " baud";
  $("sinceByte").textContent = age(element(diag, "msSinceByte"));
  $("updated").textContent = "updated " + new Date().toLocaleTimeString();
}

// The journal document escapes its outside text, so it is parsed as XML.
// What the panel told the reader is shown as it came: LED colours as such,
// never read as granted or denied.
function feedbackText(e) {
  const v = (name) => { const c = e.querySelector(name); return c ? c.textContent : ""; };
  const after = " +" + v("ms") + " ms";
  if (e.tagName === "led") {
    const parts = ["temporary", "permanent"].filter((h) => e.querySelector(h)).map((h) => {
      const half = e.querySelector(h);
      if (!half.querySelector("on")) return h + " " + half.textContent;
      const flash = Number(v(h + " offMs")) > 0 ? " flashing with " + v(h + " off") : "";
      const timer = h === "temporary" ? " for " + Number(v(h + " timerMs")) / 1000 + " s" : "";
      return h + " " + v(h + " on") + flash + timer;
    });
    const on = e.querySelector("temporary on") || e.querySelector("permanent on");
    return ["LED " + v("number") + " " + parts.join(", ") + after, on ? on.textContent : ""];
  }
  if (e.tagName === "buzzer")
    return ["buzzer " + v("tone") + " \u00d7" + v("count") + after, ""];
  if (e.tagName === "text") return ["text \u201c" + v("content") + "\u201d" + after, ""];
  return ["malformed " + v("command") + " (" + v("length") + " bytes)" + after, ""];
}

function showJournal(doc) {
  const entries = Array.from(doc.getElementsByTagName("entry"));
  readers.forEach((f, i) => {
    const items = entries.filter((e) => e.querySelector("reader").textContent === String(i + 1))
        .slice(0, 3).map((e) => {
      const v = (name) => { const c = e.querySelector(name); return c ? c.textContent : ""; };
      const li = document.createElement("li");
      const head = document.createElement("div");
      const time = new Date(v("time")).toLocaleTimeString();
      head.textContent = time + " " + (v("plate") || v("source")) + " \u2192 " + v("card") +
          " (" + v("cardDecimal") + ") ";
      const fate = document.createElement("span");
      fate.className = "fate";
      fate.textContent = v("fate") + (v("reason") ? " (" + v("reason") + ")" : "") +
          (v("delivery") ? ", polled after " + v("msToDelivery") + " ms, " + v("delivery") : "");
      head.appendChild(fate);
      li.appendChild(head);
      const feedback = e.querySelector("feedback");
      Array.from(feedback ? feedback.children : []).forEach((r) => {
        const [text, colour] = feedbackText(r);
        const chip = document.createElement("span");
        chip.className = "chip" + (colour ? " c-" + colour : "");
        chip.textContent = text;
        li.appendChild(chip);
      });
      return li;
    });
    if (items.length > 0) f.journal.replaceChildren(...items);
  });
}

async function refresh() {
  try {
    const texts = await Promise.all(
        [get("getStatusXML"), get("getDiagnosticsXML"), get("getJournalXML=20")]);
    const [status, diag, journal] =
        texts.map((t) => new DOMParser().parseFromString(t, "application/xml"));
    show(status, diag);
    showJournal(journal);
  } catch (error) {
    $("updated").textContent = "no answer from kanzo_zul (" + error.message + ")";
  }
}

// Changes are POSTs: the daemon takes no change by GET from outside.
async function command(query) {
  try {
    await get(query, {method: "POST"});
  } catch (error) {
    $("message").textContent = "failed: " + error.message;
  }
  refresh();
}

$("plateForm").onsubmit = async (event) => {
  event.preventDefault();
  const plate = $("plate").value;
  const region = $("region").value;
  try {
    // The recognition application's own road: the plate event as it posts it.
    await get("lpr", {method: "POST", headers: {"Content-Type": "application/json"},
                      body: JSON.stringify({plateUTF8: plate, roiID: region})});
    $("message").textContent = "Sent \u201c" + plate + "\u201d to region " + region;
  } catch (error) {
    $("message").textContent = "failed: " + error.message;
  }
  refresh();
};

// The card a plate gives, as the daemon computes it (over plain HTTP a browser
// has no SHA-1 of its own): a read that sends nothing to the readers.
$("cardForm").onsubmit = async (event) => {
  event.preventDefault();
  $("cardOfPlate").hidden = true;
  try {
    const doc = new DOMParser().parseFromString(
        await get("plateCard=" + encodeURIComponent($("cardPlate").value)), "application/xml");
    const hex = element(doc, "card");
    $("cardMessage").textContent = hex === null ? doc.documentElement.textContent : "";
    if (hex === null) return;
    $("cardPlateDigested").textContent = element(doc, "plate");
    $("cardHex").textContent = hex;
    $("cardDecimal").textContent = element(doc, "cardDecimal");
    $("cardOfPlate").hidden = false;
  } catch (error) {
    $("cardMessage").textContent = "failed: " + error.message;
  }
};

refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
)page";

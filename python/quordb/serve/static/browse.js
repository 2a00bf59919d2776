// The browse page: prefix search with completion, a paged key list, the picked object and the
// database's figures. Every key and value goes into the page as text (textContent), never as
// markup, whatever it holds.
"use strict";

const PAGE_SIZE = 25;
const SUGGESTIONS = 8;
const TYPING_PAUSE_MS = 120;

const $ = (id) => document.getElementById(id);
let token = null;
const pages = { prefix: "", cursors: [null], index: 0 };
let searchSerial = 0;
let selectSerial = 0;

class Unauthorized extends Error {}

async function api(path) {
  const headers = { Accept: "application/json" };
  if (token !== null) headers.Authorization = "Bearer " + token;
  const response = await fetch(path, { headers });
  if (response.status === 401) {
    $("token-form").hidden = false;
    throw new Unauthorized("this server needs a token");
  }
  const text = await response.text();
  const body = parseJson(text);
  if (!response.ok) throw new Error(body && body.message ? body.message : response.statusText);
  return body;
}

// Integers past 2^53 keep their digits: the reviver hands their source text back as it was.
function parseJson(text) {
  if (typeof JSON.rawJSON !== "function") return JSON.parse(text);
  return JSON.parse(text, (name, value, context) =>
    typeof value === "number" && context && !Number.isSafeInteger(value) && /^-?\d+$/.test(context.source)
      ? JSON.rawJSON(context.source)
      : value);
}

// A listed key is its text, or {"$bytes": BASE64} when it is not UTF-8.
function keyLabel(key) {
  if (typeof key === "string") return key;
  const bytes = atob(key.$bytes);
  let shown = "";
  for (const char of bytes) {
    const code = char.charCodeAt(0);
    shown += code >= 0x20 && code < 0x7f && char !== "\\" ? char : "\\x" + code.toString(16).padStart(2, "0");
  }
  return shown;
}

function keyQuery(key) {
  return typeof key === "string"
    ? "key=" + encodeURIComponent(key)
    : "key_b64=" + encodeURIComponent(key.$bytes);
}

function keyItem(key, onPick) {
  const item = document.createElement("li");
  item.textContent = keyLabel(key);
  item.title = item.textContent;
  if (typeof key !== "string") item.classList.add("bytes-key");
  item.addEventListener("click", () => onPick(key, item));
  return item;
}

function report(error) {
  $("status").textContent = error instanceof Unauthorized ? "" : String(error.message || error);
}

async function showKey(key, item) {
  const serial = ++selectSerial;
  for (const other of document.querySelectorAll('#keys li[aria-selected="true"]')) {
    other.removeAttribute("aria-selected");
  }
  if (item) item.setAttribute("aria-selected", "true");
  $("selected-key").textContent = keyLabel(key);
  $("object").textContent = "";
  $("status").textContent = "";
  try {
    const value = await api("/v1/items?" + keyQuery(key));
    if (serial === selectSerial) $("object").textContent = JSON.stringify(value, null, 2);
  } catch (error) {
    if (serial === selectSerial) report(error);
  }
}

function listingPath(prefix, limit, after) {
  let path = "/v1/keys?limit=" + limit + "&prefix=" + encodeURIComponent(prefix);
  if (after) path += "&after=" + encodeURIComponent(after);
  return path;
}

async function loadPage() {
  const { prefix, cursors, index } = pages;
  try {
    const page = await api(listingPath(prefix, PAGE_SIZE, cursors[index]));
    if (prefix !== pages.prefix || index !== pages.index) return; // a newer page was asked for
    $("keys").replaceChildren(...page.keys.map((key) => keyItem(key, showKey)));
    $("keys").start = index * PAGE_SIZE + 1;
    cursors[index + 1] = page.next;
    $("next").disabled = page.next === null;
    $("previous").disabled = index === 0;
    $("page-number").textContent = "page " + (index + 1);
  } catch (error) {
    report(error);
  }
}

async function search() {
  const prefix = $("search").value;
  const serial = ++searchSerial;
  pages.prefix = prefix;
  pages.cursors = [null];
  pages.index = 0;
  loadPage();
  if (prefix === "") {
    $("suggestions").replaceChildren();
    return;
  }
  try {
    const page = await api(listingPath(prefix, SUGGESTIONS, null));
    if (serial !== searchSerial) return;
    $("suggestions").replaceChildren(...page.keys.map((key) => keyItem(key, pickSuggestion)));
  } catch (error) {
    report(error);
  }
}

function pickSuggestion(key) {
  $("suggestions").replaceChildren();
  showKey(key, null);
}

async function loadStats() {
  try {
    const stats = await api("/v1/stats");
    $("db-name").textContent = stats.name;
    const shown = [
      ["keys", stats.num_keys],
      ["objects", stats.num_objects],
      ["size", (stats.file_size_kb / 1024).toFixed(1) + " MiB"],
      ["format version", stats.version],
    ];
    if (stats.shard_count !== undefined) shown.push(["shards", stats.shard_count]);
    $("stats").replaceChildren(
      ...shown.map(([name, value]) => {
        const row = document.createElement("div");
        const term = document.createElement("dt");
        const detail = document.createElement("dd");
        term.textContent = name;
        detail.textContent = typeof value === "number" ? value.toLocaleString("en") : String(value);
        row.append(term, detail);
        return row;
      }),
    );
  } catch (error) {
    report(error);
  }
}

function start() {
  let pause = null;
  $("search").addEventListener("input", () => {
    clearTimeout(pause);
    pause = setTimeout(search, TYPING_PAUSE_MS);
  });
  $("search").addEventListener("keydown", (event) => {
    const first = $("suggestions").firstElementChild;
    if (event.key === "Enter" && first) first.click();
  });
  $("next").addEventListener("click", () => {
    pages.index += 1;
    loadPage();
  });
  $("previous").addEventListener("click", () => {
    pages.index = Math.max(0, pages.index - 1);
    loadPage();
  });
  $("token-form").addEventListener("submit", (event) => {
    event.preventDefault();
    token = $("token").value.trim();
    $("token-form").hidden = true;
    loadStats();
    loadPage();
  });
  loadStats();
  loadPage();
}

start();

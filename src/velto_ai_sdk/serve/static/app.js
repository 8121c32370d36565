// The analyst's page. Everything the model, the data or a person wrote is
// put into the page as text (textContent); the one piece of HTML is the
// answer's Markdown, which the server renders with raw HTML turned off.
"use strict";

(function () {
  const page = {
    conversation: null, // {id, title, busy, ...} of the conversation shown
    about: null,
    streams: new Map(), // turn id -> EventSource
  };

  const $ = (id) => document.getElementById(id);

  // -- building the page -----------------------------------------------------------

  function el(tag, className, ...children) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(typeof child === "string" ? document.createTextNode(child) : child);
    }
    return node;
  }

  function plural(count, word) {
    return count + " " + word + (count === 1 ? "" : "s");
  }

  function seconds(value) {
    return value < 10 ? value.toFixed(2) + " s" : value.toFixed(1) + " s";
  }

  function bytes(size) {
    if (size < 1024) return plural(size, "byte");
    if (size < 1024 * 1024) return (size / 1024).toFixed(1) + " kB";
    return (size / 1024 / 1024).toFixed(1) + " MB";
  }

  function ago(time) {
    const passed = Date.now() / 1000 - time;
    if (passed < 60) return "just now";
    if (passed < 3600) return Math.floor(passed / 60) + " min ago";
    if (passed < 86400) return Math.floor(passed / 3600) + " h ago";
    return new Date(time * 1000).toLocaleDateString();
  }

  function fileUrl(id) {
    return "api/conversations/" + page.conversation.id + "/files/" + id;
  }

  // -- talking to the server -----------------------------------------------------------

  async function call(method, path, body) {
    const options = {method: method, headers: {"Accept": "application/json"}, credentials: "same-origin"};
    if (body !== undefined) {
      options.headers["Content-Type"] = "application/json";
      options.body = JSON.stringify(body);
    }
    let response;
    try {
      response = await fetch(path, options);
    } catch (error) {
      throw new Error("The server could not be reached (" + error.message + ").");
    }
    if (response.status === 204) return null;
    let data = null;
    try {
      data = await response.json();
    } catch (error) {
      data = null;
    }
    if (!response.ok) {
      throw new Error((data && data.error) || "The server answered " + response.status + " " + response.statusText + ".");
    }
    return data;
  }

  function showError(message) {
    const banner = $("banner");
    banner.textContent = message;
    banner.hidden = false;
  }

  function clearError() {
    $("banner").hidden = true;
  }

  async function attempt(work) {
    try {
      clearError();
      return await work();
    } catch (error) {
      showError(error.message);
      return undefined;
    }
  }

  // -- the list of conversations ----------------------------------------------------------

  async function loadList() {
    const list = await call("GET", "api/conversations");
    const items = list.map((entry) => {
      const link = el("a", null, el("span", "name", entry.title),
        el("span", "meta faint", (entry.busy ? "answering · " : "") + plural(entry.turns, "question") + " · " + ago(entry.updated)));
      link.href = "#" + entry.id;
      const item = el("li", entry.busy ? "busy" : null, link);
      item.dataset.id = entry.id;
      if (page.conversation && entry.id === page.conversation.id) item.classList.add("current");
      return item;
    });
    $("conversations").replaceChildren(...items);
  }

  function markCurrent() {
    for (const item of $("conversations").children) {
      item.classList.toggle("current", !!page.conversation && item.dataset.id === page.conversation.id);
    }
  }

  // -- a conversation -------------------------------------------------------------------

  function closeStreams() {
    for (const source of page.streams.values()) source.close();
    page.streams.clear();
  }

  function showNew() {
    closeStreams();
    page.conversation = null;
    $("title").textContent = "New conversation";
    $("delete").hidden = true;
    $("turns").replaceChildren($("welcome") || el("div"));
    markCurrent();
    setBusy(false);
    $("question").focus();
  }

  async function openConversation(id) {
    closeStreams();
    const found = await call("GET", "api/conversations/" + id);
    page.conversation = found;
    $("title").textContent = found.title;
    $("delete").hidden = false;
    const welcome = $("welcome");
    if (welcome) welcome.remove();
    $("turns").replaceChildren(...found.turns.map(turnView));
    for (const turn of found.turns) {
      if (turn.state === "queued" || turn.state === "running") follow(turn);
    }
    setBusy(found.turns.some((turn) => turn.state === "queued" || turn.state === "running"));
    markCurrent();
    scrollDown();
  }

  function setBusy(busy) {
    $("send").disabled = busy;
    $("send").textContent = busy ? "Working…" : "Ask";
    $("delete").disabled = busy;
  }

  // The newest turn's start in view: its question, and the answer as it comes.
  function scrollDown() {
    const last = $("turns").lastElementChild;
    if (last) last.scrollIntoView({block: "start"});
  }

  async function ask(question) {
    let turn;
    if (page.conversation === null) {
      const made = await call("POST", "api/conversations", {question: question});
      page.conversation = made.conversation;
      $("title").textContent = made.conversation.title;
      $("delete").hidden = false;
      history.replaceState(null, "", "#" + made.conversation.id);
      $("turns").replaceChildren();
      turn = made.turn;
    } else {
      turn = (await call("POST", "api/conversations/" + page.conversation.id + "/questions", {question: question})).turn;
    }
    $("turns").append(turnView(turn));
    setBusy(true);
    follow(turn);
    scrollDown();
    await loadList();
  }

  // -- a turn's progress -----------------------------------------------------------------

  function follow(turn) {
    const conversationId = page.conversation.id;
    const source = new EventSource("api/conversations/" + conversationId + "/turns/" + turn.id + "/events");
    page.streams.set(turn.id, source);
    source.addEventListener("progress", (event) => showProgress(turn.id, JSON.parse(event.data)));
    source.addEventListener("turn", (event) => {
      source.close();
      page.streams.delete(turn.id);
      const done = JSON.parse(event.data);
      const shown = document.getElementById("turn-" + done.id);
      if (shown) shown.replaceWith(turnView(done));
      setBusy(false);
      scrollDown();
      attempt(loadList);
    });
    source.addEventListener("failure", (event) => {
      source.close();
      page.streams.delete(turn.id);
      showError(JSON.parse(event.data).error);
    });
    source.addEventListener("error", () => {
      if (source.readyState !== EventSource.CLOSED) return; // the browser connects again by itself
      page.streams.delete(turn.id);
      // The stream was refused: ask for the conversation, whose error says why.
      attempt(() => openConversation(conversationId));
    });
  }

  function showProgress(turnId, progress) {
    const box = document.querySelector("#turn-" + turnId + " .progress");
    if (!box) return;
    if (progress.activity) box.querySelector(".activity .text").textContent = progress.activity;
    if (!progress.step) return;
    const step = progress.step;
    let line = box.querySelector('[data-key="' + CSS.escape(step.key) + '"]');
    if (!line) {
      line = el("li", null, el("span", "mark"), el("span", "what", step.text || ""), el("span", "summary faint"),
        step.detail ? el("pre", "detail", step.detail) : null);
      line.dataset.key = step.key;
      box.querySelector(".steps").append(line);
    }
    line.className = step.status;
    if (step.summary) line.querySelector(".summary").textContent = step.summary;
    scrollDown();
  }

  function progressView(turn) {
    const started = Date.now();
    const elapsed = el("span", "elapsed faint", "0 s");
    const timer = setInterval(() => {
      if (!elapsed.isConnected) return clearInterval(timer);
      elapsed.textContent = Math.round((Date.now() - started) / 1000) + " s";
    }, 1000);
    return el("div", "progress",
      el("div", "activity", el("span", "spinner"), el("span", "text", turn.state === "queued" ? "Waiting for a free slot" : "Starting"), elapsed),
      el("ol", "steps"));
  }

  // -- a turn and its answer --------------------------------------------------------------

  function turnView(turn) {
    const article = el("article", "turn " + turn.state, el("div", "question", turn.question));
    article.id = "turn-" + turn.id;
    if (turn.state === "queued" || turn.state === "running") article.append(progressView(turn));
    if (turn.answer) article.append(answerView(turn.answer));
    if (turn.error) article.append(el("div", "failure", el("strong", null, "No answer: "), turn.error));
    return article;
  }

  function answerView(answer) {
    const box = el("div", "answer");
    if (answer.html) {
      const words = el("div", "markdown");
      words.innerHTML = answer.html; // rendered by the server with raw HTML turned off
      box.append(words);
    }
    if (answer.error) box.append(el("div", "failure", el("strong", null, "No answer: "), answer.error));
    for (const image of answer.images) {
      const picture = el("img");
      picture.src = fileUrl(image.id);
      picture.alt = image.name;
      picture.loading = "lazy";
      box.append(el("figure", null, picture, el("figcaption", "faint", image.name)));
    }
    answer.queries.forEach((query, index) => box.append(queryView(query, index + 1)));
    answer.scripts.forEach((script, index) => box.append(scriptView(script, index + 1)));
    box.append(el("footer", "figures faint",
      answer.tokens.toLocaleString() + " tokens · $" + answer.cost.toFixed(4) + " · " + seconds(answer.seconds)));
    return box;
  }

  function queryView(query, number) {
    const outcome = query.failed ? "failed" : seconds(query.seconds);
    const section = el("section", "query" + (query.failed ? " failed" : ""),
      el("details", null, el("summary", null, "SQL " + number + " ", el("span", "faint", query.engine + " · " + outcome)),
        el("pre", "code", query.sql)));
    if (query.table) section.append(tableView(query.table));
    else if (query.text) section.append(el("pre", "result", query.text));
    const notes = [];
    if (query.table) {
      notes.push(query.table.note + (query.table.more ? " · the first " + query.table.rows.length + " here" : ""));
    }
    if (query.csv && query.csv.id) {
      const link = el("a", null, "Download all rows (CSV, " + bytes(query.csv.size) + ")");
      link.href = fileUrl(query.csv.id);
      link.setAttribute("download", "");
      notes.push(link);
    } else if (query.csv) {
      notes.push("the whole result (" + bytes(query.csv.size) + ") was too large to keep");
    }
    if (notes.length) {
      const line = el("div", "note faint");
      notes.forEach((note, index) => {
        if (index) line.append(" · ");
        line.append(note);
      });
      section.append(line);
    }
    return section;
  }

  function tableView(table) {
    const head = el("tr", null, ...table.columns.map((name) => el("th", null, name)));
    const rows = table.rows.map((row) => el("tr", null,
      ...row.map((cell) => cell === null ? el("td", "null", "NULL") : el("td", null, cell))));
    return el("div", "table", el("table", null, el("thead", null, head), el("tbody", null, ...rows)));
  }

  function scriptView(script, number) {
    const outcome = script.failed ? "failed" : seconds(script.seconds);
    return el("details", "script" + (script.failed ? " failed" : ""),
      el("summary", null, "Python " + number + " ", el("span", "faint", outcome)),
      el("pre", "code", script.code),
      el("pre", "result", script.output || "(no output)"));
  }

  // -- the form and the buttons ------------------------------------------------------------

  function countCharacters() {
    const length = $("question").value.length;
    const limit = page.about ? page.about.max_question_chars : 0;
    $("count").textContent = limit && length > limit * 0.8 ? length.toLocaleString() + " / " + limit.toLocaleString() : "";
    $("count").classList.toggle("over", !!limit && length > limit);
  }

  async function submit(event) {
    event.preventDefault();
    const question = $("question").value.trim();
    if (!question || $("send").disabled) return;
    $("send").disabled = true;
    const asked = await attempt(async () => {
      await ask(question);
      return true;
    });
    if (asked) {
      $("question").value = "";
      countCharacters();
    } else {
      setBusy(false);
    }
  }

  async function remove() {
    if (!page.conversation || !confirm("Delete this conversation, with its answers and charts?")) return;
    const id = page.conversation.id;
    await attempt(async () => {
      await call("DELETE", "api/conversations/" + id);
      history.replaceState(null, "", "#");
      showNew();
      await loadList();
    });
  }

  function route() {
    const id = location.hash.replace(/^#/, "");
    if (/^[0-9a-f]{32}$/.test(id)) attempt(() => openConversation(id));
    else showNew();
  }

  async function start() {
    $("ask").addEventListener("submit", submit);
    $("question").addEventListener("keydown", (event) => {
      if (event.key === "Enter" && !event.shiftKey && !event.isComposing) submit(event);
    });
    $("question").addEventListener("input", countCharacters);
    $("new").addEventListener("click", () => {
      history.replaceState(null, "", "#");
      showNew();
    });
    $("delete").addEventListener("click", remove);
    window.addEventListener("hashchange", route);
    await attempt(async () => {
      page.about = await call("GET", "api/about");
      $("about").textContent = page.about.engine_label + " · answers " + plural(page.about.slots, "question") + " at once";
      await loadList();
    });
    route();
  }

  start();
})();

"use strict";

(function () {
  const SERVICE = "/requests/settings/";
  const POLL_INTERVAL_MS = 250;
  const POLL_LIMIT_MS = 10000;

  const byId = (id) => document.getElementById(id);
  const ports = [
    ["udp-port", "serverUDPPort"],
    ["tcp-port", "serverTCPPort"],
    ["vlc-port", "VLCPort"],
  ];
  const texts = [
    ["server-password", "serverAuthenticationPassword"],
    ["vlc-password", "VLCPassword"],
  ];
  const switches = [
    ["auth-enabled", "isAuthenticationEnabled"],
    ["autostart", "autoStartWithSystem"],
    ["check-updates", "checkForUpdatesAtLaunch"],
  ];

  const match = /(?:^#|&)key=([^&]+)/.exec(location.hash);
  const key = match ? decodeURIComponent(match[1]) : "";

  // The service answers 403 to a missing or stale key; a new key comes with every program start.
  class KeyRefused extends Error {}

  function showNoKey() {
    byId("page").hidden = true;
    byId("no-key").hidden = false;
  }

  function say(text, kind) {
    const message = byId("message");
    message.textContent = text;
    message.className = kind || "";
  }

  async function request(method, body) {
    const response = await fetch(SERVICE, {
      method: method,
      cache: "no-store",
      headers: Object.assign({ Authorization: "Bearer " + key },
        body === undefined ? {} : { "Content-Type": "application/json" }),
      body: body,
    });
    if (response.status === 403) throw new KeyRefused();
    if (response.status === 413) throw new Error("the settings were too large for the program to accept");
    if (!response.ok) throw new Error("the program answered with HTTP status " + response.status);
    const text = await response.text();
    try {
      const reply = JSON.parse(text);
      if (reply && typeof reply.preferences === "object" && typeof reply.status === "object") return reply;
    } catch (ignored) { /* reported below */ }
    throw new Error("the program sent a reply that is not the settings");
  }

  // Ports arrive as text until first saved and as numbers afterwards.
  const asText = (value) => (value === undefined || value === null ? "" : String(value));
  const isOn = (value) => value === true || value === "true" || value === "1";

  function showStatus(status) {
    const running = status.isServerRunning === "true" || status.isServerRunning === true;
    const state = byId("status-running");
    state.textContent = running ? "The servers are running" : "The servers are not running";
    state.className = "state " + (running ? "on" : "off");
    const address = byId("lan-address");
    address.textContent = status.localIPAddress || "No network: this computer has no LAN address";
    address.classList.toggle("none", !status.localIPAddress);
    byId("udp-port-in-use").textContent = asText(status.udpPortInUse) || "not listening";
    byId("tcp-port-in-use").textContent = asText(status.tcpPortInUse) || "not listening";
  }

  function showSettings(reply) {
    const preferences = reply.preferences;
    for (const [id, name] of ports.concat(texts)) byId(id).value = asText(preferences[name]);
    for (const [id, name] of switches) byId(id).checked = isOn(preferences[name]);
    for (const [id] of ports) check(id);
    showStatus(reply.status);
  }

  function portProblem(text) {
    if (text === "") return "Enter a port number.";
    if (!/^[0-9]+$/.test(text)) return "Use digits only.";
    const port = Number(text);
    if (port < 1 || port > 65535) return "Enter a number from 1 to 65535.";
    return "";
  }

  function check(id) {
    const input = byId(id);
    const problem = portProblem(input.value.trim());
    byId(id + "-error").textContent = problem;
    if (problem) input.setAttribute("aria-invalid", "true");
    else input.removeAttribute("aria-invalid");
    return problem === "";
  }

  function collect() {
    const preferences = {};
    for (const [id, name] of ports) preferences[name] = String(Number(byId(id).value.trim()));
    for (const [id, name] of texts) preferences[name] = byId(id).value;
    for (const [id, name] of switches) preferences[name] = byId(id).checked;
    return { preferences: preferences };
  }

  const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  // The reply to a save still describes the servers from before their restart. The restart is
  // over once the servers run again after an outage, or run on the ports just saved.
  async function awaitRestart() {
    const deadline = Date.now() + POLL_LIMIT_MS;
    let sawOutage = false;
    let last = null;
    while (Date.now() < deadline) {
      await pause(POLL_INTERVAL_MS);
      try {
        last = await request("GET");
      } catch (error) {
        if (error instanceof KeyRefused) throw error;
        sawOutage = true;
        continue;
      }
      const status = last.status;
      const onSavedPorts = Number(status.udpPortInUse) === Number(last.preferences.serverUDPPort)
        && Number(status.tcpPortInUse) === Number(last.preferences.serverTCPPort);
      if (status.isServerRunning === "true" && (sawOutage || onSavedPorts)) return { reply: last, settled: true };
    }
    return { reply: last, settled: false };
  }

  async function save(event) {
    event.preventDefault();
    const valid = ports.map(([id]) => check(id));
    if (valid.includes(false)) {
      say("Nothing was saved: correct the marked fields first.", "error");
      byId(ports[valid.indexOf(false)][0]).focus();
      return;
    }
    const button = byId("save");
    button.disabled = true;
    say("Saving…");
    try {
      showSettings(await request("POST", JSON.stringify(collect())));
      say("Saved. The servers are restarting…", "busy");
      const { reply, settled } = await awaitRestart();
      if (reply) showStatus(reply.status);
      if (settled) say("Saved. The servers run with the new settings.", "ok");
      else say("Saved, but the servers have not come back yet. Reload this page in a moment.", "error");
    } catch (error) {
      if (error instanceof KeyRefused) showNoKey();
      else say("Not saved: " + (error instanceof TypeError ? "the program cannot be reached" : error.message) + ".", "error");
    } finally {
      button.disabled = false;
    }
  }

  function toggleSecret(event) {
    const button = event.currentTarget;
    const input = byId(button.getAttribute("aria-controls"));
    const reveal = input.type === "password";
    input.type = reveal ? "text" : "password";
    button.textContent = reveal ? "Hide" : "Show";
    button.setAttribute("aria-pressed", String(reveal));
    button.setAttribute("aria-label", button.getAttribute("aria-label").replace(/^\w+/, reveal ? "Hide" : "Show"));
  }

  async function start() {
    if (!key) return showNoKey();
    byId("page").hidden = false;
    for (const [id] of ports) byId(id).addEventListener("input", () => check(id));
    for (const button of document.querySelectorAll(".reveal")) button.addEventListener("click", toggleSecret);
    byId("settings-form").addEventListener("submit", save);
    try {
      showSettings(await request("GET"));
      document.body.dataset.loaded = "true";
    } catch (error) {
      if (error instanceof KeyRefused) return showNoKey();
      byId("status-running").textContent = "The settings could not be loaded";
      say("Could not load the settings: " + (error instanceof TypeError ? "the program cannot be reached" : error.message) + ".", "error");
    }
  }

  start();
})();

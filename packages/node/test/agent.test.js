// The package against the real agent (VANTOR_BINARY) on the X server and
// sound server scripts/test.sh starts: one take through every command, the
// errors as kinds, dispose, and the packed package running its README's example.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, statSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { after, test } from "node:test";
import { fileURLToPath } from "node:url";
import { Agent, errorKindOf } from "../dist/index.js";

const here = dirname(fileURLToPath(import.meta.url));
const skip = !process.env.VANTOR_BINARY || !process.env.DISPLAY ? "needs VANTOR_BINARY and DISPLAY (scripts/test.sh)" : false;
const scratch = mkdtempSync(join(tmpdir(), "vantor-node-"));
after(() => rmSync(scratch, { recursive: true, force: true }));
const env = { ...process.env, VANTOR_BACKEND: "x11" };

test("a take through every command, refusals rejected by kind, events typed", { skip }, async () => {
  const agent = await Agent.launch({ env });
  const exits = [];
  agent.on("exit", (status) => exits.push(status));
  try {
    assert.equal(agent.hello.protocol, 2);
    assert.equal(agent.hello.platform, "x11");
    const { displays } = await agent.listTargets();
    const elapsed = [];
    agent.on("elapsed", (seconds) => elapsed.push(seconds));
    await assert.rejects(agent.stop(), { name: "VantorError", kind: "notRecording" });
    await assert.rejects(agent.start({ outputPath: join(scratch, "x.mp4"), frameRate: 500 }), { kind: "invalidOption" });
    const outputPath = join(scratch, "take.mp4");
    await agent.start({ target: displays[0].id, outputPath, size: "native", quality: "low" });
    await assert.rejects(agent.start({ outputPath }), { kind: "alreadyRecording" });
    const shot = await agent.screenshot();
    assert.deepEqual([...shot.jpeg.subarray(0, 2)], [0xff, 0xd8]);
    await agent.pause();
    await assert.rejects(agent.pause(), { kind: "alreadyPaused" });
    await agent.resume();
    await new Promise((resolve) => setTimeout(resolve, 1200));
    const movie = await agent.stop();
    assert.equal(movie.videoPath, outputPath);
    assert.equal(movie.hasSound, false);
    assert.ok(movie.duration > 1 && statSync(outputPath).size > 0, JSON.stringify(movie));
    assert.ok(elapsed.length >= 1 && elapsed[0] > 0.5, `elapsed: ${elapsed}`); // every second, pauses excluded
  } finally {
    await agent.dispose();
  }
  assert.deepEqual(exits, [{ code: 0, signal: null }]);
  await assert.rejects(agent.screenshot(), { kind: "agentExited" });
});

test("dispose finishes a running take, then ends the agent", { skip }, async () => {
  const agent = await Agent.launch({ env });
  const outputPath = join(scratch, "disposed.mp4");
  await agent.start({ outputPath });
  await agent.dispose();
  assert.ok(statSync(outputPath).size > 0);
});

test("every message of the agent's error table has its kind", () => {
  const table = readFileSync(join(here, "../../../docs/protocol.md"), "utf8");
  const messages = [...table.matchAll(/^\| "([^"{]+)[^|]*" \| (start|stop|pause|resume|restart|screenshot)/gm)].map((m) => m[1]);
  assert.ok(messages.length >= 12, messages.join(", "));
  for (const message of messages) assert.notEqual(errorKindOf(message), "unknown", message);
});

test("the packed package installs and runs its README's example", { skip, timeout: 120_000 }, () => {
  const project = join(scratch, "host");
  mkdirSync(project);
  const packed = execFileSync("npm", ["pack", "--silent", "--pack-destination", scratch], { cwd: join(here, ".."), encoding: "utf8" });
  const tarball = join(scratch, packed.trim().split("\n").pop());
  execFileSync("npm", ["init", "-y"], { cwd: project, stdio: "ignore" });
  execFileSync("npm", ["install", "--offline", "--no-audit", "--no-fund", tarball], { cwd: project, stdio: "ignore" });
  // The first js block, less the indentation of its fence (a list item's in the project's README).
  const example = (file) => {
    const [, indent, code] = readFileSync(file, "utf8").match(/^( *)```js\n([\s\S]*?)^ *```/m);
    return code.replace(new RegExp(`^${indent}`, "gm"), "");
  };
  const code = example(join(here, "../README.md"));
  assert.equal(example(join(here, "../../../README.md")), code, "the project's README shows the package's example");
  writeFileSync(join(project, "example.mjs"), code);
  const out = execFileSync("node", ["example.mjs"], { cwd: project, env: { ...env, TMPDIR: project }, encoding: "utf8" });
  assert.match(out, /\.mp4: \d+(\.\d+)? s, sound: false/);
  assert.ok(existsSync(join(project, "take.mp4")) && existsSync(join(project, "shot.jpg")));
});

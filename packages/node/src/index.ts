// Drives a Vantor agent from Node.js: spawns it, opens protocol 2 with a
// hello, and turns each command into one promise settled by the events that
// carry the command's id (docs/protocol.md of the agent). Events that answer
// no command ("elapsed", "micLevel", "takeFailed") and the agent's exit are
// emitted, typed.

import { execFile, spawn, type ChildProcessWithoutNullStreams } from "node:child_process";
import { EventEmitter } from "node:events";
import { createInterface } from "node:readline";

/** What went wrong, for a program to decide on; `message` says it for people. */
export type ErrorKind =
  | "notRecording"
  | "alreadyRecording"
  | "alreadyPaused"
  | "notPaused"
  | "invalidCommand"
  | "invalidOption"
  | "noDisplay"
  | "targetUnavailable"
  | "startFailed"
  | "stopFailed"
  | "noRestartCommand"
  | "screenshotUnavailable"
  | "protocol"
  | "agentExited"
  | "timeout"
  | "unknown";

export class VantorError extends Error {
  constructor(
    readonly kind: ErrorKind,
    message: string,
  ) {
    super(message);
    this.name = "VantorError";
  }
}

// The agent's error messages by their fixed part, first match wins.
const kinds: [RegExp, ErrorKind][] = [
  [/^not recording$/, "notRecording"],
  [/^already recording$/, "alreadyRecording"],
  [/^already paused$/, "alreadyPaused"],
  [/^not paused$/, "notPaused"],
  [/^invalid start option/, "invalidOption"],
  [/^(malformed|unknown command type|invalid "id")/, "invalidCommand"],
  [/^No displays found/, "noDisplay"],
  [/^Failed to resolve capture target/, "targetUnavailable"],
  [/^recorder\.start/, "startFailed"],
  [/^recorder\.stop failed/, "stopFailed"],
  [/^no start command stored for restart$/, "noRestartCommand"],
  [/^screenshot:/, "screenshotUnavailable"],
  [/^hello:/, "protocol"],
];

export function errorKindOf(message: string): ErrorKind {
  return kinds.find(([pattern]) => pattern.test(message))?.[1] ?? "unknown";
}

export interface StartOptions {
  /** "" or "main" (the default), "display-{id}", "window-{id}": see listTargets(). */
  target?: string;
  outputPath: string;
  /** Records the microphone and the system audio unless either is chosen below. */
  includeMic?: boolean;
  mode?: string;
  frameRate?: number;
  size?: "standard" | "native";
  showCursor?: boolean;
  microphone?: boolean;
  systemAudio?: boolean;
  quality?: "low" | "standard" | "high";
}

export interface Finished {
  videoPath: string;
  /** Seconds, from the movie as written; absent only when it could not be read back. */
  duration?: number;
  hasSound?: boolean;
}

export interface Screenshot {
  jpeg: Buffer;
  /** The take's recorded seconds when it was taken. */
  timestamp: number;
}

export interface Hello {
  protocol: 2;
  version: string;
  platform: "x11" | "wayland";
  capabilities: { systemAudio: boolean; windowCapture: boolean; screenshots: boolean };
  startOptions: Record<string, unknown>;
}

export interface Target {
  id: string;
  label: string;
}
export interface Targets {
  displays: Target[];
  windows: Target[];
}

export interface AgentOptions {
  /** The agent's executable: VANTOR_BINARY, else "vantor" on the PATH. */
  binary?: string;
  env?: NodeJS.ProcessEnv;
  cwd?: string;
  /** How long dispose() waits for a stop and then for the exit after SIGTERM, in ms. */
  disposeTimeout?: number;
}

export interface AgentEvents {
  elapsed: [seconds: number];
  micLevel: [value: number];
  takeFailed: [failure: { part: "video" | "sound"; message: string }];
  exit: [status: { code: number | null; signal: NodeJS.Signals | null }];
}

type Json = Record<string, any>;

interface Pending {
  // The answer's value once `event` completes it; undefined while it does not.
  settle: (event: Json) => unknown;
  resolve: (value: any) => void;
  reject: (error: VantorError) => void;
}

const isStatus = (phase: string) => (e: Json) => (e.type === "status" && e.phase === phase ? true : undefined);

export class Agent {
  readonly hello: Hello;
  private readonly process: ChildProcessWithoutNullStreams;
  private readonly binary: string;
  private readonly options: AgentOptions;
  private readonly pending = new Map<number, Pending>();
  private readonly emitter = new EventEmitter();
  private readonly exited: Promise<void>;
  private nextId = 1;
  private exitStatus?: AgentEvents["exit"][0];

  /** Spawns the agent and opens protocol 2; rejects when it cannot. */
  static async launch(options: AgentOptions = {}): Promise<Agent> {
    const agent = new Agent(options);
    try {
      // An agent without protocol 2 answers nothing to a hello: it is given 10 s.
      const hello = await withTimeout(
        agent.command({ type: "hello", protocol: 2 }, (e) => (e.type === "hello" ? e : undefined)),
        10_000,
      );
      (agent as { hello: Hello }).hello = hello as Hello;
    } catch (error) {
      await agent.dispose();
      throw error;
    }
    return agent;
  }

  private constructor(options: AgentOptions) {
    this.options = options;
    this.binary = binaryOf(options);
    this.hello = undefined as unknown as Hello;
    this.process = spawn(this.binary, [], { env: options.env, cwd: options.cwd, stdio: "pipe" });
    this.process.stdin.on("error", () => {}); // a gone agent is told by its exit
    this.process.stderr.resume(); // log lines are for people; never let them fill the pipe
    createInterface({ input: this.process.stdout }).on("line", (line) => this.receive(line));
    this.exited = new Promise((resolve) => {
      const ended = (code: number | null, signal: NodeJS.Signals | null) => {
        if (this.exitStatus) return;
        this.exitStatus = { code, signal };
        for (const [, p] of this.pending) p.reject(new VantorError("agentExited", "the agent exited"));
        this.pending.clear();
        this.emitter.emit("exit", this.exitStatus);
        resolve();
      };
      this.process.on("exit", ended);
      this.process.on("error", (error) => {
        for (const [, p] of this.pending) p.reject(new VantorError("agentExited", `cannot run ${this.binary}: ${error.message}`));
        this.pending.clear();
        ended(null, null);
      });
    });
  }

  on<K extends keyof AgentEvents>(event: K, listener: (...args: AgentEvents[K]) => void): this {
    this.emitter.on(event, listener as (...args: unknown[]) => void);
    return this;
  }
  off<K extends keyof AgentEvents>(event: K, listener: (...args: AgentEvents[K]) => void): this {
    this.emitter.off(event, listener as (...args: unknown[]) => void);
    return this;
  }

  /** Resolves once the take records. */
  async start(options: StartOptions): Promise<void> {
    const { target = "", includeMic = false, mode = "", ...rest } = options;
    await this.command({ type: "start", target, includeMic, mode, ...rest }, isStatus("recording"));
  }
  async stop(): Promise<Finished> {
    const finished = await this.command({ type: "stop" }, (e) => (e.type === "finished" ? e : undefined));
    const { videoPath, duration, hasSound } = finished as Json;
    return { videoPath, duration, hasSound };
  }
  async pause(): Promise<void> {
    await this.command({ type: "pause" }, isStatus("paused"));
  }
  async resume(): Promise<void> {
    await this.command({ type: "resume" }, isStatus("recording"));
  }
  async restart(): Promise<void> {
    await this.command({ type: "restart" }, isStatus("recording"));
  }
  async discard(): Promise<void> {
    await this.command({ type: "discard" }, isStatus("discarded"));
  }
  async screenshot(): Promise<Screenshot> {
    const shot = (await this.command({ type: "screenshot" }, (e) => (e.type === "screenshotData" ? e : undefined))) as Json;
    return { jpeg: Buffer.from(shot.imageBase64, "base64"), timestamp: shot.timestamp };
  }

  /** The displays and windows that can be captured, from `vantor list-targets`. */
  listTargets(): Promise<Targets> {
    return listTargets(this.options);
  }

  /**
   * Stops a running take (its movie is finished), then ends the agent:
   * SIGTERM, and SIGKILL when it has not exited within the timeout.
   */
  async dispose(): Promise<void> {
    if (this.exitStatus) return;
    const timeout = this.options.disposeTimeout ?? 10_000;
    if (this.hello) await withTimeout(this.stop(), timeout).catch(() => {});
    this.process.kill("SIGTERM");
    const timer = setTimeout(() => this.process.kill("SIGKILL"), timeout);
    await this.exited;
    clearTimeout(timer);
  }

  private command(body: Json, settle: (event: Json) => unknown): Promise<unknown> {
    if (this.exitStatus) return Promise.reject(new VantorError("agentExited", "the agent exited"));
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { settle, resolve, reject });
      this.process.stdin.write(JSON.stringify({ ...body, id }) + "\n");
    });
  }

  private receive(line: string): void {
    let event: Json;
    try {
      event = JSON.parse(line);
    } catch {
      return;
    }
    if (event.id === undefined) {
      // Protocol 1 has no ids: a refused hello is answered without one.
      if (event.type === "error" && !this.hello && this.pending.has(1)) event.id = 1;
      else if (event.type === "elapsed") this.emitter.emit("elapsed", event.seconds);
      else if (event.type === "micLevel") this.emitter.emit("micLevel", event.value);
      else if (event.type === "takeFailed") this.emitter.emit("takeFailed", { part: event.part, message: event.message });
      if (event.id === undefined) return;
    }
    const pending = this.pending.get(event.id);
    if (!pending) return;
    if (event.type === "error") {
      this.pending.delete(event.id);
      pending.reject(new VantorError(errorKindOf(event.message), event.message));
      return;
    }
    const value = pending.settle(event);
    if (value === undefined) return; // "starting", "stopping", …: the answer goes on
    this.pending.delete(event.id);
    pending.resolve(value);
  }
}

function binaryOf(options: AgentOptions): string {
  return options.binary ?? options.env?.VANTOR_BINARY ?? process.env.VANTOR_BINARY ?? "vantor";
}

/** The displays and windows that can be captured, from `vantor list-targets`. */
export function listTargets(options: AgentOptions = {}): Promise<Targets> {
  return new Promise((resolve, reject) => {
    execFile(binaryOf(options), ["list-targets"], { env: options.env, cwd: options.cwd }, (error, stdout, stderr) => {
      if (error) reject(new VantorError("targetUnavailable", String(stderr).trim() || error.message));
      else resolve(JSON.parse(stdout) as Targets);
    });
  });
}

function withTimeout<T>(promise: Promise<T>, ms: number): Promise<T> {
  let timer: NodeJS.Timeout;
  return Promise.race([
    promise,
    new Promise<T>((_, reject) => {
      timer = setTimeout(() => reject(new VantorError("timeout", `no answer within ${ms} ms`)), ms);
    }),
  ]).finally(() => clearTimeout(timer));
}

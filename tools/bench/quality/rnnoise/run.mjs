// Runs RNNoise (the @jitsi/rnnoise-wasm build) over a raw file of mono
// 16-bit little-endian samples at 48 kHz and writes the result in the same
// format. Frames are 480 samples (10 ms); RNNoise works on values scaled to
// the int16 range. The output is not shifted back: RNNoise's own delay stays
// in it and is found by the benchmark's alignment.
//
// Usage: node run.mjs IN.raw OUT.raw
// Prints one line of JSON: {"frames": N, "us_per_10ms": T}
import { readFileSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { dirname, join } from "node:path";
import { pathToFileURL } from "node:url";

const [inPath, outPath] = process.argv.slice(2);
if (!inPath || !outPath) {
  console.error("usage: node run.mjs IN.raw OUT.raw");
  process.exit(2);
}

const require = createRequire(import.meta.url);
const pkgDir = dirname(require.resolve("@jitsi/rnnoise-wasm/package.json"));
const { default: createModule } = await import(
  pathToFileURL(join(pkgDir, "dist", "rnnoise-sync.js")).href
);
const mod = await createModule();

const FRAME = 480;
const buf = readFileSync(inPath);
const input = new Int16Array(buf.buffer, buf.byteOffset, buf.length >> 1);
const frames = Math.ceil(input.length / FRAME);
const output = new Int16Array(frames * FRAME);

const state = mod._rnnoise_create(0);
const ptr = mod._malloc(FRAME * 4);
const heapIndex = ptr >> 2;

let busy = 0n;
for (let f = 0; f < frames; f++) {
  const heap = mod.HEAPF32;
  for (let i = 0; i < FRAME; i++) {
    const n = f * FRAME + i;
    heap[heapIndex + i] = n < input.length ? input[n] : 0;
  }
  const t0 = process.hrtime.bigint();
  mod._rnnoise_process_frame(state, ptr, ptr);
  busy += process.hrtime.bigint() - t0;
  const out = mod.HEAPF32;
  for (let i = 0; i < FRAME; i++) {
    const v = Math.round(out[heapIndex + i]);
    output[f * FRAME + i] = Math.max(-32768, Math.min(32767, v));
  }
}
mod._free(ptr);
mod._rnnoise_destroy(state);

writeFileSync(outPath, Buffer.from(output.buffer, 0, input.length * 2));
console.log(JSON.stringify({ frames, us_per_10ms: Number(busy) / 1000 / frames }));

// Benchmark peer: stores a manifest at type 24, name 1, language 0 with the resedit package,
// writing the image in place and flushing it to disk, as Tarvisk does.
// Usage: node resedit-embed.mjs <executable> <manifest>
import fs from 'node:fs';
import * as ResEdit from 'resedit';

function arrayBufferOf(buf) {
  return buf.buffer.slice(buf.byteOffset, buf.byteOffset + buf.byteLength);
}

const [exePath, manifestPath] = process.argv.slice(2);
if (!exePath || !manifestPath) {
  console.error('usage: node resedit-embed.mjs <executable> <manifest>');
  process.exit(2);
}

const exe = ResEdit.NtExecutable.from(arrayBufferOf(fs.readFileSync(exePath)), { ignoreCert: true });
const res = ResEdit.NtExecutableResource.from(exe);
res.replaceResourceEntry({ type: 24, id: 1, lang: 0, codepage: 0, bin: arrayBufferOf(fs.readFileSync(manifestPath)) });
res.outputResource(exe);
const out = Buffer.from(exe.generate());

const fd = fs.openSync(exePath, 'w');
try {
  fs.writeSync(fd, out);
  fs.fsyncSync(fd);
} finally {
  fs.closeSync(fd);
}

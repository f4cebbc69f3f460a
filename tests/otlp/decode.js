// Decodes OTLP/HTTP JSON log requests with OpenTelemetry's own generated protobuf classes:
// each file named on the command line must hold one ExportLogsServiceRequest that
// fromObject takes, verify accepts, and that an encode/decode round trip gives back equal
// to the input (64-bit integers as decimal strings, enums as numbers, bytes as base64).
// Prints "ok <file>" per file; on the first failure prints why and exits with status 1.
'use strict';
const fs = require('fs');
const util = require('util');
const root = require('@opentelemetry/otlp-transformer/build/src/generated/root.js');

const Request = root.opentelemetry.proto.collector.logs.v1.ExportLogsServiceRequest;

function check(file) {
  const input = JSON.parse(fs.readFileSync(file, 'utf8'));
  const message = Request.fromObject(input);
  const invalid = Request.verify(message);
  if (invalid) throw new Error('verify: ' + invalid);
  const decoded = Request.decode(Request.encode(message).finish());
  const output = Request.toObject(decoded, { longs: String, enums: Number, bytes: String });
  if (!util.isDeepStrictEqual(output, input)) {
    throw new Error('round trip differs:\n' + JSON.stringify(input) + '\n' +
                    JSON.stringify(output));
  }
}

for (const file of process.argv.slice(2)) {
  try {
    check(file);
    console.log('ok ' + file);
  } catch (e) {
    console.log('FAILED ' + file + ': ' + e.message);
    process.exit(1);
  }
}

// Decodes OTLP/HTTP log requests with OpenTelemetry's own generated protobuf classes.
//   <file.json>            the file must hold one ExportLogsServiceRequest in the JSON
//                          encoding that fromObject takes, verify accepts, and that an
//                          encode/decode round trip gives back equal to the input (64-bit
//                          integers as decimal strings, enums as numbers, bytes as base64).
//   <file.pb>=<file.json>  the protobuf body must decode to the same message as the JSON
//                          body, field for field.
// Prints "ok <argument>" per argument; on the first failure prints why and exits with 1.
'use strict';
const fs = require('fs');
const util = require('util');
const root = require('@opentelemetry/otlp-transformer/build/src/generated/root.js');

const Request = root.opentelemetry.proto.collector.logs.v1.ExportLogsServiceRequest;
const asObject = (m) => Request.toObject(m, { longs: String, enums: Number, bytes: String });

// OTLP's JSON writes a record's traceId and spanId in hex, where protobuf's JSON mapping
// (which fromObject follows) has base64: each is checked as hex of its length and turned
// into base64 before the message is made.
function hexIdsToBase64(input) {
  for (const rl of input.resourceLogs || []) {
    for (const sl of rl.scopeLogs || []) {
      for (const record of sl.logRecords || []) {
        for (const [key, length] of [['traceId', 32], ['spanId', 16]]) {
          if (record[key] === undefined) continue;
          if (!new RegExp('^[0-9a-f]{' + length + '}$').test(record[key]))
            throw new Error(key + ' is not ' + length + ' lower-case hex digits: ' + record[key]);
          record[key] = Buffer.from(record[key], 'hex').toString('base64');
        }
      }
    }
  }
  return input;
}

function readJson(file) {
  const input = hexIdsToBase64(JSON.parse(fs.readFileSync(file, 'utf8')));
  const message = Request.fromObject(input);
  const invalid = Request.verify(message);
  if (invalid) throw new Error('verify: ' + invalid);
  return { input, message };
}

function checkJson(file) {
  const { input, message } = readJson(file);
  const output = asObject(Request.decode(Request.encode(message).finish()));
  if (!util.isDeepStrictEqual(output, input)) {
    throw new Error('round trip differs:\n' + JSON.stringify(input) + '\n' +
                    JSON.stringify(output));
  }
}

function checkProtobuf(pbFile, jsonFile) {
  const fromJson = asObject(readJson(jsonFile).message);
  const decoded = Request.decode(fs.readFileSync(pbFile));
  const invalid = Request.verify(decoded);
  if (invalid) throw new Error('verify: ' + invalid);
  const fromProtobuf = asObject(decoded);
  if (!util.isDeepStrictEqual(fromProtobuf, fromJson)) {
    throw new Error('protobuf differs from JSON:\n' + JSON.stringify(fromJson) + '\n' +
                    JSON.stringify(fromProtobuf));
  }
}

for (const arg of process.argv.slice(2)) {
  try {
    const pair = arg.split('=');
    if (pair.length === 2) {
      checkProtobuf(pair[0], pair[1]);
    } else {
      checkJson(arg);
    }
    console.log('ok ' + arg);
  } catch (e) {
    console.log('FAILED ' + arg + ': ' + e.message);
    process.exit(1);
  }
}

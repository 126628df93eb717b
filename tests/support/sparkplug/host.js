// A Sparkplug B host application for the tests, built only on the npm MQTT client and payload
// codec, so the node under test is checked against code it shares nothing with.
//   node host.js <port> <output file> <command file>
// It subscribes to spBv1.0/# on 127.0.0.1:<port> and appends one JSON line per message to the
// output file: {"topic","qos","retain","payload"} with the payload decoded (64-bit numbers as
// decimal strings, bytes as hex, NaN and infinities as strings, as decode.js prints them), or
// "text" for the JSON of a STATE topic. {"ready":true} follows the first SUBACK. Lines appended
// to the command file are carried out in order:
//   {"publish": TOPIC, "payload": {...}, "qos": N, "retain": B}  a Sparkplug B payload
//   {"text": TOPIC, "payload": "STRING", "qos": N, "retain": B}  raw text (STATE)
// each answered by {"done": INDEX} once sent (for QoS 1 once acknowledged), or by
// {"error": "...", "index": INDEX}; INDEX counts the command file's lines from 0.
'use strict';
const fs = require('fs');
const mqtt = require('mqtt');
const Long = require('long');
const sparkplug = require('sparkplug-payload').get('spBv1.0');
const {replacer} = require('./decode.js');

const [port, outPath, cmdPath] = process.argv.slice(2);
if (!port || !outPath || !cmdPath) {
    console.error('usage: node host.js <port> <output file> <command file>');
    process.exit(2);
}

// One write per line: a reader never sees two lines interleaved, only a last one unfinished.
function emit(obj) {
    fs.appendFileSync(outPath, JSON.stringify(obj, replacer) + '\n');
}

// The printed forms back to what the encoder takes: decimal strings to Longs, hex to bytes,
// "NaN" and the infinities to numbers. Exact 64-bit values would be rounded as numbers.
const kUnsigned64 = new Set(['UInt64', 'DateTime']);
function toLong(v, unsigned) {
    if (typeof v !== 'string')
        return v;
    if (!/^-?\d+$/.test(v))
        throw new Error(`not a decimal integer: ${v}`);
    return Long.fromString(v, unsigned);
}
function prepareMetric(m) {
    const out = Object.assign({}, m);
    for (const field of ['timestamp', 'alias'])
        if (field in out)
            out[field] = toLong(out[field], true);
    if (out.type === 'Int64' || kUnsigned64.has(out.type))
        out.value = toLong(out.value, kUnsigned64.has(out.type));
    else if ((out.type === 'Bytes' || out.type === 'File') && typeof out.value === 'string')
        out.value = Buffer.from(out.value, 'hex');
    else if ((out.type === 'Float' || out.type === 'Double') && typeof out.value === 'string')
        out.value = Number(out.value);
    return out;
}
function preparePayload(p) {
    if (!p || typeof p !== 'object' || Array.isArray(p))
        throw new Error('the payload is not an object');
    const out = Object.assign({}, p);
    for (const field of ['timestamp', 'seq'])
        if (field in out)
            out[field] = toLong(out[field], true);
    if (Array.isArray(out.metrics))
        out.metrics = out.metrics.map(prepareMetric);
    return out;
}

const client = mqtt.connect(`mqtt://127.0.0.1:${port}`, {
    protocolVersion: 4,
    clean: true,
    connectTimeout: 5000,
    reconnectPeriod: 500,
});
let ready = false;
client.on('connect', () => {
    client.subscribe('spBv1.0/#', {qos: 1}, (err) => {
        if (err)
            emit({error: `subscribe: ${err.message}`});
        else if (!ready) {
            ready = true;
            emit({ready: true});
        }
    });
});
client.on('error', (err) => emit({error: `mqtt: ${err.message}`}));
client.on('message', (topic, payload, packet) => {
    const line = {topic, qos: packet.qos, retain: packet.retain};
    if (topic.startsWith('spBv1.0/STATE/')) {
        line.text = payload.toString('utf8');
    } else {
        try {
            line.payload = sparkplug.decodePayload(payload);
        } catch (err) {
            line.error = `cannot decode: ${err.message}`;
            line.raw = payload;
        }
    }
    emit(line);
});

function run(index, text) {
    let cmd, topic, body;
    try {
        cmd = JSON.parse(text);
        if (typeof cmd.publish === 'string') {
            topic = cmd.publish;
            body = Buffer.from(sparkplug.encodePayload(preparePayload(cmd.payload)));
        } else if (typeof cmd.text === 'string' && typeof cmd.payload === 'string') {
            topic = cmd.text;
            body = cmd.payload;
        } else {
            throw new Error('neither a publish nor a text command');
        }
    } catch (err) {
        emit({error: `command ${index}: ${err.message}`, index});
        return;
    }
    const opts = {qos: cmd.qos === undefined ? 0 : cmd.qos, retain: cmd.retain === true};
    client.publish(topic, body, opts, (err) => {
        if (err)
            emit({error: `command ${index}: publish: ${err.message}`, index});
        else
            emit({done: index});
    });
}

// The command file is read from where the last complete line ended; a line still being
// written waits for its newline.
let offset = 0, pending = Buffer.alloc(0), nextIndex = 0;
setInterval(() => {
    let fd;
    try {
        fd = fs.openSync(cmdPath, 'r');
    } catch (err) {
        return; // not created yet
    }
    try {
        const size = fs.fstatSync(fd).size;
        if (size <= offset)
            return;
        const chunk = Buffer.alloc(size - offset);
        const got = fs.readSync(fd, chunk, 0, chunk.length, offset);
        offset += got;
        pending = Buffer.concat([pending, chunk.subarray(0, got)]);
    } finally {
        fs.closeSync(fd);
    }
    let nl;
    while ((nl = pending.indexOf(0x0a)) >= 0) {
        const text = pending.subarray(0, nl).toString('utf8');
        pending = pending.subarray(nl + 1);
        run(nextIndex++, text);
    }
}, 20);

process.on('SIGTERM', () => {
    client.end(true);
    process.exit(0);
});

// Decodes Sparkplug B payloads with the independent npm decoder: each file named (or standard
// input, with none or "-") gives one line of JSON. 64-bit numbers print as exact decimal strings,
// bytes as hex, NaN and infinities as strings, so nothing is rounded on the way to the tests.
'use strict';
const fs = require('fs');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

function replacer(key, value) {
    const raw = this[key];
    if (Buffer.isBuffer(raw) || raw instanceof Uint8Array)
        return Buffer.from(raw).toString('hex');
    if (value && typeof value === 'object' && 'low' in value && 'high' in value &&
        'unsigned' in value)
        return value.toString(); // a Long
    if (typeof value === 'number' && !Number.isFinite(value))
        return String(value);
    return value;
}

// The test host prints what it receives the same way.
module.exports = {replacer};
if (require.main === module) {
    const files = process.argv.length > 2 ? process.argv.slice(2) : ['-'];
    for (const file of files) {
        const bytes = fs.readFileSync(file === '-' ? 0 : file);
        process.stdout.write(JSON.stringify(sparkplug.decodePayload(bytes), replacer) + '\n');
    }
}

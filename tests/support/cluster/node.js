'use strict'
// One broker node of the test cluster: aedes on 127.0.0.1:<port>, sharing messages and
// sessions with the other nodes through the Redis server on 127.0.0.1:<redis port>.
// Every PUBLISH a client sends is appended to <log file> as it arrives, before the node
// acknowledges it, one line per message: client id, topic, payload and the wall-clock time in
// milliseconds (Date.now()) separated by tabs, each byte of the first three outside printable
// ASCII (and '%') written as %XX. Each line is written straight to the file, so the log
// survives the node being killed.
//   node node.js <port> <redis port> <log file> [node id]
const fs = require('fs')
const net = require('net')
const [port, redisPort, logPath, id] = process.argv.slice(2)
if (!port || !redisPort || !logPath) {
  console.error('usage: node node.js <port> <redis port> <log file> [node id]')
  process.exit(2)
}
const redis = { host: '127.0.0.1', port: Number(redisPort) }
const log = fs.openSync(logPath, 'a')

function escape (value) {
  let out = ''
  for (const b of Buffer.from(value)) {
    out += b > 0x20 && b < 0x7f && b !== 0x25 ? String.fromCharCode(b) : '%' + b.toString(16).padStart(2, '0')
  }
  return out
}

const broker = require('aedes')({
  id: id || `node-${port}`,
  mq: require('mqemitter-redis')(redis),
  persistence: require('aedes-persistence-redis')(redis),
  // Called on receipt, before the PUBACK: aedes acknowledges QoS 1 before it passes the
  // message on, so a later hook would miss what a killed node had acknowledged.
  authorizePublish (client, packet, done) {
    fs.writeSync(log, `${escape(client.id)}\t${escape(packet.topic)}\t${escape(packet.payload)}\t${Date.now()}\n`)
    done(null)
  }
})
net.createServer(broker.handle)
  .on('error', (err) => { console.error(`node: ${err.message}`); process.exit(1) })
  .listen(Number(port), '127.0.0.1', () => console.log(`ready ${broker.id} on 127.0.0.1:${port}`))

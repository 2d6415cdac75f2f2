#!/usr/bin/env node
// socket.io 2 (Engine.IO 3) test peer for the push channel.
// Usage: sio_peer.js [port] [pingInterval ms] [pingTimeout ms]
// Prints "PORT <n>" once it listens on 127.0.0.1, then one line per happening:
//   "CONNECT <engine sid> <query as JSON>", "EVENT <name> <payload JSON>", "DISCONNECT <reason>",
//   "REFUSED <reason>" when Engine.IO refuses a handshake.
// Commands on stdin, one per line:
//   "EMIT <name> <payload JSON>"  event to every client
//   "RAW <text>"                  a raw Engine.IO text frame to every client
//   "FREEZE" / "THAW"             stop / resume answering pings
//
// The client's push URL has the shape "/?user_id=..&EIO=3&transport=websocket&sid=<token>&..",
// and after a drop "&sid=<engine sid>" is appended. A stock server would read the first sid as an
// Engine.IO session and refuse it, so this peer adapts to the client: the path becomes the
// socket.io path, the first sid is renamed "token", a later sid stays the Engine.IO session id.
'use strict';
const http = require('http');
const readline = require('readline');

const port = parseInt(process.argv[2] || '0', 10);
const pingInterval = parseInt(process.argv[3] || '25000', 10);
const pingTimeout = parseInt(process.argv[4] || '5000', 10);

const server = http.createServer();
const io = require('socket.io')(server, { pingInterval, pingTimeout, transports: ['websocket'] });
let frozen = false;

function adaptUrl(req) {
  const q = req.url.indexOf('?');
  const path = q < 0 ? req.url : req.url.slice(0, q);
  if (path !== '/' || q < 0) return;
  let seenSid = false;
  const parts = req.url.slice(q + 1).split('&').map((p) => {
    if (p.startsWith('sid=') && !seenSid) {
      seenSid = true;
      return 'token=' + p.slice(4);
    }
    return p;
  });
  req.url = '/socket.io/?' + parts.join('&');
}
server.prependListener('upgrade', adaptUrl);
server.prependListener('request', adaptUrl);

const verify = io.engine.verify.bind(io.engine);
io.engine.verify = (req, upgrade, fn) =>
  verify(req, upgrade, (err, ok) => {
    if (!ok) console.log(`REFUSED ${err} ${JSON.stringify(req._query)}`);
    fn(err, ok);
  });
io.engine.on('connection', (socket) => {
  // Pongs go out through sendPacket; a frozen peer drops them.
  const send = socket.sendPacket.bind(socket);
  socket.sendPacket = (type, data, opts, cb) => {
    if (type === 'pong' && frozen) return;
    send(type, data, opts, cb);
  };
});
io.on('connection', (socket) => {
  console.log(`CONNECT ${socket.conn.id} ${JSON.stringify(socket.handshake.query)}`);
  socket.use((packet, next) => {
    console.log(`EVENT ${packet[0]} ${JSON.stringify(packet[1])}`);
    next();
  });
  socket.on('disconnect', (reason) => console.log(`DISCONNECT ${reason}`));
});

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  const sp = line.indexOf(' ');
  const cmd = sp < 0 ? line : line.slice(0, sp);
  const rest = sp < 0 ? '' : line.slice(sp + 1);
  if (cmd === 'EMIT') {
    const sp2 = rest.indexOf(' ');
    io.emit(rest.slice(0, sp2), JSON.parse(rest.slice(sp2 + 1)));
  } else if (cmd === 'RAW') {
    for (const id of Object.keys(io.engine.clients)) io.engine.clients[id].write(rest);
  } else if (cmd === 'FREEZE') {
    frozen = true;
  } else if (cmd === 'THAW') {
    frozen = false;
  }
  console.log(`DONE ${cmd}`);
});

server.listen(port, '127.0.0.1', () => console.log(`PORT ${server.address().port}`));
process.on('SIGTERM', () => process.exit(0));

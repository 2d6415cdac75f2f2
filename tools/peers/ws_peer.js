#!/usr/bin/env node
// WebSocket test peer on npm's `ws`. Listens on 127.0.0.1 (port from argv[2],
// default ephemeral), prints "PORT <n>", and behaves by the request path:
//   /echo            echoes every message (text or binary) and pings' payloads
//   /split           sends a 200-byte text frame in two TCP segments
//   /big?size=N      sends one binary frame of N bytes (byte i = i % 251)
//   /frag            sends a text message in three fragments
//   /ping            pings with "hi"; on the pong sends the text "pong:<payload>"
//   /close?code=C    closes with code C and reason "bye"
//   /closeempty      sends a close frame without a payload
//   /stream?total=N&chunk=M  sends N bytes in binary frames of M bytes, then closes with 1000
//   /badaccept       answers the handshake with a wrong-case accept value
//   /refuse          answers the handshake with 403
// Every message and close from a client is reported on stdout:
//   "MSG <text|binary> <length> <sha1 hex>", "CLOSE <code> <reason>".
'use strict';
const http = require('http');
const crypto = require('crypto');
const { WebSocketServer } = require('ws');

const port = parseInt(process.argv[2] || '0', 10);
const wss = new WebSocketServer({ noServer: true, maxPayload: 256 * 1024 * 1024 });
const server = http.createServer((req, res) => {
  res.writeHead(404);
  res.end('not a websocket\n');
});

function pattern(n) {
  const b = Buffer.alloc(n);
  for (let i = 0; i < n; i++) b[i] = i % 251;
  return b;
}

function acceptValue(key) {
  return crypto.createHash('sha1').update(key + '258EAFA5-E914-47DA-95CA-C5AB0DC85B11').digest('base64');
}

server.on('upgrade', (req, socket, head) => {
  const url = new URL(req.url, 'http://x');
  if (url.pathname === '/badaccept') {
    const accept = acceptValue(req.headers['sec-websocket-key']);
    socket.end('HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
               'Sec-WebSocket-Accept: ' + accept.toLowerCase() + '\r\n\r\n');
    return;
  }
  if (url.pathname === '/refuse') {
    socket.end('HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n');
    return;
  }
  wss.handleUpgrade(req, socket, head, (ws) => onConnection(ws, url));
});

function onConnection(ws, url) {
  ws.on('message', (data, isBinary) => {
    const digest = crypto.createHash('sha1').update(data).digest('hex');
    console.log(`MSG ${isBinary ? 'binary' : 'text'} ${data.length} ${digest}`);
    if (url.pathname === '/echo') ws.send(data, { binary: isBinary });
  });
  ws.on('close', (code, reason) => console.log(`CLOSE ${code} ${reason.toString()}`));
  ws.on('ping', (data) => console.log(`PING ${data.toString()}`));
  ws.on('error', (err) => console.log(`ERROR ${err.message}`));
  switch (url.pathname) {
    case '/split': {
      const payload = Buffer.alloc(200, 'a');
      const frame = Buffer.concat([Buffer.from([0x81, 126, 0, 200]), payload]);
      const sock = ws._socket;
      sock.setNoDelay(true);
      sock.write(frame.subarray(0, 60));
      setTimeout(() => sock.write(frame.subarray(60)), 150);
      break;
    }
    case '/big':
      ws.send(pattern(parseInt(url.searchParams.get('size'), 10)), { binary: true });
      break;
    case '/frag':
      ws.send('first-', { fin: false });
      ws.send('second-', { fin: false });
      ws.send('third', { fin: true });
      break;
    case '/ping':
      ws.on('pong', (data) => ws.send('pong:' + data.toString()));
      ws.ping('hi');
      break;
    case '/close':
      ws.close(parseInt(url.searchParams.get('code'), 10), 'bye');
      break;
    case '/closeempty':
      ws._socket.write(Buffer.from([0x88, 0x00]));
      break;
    case '/stream': {
      const total = parseInt(url.searchParams.get('total'), 10);
      const chunk = parseInt(url.searchParams.get('chunk'), 10);
      const block = pattern(chunk);
      let sent = 0;
      const pump = () => {
        while (sent < total) {
          const n = Math.min(chunk, total - sent);
          sent += n;
          const ok = ws._socket.write(Buffer.concat([header(n), n === chunk ? block : block.subarray(0, n)]));
          if (!ok) {
            ws._socket.once('drain', pump);
            return;
          }
        }
        ws.close(1000, 'done');
      };
      pump();
      break;
    }
    default:
      break;
  }
}

// Header of an unmasked binary frame of n bytes.
function header(n) {
  if (n <= 125) return Buffer.from([0x82, n]);
  if (n <= 65535) return Buffer.from([0x82, 126, n >> 8, n & 255]);
  const h = Buffer.alloc(10);
  h[0] = 0x82;
  h[1] = 127;
  h.writeBigUInt64BE(BigInt(n), 2);
  return h;
}

server.listen(port, '127.0.0.1', () => console.log(`PORT ${server.address().port}`));
process.on('SIGTERM', () => process.exit(0));

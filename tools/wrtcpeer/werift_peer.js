#!/usr/bin/env node
// A WebRTC peer built on werift (a stack we did not write), for the interop tests of the WebRTC transports.
//
//   werift_peer.js client --ws ws://127.0.0.1:PORT --did DID   offers to a camera's LAN WebSocket the way our
//                                                                client does ("ovwebrtc" on the LAN)
//   werift_peer.js device --port PORT --did DID                 answers our client's offers on a LAN
//                                                                WebSocket of its own, as a camera does
//
// Both make the seven pre-negotiated channels 0..6 and, once they are open, relay them over standard input
// and output as frames [u8 channel][u32 big-endian length][bytes]. Channel 255 carries control texts to the
// test: {"event":"open"}, {"event":"candidate","result":"added"|"refused"} for each candidate of the other
// end, and {"event":"closed"}. It answers STUN binding requests itself on loopback (werift gathers through it), and
// everything stays on 127.0.0.1. It ends when its standard input closes.
'use strict';

const dgram = require('dgram');
const { RTCPeerConnection } = require('werift');
const WebSocket = require('ws');

const kChannels = 7;
const kControl = 255;

function fail(msg) {
  process.stderr.write(`werift_peer: ${msg}\n`);
  process.exit(2);
}

function parseArgs(argv) {
  const o = { role: argv[0] };
  for (let i = 1; i < argv.length; i += 2) {
    const v = argv[i + 1];
    if (v === undefined) fail(`missing value of ${argv[i]}`);
    if (argv[i] === '--ws') o.ws = v;
    else if (argv[i] === '--port') o.port = Number(v);
    else if (argv[i] === '--did') o.did = v;
    else fail(`unknown option ${argv[i]}`);
  }
  if (o.role !== 'client' && o.role !== 'device') fail('the role is client or device');
  if (!o.did) fail('--did is required');
  if (o.role === 'client' && !/^ws:\/\/127\.0\.0\.1:\d+$/.test(o.ws || '')) fail('--ws takes ws://127.0.0.1:PORT');
  if (o.role === 'device' && !(o.port > 0 && o.port < 65536)) fail('--port takes a port');
  return o;
}

const log = (line) => process.stderr.write(`werift_peer: ${line}\n`);

// --- the relay to the test ---
function writeFrame(channel, bytes) {
  const head = Buffer.alloc(5);
  head.writeUInt8(channel, 0);
  head.writeUInt32BE(bytes.length, 1);
  process.stdout.write(Buffer.concat([head, bytes]));
}
const control = (obj) => writeFrame(kControl, Buffer.from(JSON.stringify(obj)));

function readFrames(onFrame) {
  let buf = Buffer.alloc(0);
  process.stdin.on('data', (chunk) => {
    buf = Buffer.concat([buf, chunk]);
    while (buf.length >= 5) {
      const n = buf.readUInt32BE(1);
      if (buf.length < 5 + n) break;
      onFrame(buf.readUInt8(0), buf.subarray(5, 5 + n));
      buf = buf.subarray(5 + n);
    }
  });
  process.stdin.on('end', () => process.exit(0));
}

// --- a STUN binding responder on loopback, so gathering ends at once ---
function startStun() {
  return new Promise((resolve) => {
    const s = dgram.createSocket('udp4');
    s.on('message', (msg, from) => {
      if (msg.length < 20 || msg.readUInt16BE(0) !== 0x0001 || msg.readUInt32BE(4) !== 0x2112a442) return;
      const attr = Buffer.alloc(12);
      attr.writeUInt16BE(0x0020, 0);  // XOR-MAPPED-ADDRESS
      attr.writeUInt16BE(8, 2);
      attr.writeUInt16BE(0x0001, 4);
      attr.writeUInt16BE(from.port ^ 0x2112, 6);
      const ip = from.address.split('.').reduce((a, b) => (a << 8) + Number(b), 0) >>> 0;
      attr.writeUInt32BE((ip ^ 0x2112a442) >>> 0, 8);
      const head = Buffer.from(msg.subarray(0, 20));
      head.writeUInt16BE(0x0101, 0);
      head.writeUInt16BE(attr.length, 2);
      s.send(Buffer.concat([head, attr]), from.port, from.address);
    });
    s.bind(0, '127.0.0.1', () => resolve(s.address().port));
  });
}

// --- the peer connection ---
async function makePeer(stunPort, onOpen) {
  const pc = new RTCPeerConnection({
    iceServers: [{ urls: `stun:127.0.0.1:${stunPort}` }],
    iceUseIpv4: false,
    iceUseIpv6: false,
    iceAdditionalHostAddresses: ['127.0.0.1'],
    iceFilterCandidatePair: (pair) => pair.remoteCandidate.host === '127.0.0.1',
  });
  const channels = [];
  let open = 0;
  for (let i = 0; i < kChannels; ++i) {
    const dc = pc.createDataChannel(`ch${i}`, { negotiated: true, id: i, ordered: true });
    channels.push(dc);
    dc.onMessage.subscribe((data) => writeFrame(i, Buffer.isBuffer(data) ? data : Buffer.from(data)));
    dc.stateChanged.subscribe((state) => {
      if (state === 'open' && ++open === kChannels) onOpen();
      if (state === 'closed') control({ event: 'closed' });
    });
  }
  readFrames((ch, bytes) => {
    if (ch < kChannels && channels[ch].readyState === 'open') channels[ch].send(Buffer.from(bytes));
  });
  return pc;
}

// Candidates of the other end, applied once its description is set; each result is told to the test.
function candidateSink(pc) {
  const sink = { ready: false, held: [] };
  const add = (init) =>
    pc.addIceCandidate(init).then(
      () => control({ event: 'candidate', result: 'added' }),
      (e) => {
        log(`candidate refused: ${e && e.message}`);
        control({ event: 'candidate', result: 'refused' });
      });
  sink.take = (init) => (sink.ready ? add(init) : sink.held.push(init));
  sink.flush = () => {
    sink.ready = true;
    sink.held.splice(0).forEach(add);
  };
  return sink;
}

const b64 = (text) => Buffer.from(text).toString('base64');
const unb64 = (text) => Buffer.from(String(text || ''), 'base64').toString();
const candidateText = (c) => (c.candidate.startsWith('candidate:') ? c.candidate : `candidate:${c.candidate}`);

async function runClient(o, stunPort) {
  const user = 'werift-client';
  const id = 'W' + Math.random().toString(36).slice(2, 17).padEnd(15, '0');
  const pc = await makePeer(stunPort, () => control({ event: 'open' }));
  const sink = candidateSink(pc);
  const ws = new WebSocket(o.ws);
  // Our client's LAN frames: ["ov/device/<id>/webrtc", "<event object text>"].
  const send = (message) =>
    ws.send(JSON.stringify([`ov/device/${o.did}/webrtc`,
                            JSON.stringify({ type: 'webrtc', from: user, to: o.did, message })]));
  ws.on('error', (e) => fail(`websocket: ${e.message}`));
  ws.on('message', async (data) => {
    let text = data.toString();
    if (text.startsWith('42')) text = text.slice(2);
    let ev;
    try {
      ev = JSON.parse(text);
    } catch (e) {
      return log(`not JSON: ${text}`);
    }
    if (!Array.isArray(ev) || ev[0] !== 'message' || !ev[1] || ev[1].type !== 'webrtc') return;
    const m = JSON.parse(ev[1].message);
    if (m.id !== id) return;
    if (m.type === 'answer') {
      await pc.setRemoteDescription({ type: 'answer', sdp: unb64(m.sdp) });
      sink.flush();
    } else if (m.type === 'candidate') {
      const c = JSON.parse(unb64(m.sdp));
      sink.take({ candidate: c.candidate, sdpMid: c.sdpMid, sdpMLineIndex: c.sdpMLineIndex });
    }
  });
  await new Promise((resolve) => ws.on('open', resolve));
  pc.onIceCandidate.subscribe((c) => {
    if (c && c.candidate) send({ type: 'candidate', id, candidate: candidateText(c), sdpMid: '0', sdpMLineIndex: 0 });
  });
  const offer = await pc.createOffer();
  await pc.setLocalDescription(offer);
  send({ type: 'call', use_dtls: 1, id, offer: b64(pc.localDescription.sdp) });
}

async function runDevice(o, stunPort) {
  const server = new WebSocket.Server({ host: '127.0.0.1', port: o.port });
  server.on('listening', () => log(`listening on ${o.port}`));
  server.on('connection', async (ws) => {
    let pc = null;
    let sink = null;
    let early = [];  // candidates that came while the peer connection was being made
    let id = '';
    let user = '';
    const reply = (type, sdp) =>
      ws.send('42' + JSON.stringify(['message', {
        type: 'webrtc', from: o.did, to: user, message: JSON.stringify({ id, type, sdp: b64(sdp) }) }]));
    ws.on('message', async (data) => {
      let frame;
      try {
        frame = JSON.parse(data.toString());
      } catch (e) {
        return log('frame not JSON');
      }
      const ev = JSON.parse(frame[1]);
      const m = ev.message;
      if (m.type === 'call' && !id) {
        id = m.id;
        user = ev.from;
        pc = await makePeer(stunPort, () => control({ event: 'open' }));
        sink = candidateSink(pc);
        early.splice(0).forEach(sink.take);
        pc.onIceCandidate.subscribe((c) => {
          if (c && c.candidate)
            reply('candidate', JSON.stringify({ candidate: candidateText(c), sdpMid: '0', sdpMLineIndex: 0 }));
        });
        await pc.setRemoteDescription({ type: 'offer', sdp: unb64(m.offer) });
        sink.flush();
        const answer = await pc.createAnswer();
        await pc.setLocalDescription(answer);
        reply('answer', pc.localDescription.sdp);
      } else if (m.type === 'candidate' && m.id === id) {
        // As our client sends it: the mid it names must be one of the offer's.
        const init = { candidate: m.candidate, sdpMid: m.sdpMid, sdpMLineIndex: m.sdpMLineIndex };
        if (sink) sink.take(init);
        else early.push(init);
      }
    });
  });
}

async function main() {
  const o = parseArgs(process.argv.slice(2));
  const stunPort = await startStun();
  if (o.role === 'client') await runClient(o, stunPort);
  else await runDevice(o, stunPort);
}

main().catch((e) => fail(e && e.stack ? e.stack : String(e)));

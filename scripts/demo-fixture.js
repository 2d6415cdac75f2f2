// Writes the demo world's cloudsim fixture from the demo account (app/demo): users and storage tokens as they
// are, the devices with the rendezvous init string put in, and cloud recordings of every device over the
// last days. Prints one line per device and per recording for scripts/demo-world:
//   device ID P2P_ID PASSWORD UUID DES_KEY NAME
//   record ID UUID DES_KEY START SEGMENTS
//
//   node demo-fixture.js DEMO_DIR OUT_DIR INIT NOW [DAYS [PER_DAY]]
'use strict';
const fs = require('fs');
const path = require('path');

const [demo, out, init, nowText, daysText, perDayText] = process.argv.slice(2);
if (!demo || !out || !init || !/^\d+$/.test(nowText || '')) {
  process.stderr.write('usage: node demo-fixture.js DEMO_DIR OUT_DIR INIT NOW [DAYS [PER_DAY]]\n');
  process.exit(2);
}
const now = Number(nowText);
const days = Math.max(1, Math.min(14, Number(daysText || 3)));
const SEGMENT_SEC = 5;
const RECORD_SEGMENTS = 4;       // 20-second recordings
const RECORDS_PER_DAY = Math.max(1, Math.min(24, Number(perDayText || 2)));

const read = (name) => JSON.parse(fs.readFileSync(path.join(demo, name), 'utf8'));
fs.mkdirSync(out, { recursive: true });
const write = (name, value) => fs.writeFileSync(path.join(out, name), JSON.stringify(value, null, 1) + '\n');

write('users.json', read('users.json'));
write('tokens.json', read('tokens.json'));
const ossid = Object.keys(read('tokens.json'))[0];

const accounts = read('devices.json');
const recordings = {};
const lines = [];
for (const list of Object.values(accounts)) {
  for (const d of list) {
    // %INIT%: the rendezvous init string; %THUMBS%: where the world serves the thumbnails (DEMO_THUMBS).
    for (const k of Object.keys(d)) {
      if (typeof d[k] !== 'string') continue;
      d[k] = d[k].split('%INIT%').join(init).split('%THUMBS%').join(process.env.DEMO_THUMBS || '');
    }
    lines.push(`device ${d.id} ${d.p2p_id} ${d.password} ${d.uuid} ${d.des_key} ${d.name}`);
    // Recordings every few hours back from now, a little apart for each device.
    const step = Math.floor((days * 86400) / (days * RECORDS_PER_DAY));
    const byDay = {};
    for (let k = 0; k < days * RECORDS_PER_DAY; k++) {
      let start = now - 600 - k * step - (Number(d.id) % 10) * 420;
      start -= start % SEGMENT_SEC;
      const end = start + RECORD_SEGMENTS * SEGMENT_SEC;
      const t = new Date(start * 1000);
      const day = `${t.getFullYear()}-${String(t.getMonth() + 1).padStart(2, '0')}-${String(t.getDate()).padStart(2, '0')}`;
      (byDay[day] = byDay[day] || []).push({ start_time: start, end_time: end, tag: k % 2 ? 'person' : 'motion',
        ossid, image_path: '', is_body: k % 2 });
      lines.push(`record ${d.id} ${d.uuid} ${d.des_key} ${start} ${RECORD_SEGMENTS}`);
    }
    recordings[String(d.id)] = byDay;
  }
}
write('devices.json', accounts);
write('recordings.json', recordings);
process.stdout.write(lines.join('\n') + '\n');

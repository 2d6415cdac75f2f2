// Signs a GET with the aws4 package, as an independent check of our Signature Version 4 headers. The date is
// sent in the "Date" header and left out of the signed headers, as the client does.
//   node aws4_sign.js '{"host","path","region","accessKeyId","secretAccessKey","sessionToken","amzDate"}'
// prints the Authorization header's value.
'use strict';
const aws4 = require('aws4');
const a = JSON.parse(process.argv[2]);
const signer = new aws4.RequestSigner({
  host: a.host, path: a.path, method: 'GET', service: 's3', region: a.region,
  headers: { 'X-Amz-Content-Sha256': 'UNSIGNED-PAYLOAD', 'X-Amz-Security-Token': a.sessionToken,
    'X-Amz-Date': a.amzDate },
  extraHeadersToIgnore: { 'x-amz-date': true },
}, { accessKeyId: a.accessKeyId, secretAccessKey: a.secretAccessKey, sessionToken: a.sessionToken });
process.stdout.write(signer.sign().headers.Authorization + '\n');

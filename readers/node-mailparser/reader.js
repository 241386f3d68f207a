#!/usr/bin/env node
// A mail reader built on the npm package mailparser, for `email_ventry --reader`.
//
// It reads a message the way an application built on mailparser would: the To and Cc
// entries, the text and HTML bodies mailparser assembles (it joins every inline text part
// into them) and the attachments it lists. Beside that result it names, with email_ventry's
// feature IDs, everything its own result drops or carries in a lesser form than the message
// declares. The rules it follows are the comments marked "Rule:" below; docs/readers.md
// describes the protocol and how to instrument a reader.
//
//   (cd readers/node-mailparser && npm ci)
//   email_ventry --list L --root R --reader "node readers/node-mailparser/reader.js" > r.jsonl
'use strict';

const { MailParser } = require('mailparser');
const mailparserVersion = require('mailparser/package.json').version;

const READER_NAME = 'node-mailparser';
const READER_VERSION = `mailparser ${mailparserVersion}, node ${process.version}`;

// The feature IDs this reader names, each with its fixed action word.
const RECIPIENTS = ['email.read.headers.recipients', 'degraded'];
const DATE = ['email.read.headers.date', 'degraded'];
const CHARSET_FALLBACK = ['email.read.mime.charset-fallback', 'degraded'];
const MESSAGE_RFC822 = ['email.read.mime.message-rfc822', 'degraded'];
// Never named here, because mailparser carries what they stand for: format=flowed text is
// reflowed; calendar parts, other text parts and parts with a Content-ID are listed as
// attachments (with their Content-ID); a text or HTML part never replaces another, since
// every inline one is joined into the bodies; attachments keep their bytes whatever the
// size; its transfer decoders never fail (bad base64 decodes as far as it goes). Nothing
// reads threads.

// Longer than any message should take; a parse still running then is given up as "threw".
const PARSE_DEADLINE_MS = 30000;

class Losses {
  // The loss notices of one read in the order named; an identical notice is named once.
  constructor() {
    this.notices = [];
    this.named = new Set();
  }

  add(feature, detail) {
    const key = `${feature[0]}\n${detail}`;
    if (this.named.has(key)) return;
    this.named.add(key);
    this.notices.push({ feature, detail });
  }
}

// Runs mailparser over one message. Resolves with what an application gets from it (the
// headers, the text and HTML bodies, the attachments with their bytes) and the part tree
// mailparser built, which the loss rules look at. mailparser keeps the tree on the parser
// object without documenting it; the version is pinned in package.json.
function parse(bytes) {
  return new Promise((resolve, reject) => {
    const parser = new MailParser();
    const mail = { text: '', html: '', attachments: [] };
    parser.on('data', data => {
      if (data.type === 'attachment') {
        const chunks = [];
        data.content.on('data', chunk => chunks.push(chunk));
        data.content.on('end', () => {
          data.content = Buffer.concat(chunks);
          data.release();
        });
        mail.attachments.push(data);
      } else if (data.type === 'text') {
        mail.text = data.text || '';
        mail.html = data.html || '';
      }
    });
    parser.on('error', reject);
    parser.on('end', () => resolve({ mail, parser }));
    parser.end(bytes);
  });
}

async function readMessage(bytes) {
  const { mail, parser } = await parse(bytes);
  const { text, html, attachments } = mail;
  const result = { to: [], cc: [], text, html, attachments };
  const losses = new Losses();
  const headers = parser.headers || new Map();
  const headerLines = parser.headerLines || [];
  readRecipients('To', headers, headerLines, result.to, losses);
  readRecipients('Cc', headers, headerLines, result.cc, losses);
  if (headerLines.some(line => line.key === 'date')) {
    // Rule: our result has no date, so a Date header is never carried.
    losses.add(DATE, 'the Date header is not carried: the read result has no date');
  }
  for (const node of partsOf(parser.tree)) {
    if (node.contentType === 'message/rfc822' && node.node.messageNode) {
      // Rule: a forwarded message shown inline is merged into our bodies and attachments,
      // not read as a message of its own.
      losses.add(MESSAGE_RFC822, 'a forwarded message is merged into the bodies and attachments');
    }
    if (typeof node.textContent === 'string') checkCharset(node, losses);
  }
  for (const attachment of result.attachments) {
    if (attachment.contentType === 'message/rfc822' && !attachment.filename) {
      // Rule: any other forwarded message is listed as an opaque attachment, not read.
      losses.add(MESSAGE_RFC822, 'a forwarded message is carried as an opaque attachment');
    }
  }
  return { result, losses };
}

// mailparser keeps one value per To (or Cc) header, in header order, beside the raw lines.
function readRecipients(name, headers, headerLines, entries, losses) {
  const key = name.toLowerCase();
  const parsed = [].concat(headers.get(key) || []);
  const raw = headerLines.filter(line => line.key === key);
  raw.forEach((line, index) => {
    const rawValue = line.line.slice(line.line.indexOf(':') + 1).replace(/\r?\n/g, '');
    if (!rawValue.trim()) return; // a blank header declares no recipient
    const header = parsed[index] || { value: [], text: '' };
    const found = [];
    let whole = true;
    for (const item of header.value) {
      if (item.group && item.group.length === 0 && item.name) found.push(`${item.name}:;`);
      for (const mailbox of item.group || [item]) {
        whole = whole && (mailbox.address || '').includes('@');
        found.push(mailbox.name ? `${mailbox.name} <${mailbox.address}>` : mailbox.address);
      }
    }
    if (whole && found.length) {
      for (const entry of found) entries.push(entry);
      return;
    }
    // Rule: a header that yields no entry, or a mailbox without an address, is carried as
    // its text in one entry instead of parsed addresses.
    entries.push(header.text || rawValue.trim());
    losses.add(RECIPIENTS, `the ${name} header is carried as its text, not as addresses`);
  });
}

// mailparser decodes an inline text part by its charset parameter; without one, with
// us-ascii, or with a charset it does not know or refuses (UTF-7), it decodes UTF-8 and puts
// U+FFFD in place of bytes that are not.
function checkCharset(node, losses) {
  const label = node.contentType;
  const charset = String(node.charset || '').trim().toLowerCase();
  const bare = charset.replace(/[^a-z0-9]/g, ''); // how mailparser compares charset names
  const guessed =
    !bare ||
    bare === 'ascii' ||
    bare === 'usascii' ||
    (node.contentStream && node.contentStream.supported === false);
  if (guessed) {
    if (/[^\x00-\x7f]/.test(node.textContent)) {
      // Rule: non-ASCII bytes without a usable charset declaration are decoded by a guess.
      losses.add(CHARSET_FALLBACK, `the ${label} body has non-ASCII bytes and no usable charset`);
    } else if (/^(?:(?:cs)?unicode11)?utf7(?:imap)?$/.test(bare) &&
               /\+[A-Za-z0-9+/]/.test(node.textContent)) {
      // Rule: UTF-7 is refused and its shifted characters are carried as their ASCII form.
      losses.add(CHARSET_FALLBACK, `the ${label} body is UTF-7 and carried undecoded`);
    }
  } else if (node.textContent.includes('\ufffd')) {
    // Rule: bytes that do not fit the declared charset become replacement characters.
    losses.add(CHARSET_FALLBACK, `the ${label} body does not fit charset ${charset}`);
  }
}

// Every node of mailparser's part tree, in document order.
function* partsOf(tree) {
  const stack = tree ? [tree] : [];
  while (stack.length) {
    const node = stack.pop();
    yield node;
    for (let i = (node.children || []).length - 1; i >= 0; i--) stack.push(node.children[i]);
  }
}

// The protocol side: everything below speaks to email_ventry and knows nothing of mail.

let inFlight = null; // the message being read: { fail(error) }

async function replyFor(name, bytes) {
  let timer;
  try {
    const deadline = new Promise((_, reject) => {
      timer = setTimeout(
        () => reject(new Error(`mailparser did not finish within ${PARSE_DEADLINE_MS / 1000} s`)),
        PARSE_DEADLINE_MS
      );
    });
    const failure = new Promise((_, reject) => (inFlight = { fail: reject }));
    const { result, losses } = await Promise.race([readMessage(bytes), deadline, failure]);
    return {
      name,
      outcome: 'ok',
      loss: losses.notices.map(({ feature }) => ({ id: feature[0], action: feature[1] })),
      gotHtml: result.html.length > 0,
      gotText: result.text.length > 0,
      gotAttachments: result.attachments.length,
      gotTo: result.to.length,
      gotCc: result.cc.length
    };
  } catch (error) {
    const text = `${(error && error.name) || 'Error'}: ${(error && error.message) || error}`;
    return { name, outcome: 'threw', error: text.replace(/\s+/g, ' ').slice(0, 1000) };
  } finally {
    clearTimeout(timer);
    inFlight = null;
  }
}

// Standard input as a queue of bytes: request lines and message bytes are taken off its
// front. Reading pauses while much is queued and nothing is waiting for it.
class Input {
  constructor(stream) {
    this.stream = stream;
    this.chunks = [];
    this.size = 0;
    this.ended = false;
    this.wake = null;
    stream.on('data', chunk => {
      this.chunks.push(chunk);
      this.size += chunk.length;
      if (this.size >= 64 << 20) stream.pause();
      this.notify();
    });
    stream.on('end', () => this.finish());
    stream.on('error', () => this.finish());
  }

  finish() {
    this.ended = true;
    this.notify();
  }

  notify() {
    const wake = this.wake;
    this.wake = null;
    if (wake) wake();
  }

  more() {
    this.stream.resume();
    return new Promise(resolve => (this.wake = resolve));
  }

  // The next line without its "\n", or null at the end of input.
  async line() {
    for (;;) {
      let offset = 0;
      for (const chunk of this.chunks) {
        const at = chunk.indexOf(10);
        if (at >= 0) return this.take(offset + at + 1).subarray(0, offset + at);
        offset += chunk.length;
      }
      if (this.ended) return null;
      await this.more();
    }
  }

  // The next `count` bytes, or null when the input ends first.
  async bytes(count) {
    while (this.size < count) {
      if (this.ended) return null;
      await this.more();
    }
    return this.take(count);
  }

  take(count) {
    const parts = [];
    let left = count;
    while (left > 0) {
      const chunk = this.chunks[0];
      if (chunk.length <= left) {
        parts.push(this.chunks.shift());
        left -= chunk.length;
      } else {
        parts.push(chunk.subarray(0, left));
        this.chunks[0] = chunk.subarray(left);
        left = 0;
      }
    }
    this.size -= count;
    return parts.length === 1 ? parts[0] : Buffer.concat(parts, count);
  }
}

// {"name": ..., "bytes": N}
function parseRequest(line) {
  let request;
  try {
    request = JSON.parse(line);
  } catch {
    request = null;
  }
  if (!request || typeof request.name !== 'string' || !Number.isSafeInteger(request.bytes) ||
      request.bytes < 0) {
    throw new Error(`not a request: ${line.slice(0, 200)}`);
  }
  return request;
}

async function serve(input, send) {
  send({ reader: READER_NAME, version: READER_VERSION });
  for (;;) {
    const line = await input.line();
    if (line === null) return; // end of input: the run is over
    const { name, bytes: size } = parseRequest(line.toString('utf8'));
    const bytes = await input.bytes(size);
    if (bytes === null) return; // input ended inside a message: the tool has gone
    send(await replyFor(name, bytes));
  }
}

function main() {
  // Anything written to standard output by accident (console.log in a library) goes to
  // standard error: standard output carries protocol lines only.
  const out = process.stdout;
  const write = out.write.bind(out);
  out.write = (...args) => process.stderr.write(...args);
  out.on('error', () => process.exit(0)); // the tool has gone
  const send = reply => write(JSON.stringify(reply) + '\n');

  // The tool ends a run by closing our input; an interrupt at the terminal is its to handle.
  process.on('SIGINT', () => {});
  // A library's exception that escapes its own handling fails the message being read, not
  // the reader; one that comes between messages is from a parse already given up.
  const escaped = error => {
    if (inFlight) return inFlight.fail(error);
    process.stderr.write(`${READER_NAME}: after a message: ${(error && error.stack) || error}\n`);
  };
  process.on('uncaughtException', escaped);
  process.on('unhandledRejection', escaped);

  serve(new Input(process.stdin), send).then(
    () => write('', () => process.exit(0)),
    error => {
      process.stderr.write(`${READER_NAME}: ${error.message}\n`);
      process.exit(2);
    }
  );
}

main();

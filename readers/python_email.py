#!/usr/bin/env python3
"""A mail reader built on Python's standard `email` package, for `email_ventry --reader`.

It reads a message the way an application built on the package would: the To and Cc
entries, one plain and one HTML body (the package's own `get_body` choice) and every other
leaf part as an attachment. Beside that result it names, with email_ventry's feature IDs,
everything its own result drops or carries in a lesser form than the message declares. The
rules it follows are the comments marked "Rule:" below; docs/readers.md describes the
protocol and how to instrument a reader.

    email_ventry --list L --root R --reader "python3 readers/python_email.py" > r.jsonl

Needs nothing beyond Python 3.11's standard library.
"""

import json
import platform
import signal
import sys
from dataclasses import dataclass, field
from email import errors, policy
from email.message import EmailMessage
from email.parser import BytesParser

READER_NAME = "python-email"
READER_VERSION = "python " + platform.python_version()

# The feature IDs this reader names, each with its fixed action word.
RECIPIENTS = ("email.read.headers.recipients", "degraded")
DATE = ("email.read.headers.date", "degraded")
CHARSET_FALLBACK = ("email.read.mime.charset-fallback", "degraded")
FORMAT_FLOWED = ("email.read.mime.format-flowed", "degraded")
CALENDAR = ("email.read.calendar.detect", "dropped")
NESTED = ("email.read.mime.nested", "dropped")
CONTENT = ("email.read.attachments.content", "dropped")
TEXTUAL_PART = ("email.read.mime.textual-part", "dropped")
MESSAGE_RFC822 = ("email.read.mime.message-rfc822", "degraded")
# Never named here: email.read.mime.related-cid (inline parts with a Content-ID are listed
# with it, so an HTML body can resolve them), email.read.attachments.oversize (every
# attachment keeps its bytes, whatever its size) and email.read.thread.assembly.

ASCII_LABELS = ("us-ascii", "ascii")

PARSER = BytesParser(policy=policy.default)


@dataclass
class Attachment:
    filename: str
    content_type: str
    content: bytes
    content_id: str | None


@dataclass
class ReadResult:
    to: list[str] = field(default_factory=list)
    cc: list[str] = field(default_factory=list)
    text: str = ""
    html: str = ""
    attachments: list[Attachment] = field(default_factory=list)


class Losses:
    """The loss notices of one read in the order named; an identical notice is named once."""

    def __init__(self):
        self.notices = []  # (feature, detail)
        self._named = set()

    def add(self, feature, detail):
        if (feature, detail) not in self._named:
            self._named.add((feature, detail))
            self.notices.append((feature, detail))


def read_message(data: bytes) -> tuple[ReadResult, Losses]:
    """Reads one raw message. Raises whatever the package raises on it."""
    message = PARSER.parsebytes(data)
    result = ReadResult()
    losses = Losses()
    for name, entries in (("To", result.to), ("Cc", result.cc)):
        for value in header_values(message, name):
            read_recipients(message, name, value, entries, losses)
    if header_values(message, "Date"):
        # Rule: our result has no date, so a Date header is never carried.
        losses.add(DATE, "the Date header is not carried: the read result has no date")
    bodies = [message.get_body(preferencelist=(subtype,)) for subtype in ("plain", "html")]
    read_bodies(bodies, result, losses)
    read_attachments(message, bodies, result, losses)
    return result, losses


def header_values(message: EmailMessage, name: str) -> list[str]:
    """The raw values of the top-level headers called `name`, found by their trimmed name in
    any letter case (the package itself would miss "To :")."""
    wanted = name.lower()
    return [value for key, value in message.raw_items() if key.strip().lower() == wanted]


def read_recipients(message, name, value, entries, losses):
    header = message.policy.header_fetch_parse(name, value)
    text = str(header)
    if not text.strip():
        return  # a blank header declares no recipient
    parsed = []
    whole = True
    for group in header.groups:
        if group.display_name is not None and not group.addresses:
            if group.display_name:
                parsed.append(group.display_name + ":;")
        for address in group.addresses:
            whole = whole and "@" in address.addr_spec
            if address.display_name:
                parsed.append(f"{address.display_name} <{address.addr_spec}>")
            else:
                parsed.append(address.addr_spec)
    if whole and parsed:
        entries.extend(parsed)
        return
    # Rule: a header that yields no entry, or a mailbox without an address, is carried as its
    # decoded text in one entry instead of parsed addresses.
    entries.append(text)
    losses.add(RECIPIENTS, f"the {name} header is carried as its text, not as addresses")


def read_bodies(bodies, result, losses):
    for subtype, part in zip(("plain", "html"), bodies):
        if part is None:
            continue
        label = "text/" + subtype
        raw = transfer_decoded(part)
        if raw is None:
            # Rule: a body whose transfer encoding cannot be undone is dropped.
            losses.add(CONTENT, f"the {label} body failed to decode and was dropped")
            continue
        text = decode_text(part, raw, label, losses)
        if subtype == "plain":
            result.text = text
            if (part.get_param("format") or "").strip().lower() == "flowed":
                # Rule: format=flowed text is carried as written, not reflowed.
                losses.add(FORMAT_FLOWED, "the text/plain body is format=flowed, not reflowed")
        else:
            result.html = text


def decode_text(part, raw: bytes, label: str, losses) -> str:
    declared = part.get_content_charset()
    if declared and declared not in ASCII_LABELS:
        text = decode_as(raw, declared, "strict")
        if text is not None:
            return text
        text = decode_as(raw, declared, "replace")
        if text is not None:
            # Rule: bytes that do not fit the declared charset become replacement characters.
            losses.add(CHARSET_FALLBACK, f"the {label} body does not fit charset {declared}")
            return text
        # A label Python has no codec for is as good as none.
    if raw.isascii():
        return raw.decode("ascii")
    # Rule: non-ASCII bytes without a usable charset declaration are decoded by a guess.
    losses.add(CHARSET_FALLBACK, f"the {label} body has non-ASCII bytes and no usable charset")
    text = decode_as(raw, "utf-8", "strict")
    return text if text is not None else raw.decode("windows-1252", errors="replace")


def decode_as(raw: bytes, charset: str, errors: str) -> str | None:
    """The bytes decoded by Python's codec for `charset`, or None when there is no such codec
    or it fails."""
    try:
        return raw.decode(charset, errors)
    except (LookupError, ValueError):  # a UnicodeError is a ValueError
        return None


def read_attachments(message, bodies, result, losses):
    for part, content_type in leaves(message):
        if any(part is body for body in bodies):
            continue
        maintype, subtype = content_type.split("/", 1)
        if maintype == "multipart":
            continue  # a multipart without a boundary: it declares no parts
        filename = part.get_filename()
        if maintype == "text" and filename is None and not part.is_attachment():
            unlisted_text(part, content_type, losses)
            continue
        content = attachment_bytes(part)
        if content is None:
            # Rule: an attachment whose bytes cannot be decoded is dropped.
            losses.add(CONTENT, f"a {content_type} attachment failed to decode and was dropped")
            continue
        if filename is None:
            filename = "attachment." + subtype
            if content_type == "message/rfc822":
                # Rule: a forwarded message is listed as an opaque attachment, not read.
                losses.add(MESSAGE_RFC822, "a forwarded message is carried as an opaque attachment")
        content_id = part.get("content-id")
        if content_id is not None:
            content_id = str(content_id).strip("<>")
        result.attachments.append(Attachment(filename, content_type, content, content_id))


def unlisted_text(part, content_type, losses):
    """An unnamed inline text part that is not one of our two bodies: nothing carries it."""
    if content_type in ("text/plain", "text/html"):
        if transfer_decoded(part):
            # Rule: a second non-empty body of a kind we already carry is dropped.
            losses.add(NESTED, f"a further {content_type} body part was dropped")
    elif content_type == "text/calendar":
        # Rule: a calendar part that is neither a body nor an attachment is dropped.
        losses.add(CALENDAR, "a text/calendar part was dropped")
    else:
        # Rule: any other inline text part that is neither a body nor an attachment is dropped.
        losses.add(TEXTUAL_PART, f"an unnamed {content_type} part was dropped")


def leaves(message):
    """Every part that is not a multipart container, in document order, with its media type.
    A message/* part is a leaf: this reader does not read forwarded messages."""
    stack = [message]
    while stack:
        part = stack.pop()
        content_type = part.get_content_type()  # parsed anew on every call: once is enough
        if content_type.startswith("multipart/") and part.is_multipart():
            stack.extend(reversed(part.get_payload()))
        else:
            yield part, content_type


def attachment_bytes(part) -> bytes | None:
    payload = part.get_payload()
    if isinstance(payload, list):
        # The package parsed a message/* part into messages; its bytes are those written back.
        return b"".join(inner.as_bytes(policy=policy.compat32) for inner in payload)
    return transfer_decoded(part)


def transfer_decoded(part) -> bytes | None:
    """The part's bytes with the transfer encoding undone, or None when that fails. The package
    repairs bad base64 padding and skips stray characters; base64 whose length no repair can fix
    comes back undecoded, with a defect that says so."""
    defects = len(part.defects)
    raw = part.get_payload(decode=True)
    if any(isinstance(d, errors.InvalidBase64LengthDefect) for d in part.defects[defects:]):
        return None
    return raw if raw is not None else b""


# The protocol side: everything below speaks to email_ventry and knows nothing of mail.


# Longer than any message should take; a read still running then is given up as "threw".
READ_DEADLINE_S = 30


class DeadlinePassed(Exception):
    pass


class Deadline:
    """Raises DeadlinePassed inside the `with` block once it has run for `seconds`."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.armed = False
        signal.signal(signal.SIGALRM, self._passed)

    def _passed(self, signum, frame):
        if self.armed:
            raise DeadlinePassed(f"the read took longer than {self.seconds} s")

    def __enter__(self):
        self.armed = True
        signal.setitimer(signal.ITIMER_REAL, self.seconds)

    def __exit__(self, *exception):
        self.armed = False
        signal.setitimer(signal.ITIMER_REAL, 0)


def reply_for(name: str, data: bytes, deadline: Deadline) -> dict:
    try:
        with deadline:
            result, losses = read_message(data)
    except Exception as error:  # whatever the package (or this reader) raised on this message
        text = " ".join(f"{type(error).__name__}: {error}".split())
        return {"name": name, "outcome": "threw", "error": text[:1000]}
    return {
        "name": name,
        "outcome": "ok",
        "loss": [{"id": feature[0], "action": feature[1]} for feature, _ in losses.notices],
        "gotHtml": bool(result.html),
        "gotText": bool(result.text),
        "gotAttachments": len(result.attachments),
        "gotTo": len(result.to),
        "gotCc": len(result.cc),
    }


def serve(requests, replies):
    def send(obj):
        replies.write(json.dumps(obj, separators=(",", ":")).encode("ascii") + b"\n")
        replies.flush()

    send({"reader": READER_NAME, "version": READER_VERSION})
    deadline = Deadline(READ_DEADLINE_S)
    while True:
        line = requests.readline()
        if not line:
            return  # end of input: the run is over
        request = json.loads(line)
        size = request["bytes"]
        if not isinstance(size, int) or size < 0:
            raise ValueError(f"bad byte count in request: {line!r}")
        data = requests.read(size)
        if len(data) < size:
            return  # input ended inside a message: the tool has gone
        send(reply_for(request["name"], data, deadline))


def main():
    # The tool ends a run by closing our input; an interrupt at the terminal is its to handle.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    replies = sys.stdout.buffer
    sys.stdout = sys.stderr  # anything printed by accident must not reach the protocol stream
    try:
        serve(sys.stdin.buffer, replies)
    except BrokenPipeError:
        pass  # the tool has gone
    except (ValueError, KeyError, TypeError) as error:
        print(f"{READER_NAME}: not a request: {error}", file=sys.stderr)
        sys.exit(2)


if __name__ == "__main__":
    main()

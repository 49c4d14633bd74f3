#!/usr/bin/python3
"""Independent judge of the messages this program writes, with Python's own
email package.

Usage:
  message_judge.py check MANIFEST
      Checks messages against what a manifest (JSON, below) says they must
      be. Prints one line per problem, then "N messages judged, M problems",
      and exits 1 when there is any problem.
  message_judge.py describe [--utf8] FILE...
      Prints, as one JSON array, what a receiver reads in each message file:
      header names, subject, addresses, Message-Id, the plain and HTML
      bodies, every leaf part, and the defects the parser noted in the
      structure and in the header fields. The caller judges. --utf8 reads the files as UTF-8 text (RFC 6532 messages) with
      the SMTPUTF8 policy.

Manifest:
  {"form": "smtp" or "stored",
   "folder": DIR,
   "messages": [ENTRY, ...]}
  form "smtp" (the default): each file holds the message as it goes over
  SMTP: CR LF line ends, dot-stuffed, ending with the "." line. "stored":
  as a server kept it: dot-stuffing undone, no final line, any line ends.
  With "folder" the messages are the files in DIR, each matched by its To
  address to the entry with that "to_address"; every entry must have
  exactly one message and no message may be left over. Without it every
  entry names its "file".
ENTRY: "name" (for the report), "file" or "to_address", and any of
  "subject", "from_name", "to" ([[display name, address], ...]),
  "headers" ({field: decoded value}), "header_count" ({field: count}) and
  "tree" (NODE). Subjects, names and header values must read exactly as
  given: a blank added before or after the text is a problem.
NODE: "type" and one of
  "parts": [NODE, ...]      the children, in order;
  "text" and "charset"      a text part that decodes to exactly this text;
  "contains" and "charset"  a text part whose decoded text holds each of
                            these strings;
  "file", "filename", "disposition" and optionally "cid"
                            a base64 part that decodes to the file's bytes.
  A multipart node with "cids_referenced": true also needs every part of it
  that has a Content-ID to be named as "cid:..." in its first part.
"""
import email
import email.header
import email.policy
import email.utils
import hashlib
import json
import os
import sys

# Defects that show a broken structure: a multipart not closed, a boundary
# that never starts a part, damaged base64.
STRUCTURE_DEFECTS = {
    "StartBoundaryNotFoundDefect", "CloseBoundaryNotFoundDefect", "MultipartInvariantViolationDefect",
    "MissingHeaderBodySeparatorDefect", "InvalidBase64PaddingDefect", "InvalidBase64CharactersDefect",
    "InvalidBase64LengthDefect", "InvalidMultipartContentTransferEncodingDefect",
}

problems = []


def fail(msg_name, text):
    problems.append(f"{msg_name}: {text}")


def unstuff(wire):
    # RFC 5321 4.5.2: the receiver removes the final "." line and the
    # doubled "." of stuffed lines.
    if not wire.endswith(b"\r\n.\r\n"):
        return None
    lines = wire[:-3].split(b"\r\n")
    return b"\r\n".join(l[1:] if l.startswith(b".") else l for l in lines)


class Parsed:
    """One message read twice: with the default policy for its structure,
    and with compat32 for its display names. The address parser of the
    default policy keeps the blank between two encoded words, which
    RFC 2047 6.2 says to drop; the RFC 2047 decoder does it right."""

    def __init__(self, data, utf8=False):
        if utf8:
            text = data.decode("utf-8")
            self.msg = email.message_from_string(text, policy=email.policy.SMTPUTF8)
            self.raw = email.message_from_string(text, policy=email.policy.compat32)
        else:
            self.msg = email.message_from_bytes(data, policy=email.policy.default)
            self.raw = email.message_from_bytes(data, policy=email.policy.compat32)

    def addresses(self, field):
        pairs = email.utils.getaddresses([str(v) for v in self.raw.get_all(field, [])])
        return [[str(email.header.make_header(email.header.decode_header(n))), a] for n, a in pairs]

    def defects(self):
        return [type(d).__name__ for part in self.msg.walk() for d in part.defects]

    def header_defects(self):
        return [f"{name}: {type(d).__name__}" for name, value in self.msg.items()
                for d in getattr(value, "defects", ())]


# --- check -----------------------------------------------------------------


def text_of(name, part, node):
    raw = part.get_payload(decode=True)
    charset = part.get_content_charset()
    if charset != node["charset"].lower():
        fail(name, f"{part.get_content_type()} charset {charset!r}, expected {node['charset']!r}")
        return None
    try:
        return raw.decode(charset).encode("utf-8")
    except (LookupError, UnicodeDecodeError) as e:
        fail(name, f"{part.get_content_type()} does not decode as {charset}: {e}")
        return None


def check_text(name, part, node):
    text = text_of(name, part, node)
    if text is None:
        return
    if "contains" in node:
        for want in node["contains"]:
            if want.encode("utf-8") not in text:
                fail(name, f"{part.get_content_type()} text {text[:200]!r} lacks {want!r}")
        return
    want = node["text"].encode("utf-8")
    # The line break before a boundary (or the end) belongs to it; a part's
    # text may carry one extra line break there.
    if text != want and text not in (want + b"\r\n", want + b"\n"):
        fail(name, f"{part.get_content_type()} text {text[:120]!r} != {want[:120]!r}")


def check_file(name, part, node):
    with open(node["file"], "rb") as f:
        want = f.read()
    got = part.get_payload(decode=True)
    if got != want:
        fail(name, f"{node['file']}: {len(got or b'')} bytes decoded, {len(want)} expected, or content differs")
    if part.get("Content-Transfer-Encoding", "").lower() != "base64":
        fail(name, f"{node['file']}: not base64")
    filename = part.get_filename()
    if filename != node["filename"]:
        fail(name, f"file name {filename!r} != {node['filename']!r}")
    if "cid" in node and part.get("Content-ID") != "<" + node["cid"] + ">":
        fail(name, f"Content-ID {part.get('Content-ID')!r} != <{node['cid']}>")
    disposition = part.get_content_disposition()
    if disposition != node["disposition"]:
        fail(name, f"disposition {disposition!r} != {node['disposition']!r}")


def check_cids_referenced(name, children):
    # RFC 2387: the root of a multipart/related refers to the other parts
    # by their Content-ID (RFC 2392 "cid:" URLs).
    root = children[0].get_payload(decode=True).decode(children[0].get_content_charset() or "ascii", "replace")
    for child in children[1:]:
        cid = str(child.get("Content-ID") or "").strip().strip("<>")
        if not cid:
            fail(name, f"{child.get_content_type()} part without Content-ID")
        elif f"cid:{cid}" not in root:
            fail(name, f"cid:{cid} is not referred to by the {children[0].get_content_type()} part")


def check_node(name, part, node):
    ctype = part.get_content_type()
    if ctype != node["type"]:
        fail(name, f"content type {ctype!r} != {node['type']!r}")
        return
    if "parts" in node:
        children = part.get_payload()
        if not isinstance(children, list) or len(children) != len(node["parts"]):
            fail(name, f"{ctype}: {len(children) if isinstance(children, list) else 'no'} parts, "
                       f"expected {len(node['parts'])}")
            return
        for child, child_node in zip(children, node["parts"]):
            check_node(name, child, child_node)
        if node.get("cids_referenced"):
            check_cids_referenced(name, children)
    elif "text" in node or "contains" in node:
        check_text(name, part, node)
    elif "file" in node:
        check_file(name, part, node)


def check_form(name, content, form):
    """The message data of a file in the given form, or None."""
    for line in content.replace(b"\r\n", b"\n").split(b"\n"):
        if len(line) > 998:  # RFC 5322 2.1.1
            fail(name, f"line of {len(line)} characters")
    if form == "stored":
        return content
    if b"\n" in content.replace(b"\r\n", b"") or b"\r" in content.replace(b"\r\n", b""):
        fail(name, "bare CR or LF")
    data = unstuff(content)
    if data is None:
        fail(name, "no final '.' line")
    return data


def check_message(entry, parsed):
    name = entry["name"]
    msg = parsed.msg
    if "subject" in entry:
        got = str(msg["Subject"] or "")
        if got != entry["subject"]:
            fail(name, f"subject {got!r} != {entry['subject']!r}")
    if "from_name" in entry:
        got = parsed.addresses("From")[0][0]
        if got != entry["from_name"]:
            fail(name, f"from name {got!r} != {entry['from_name']!r}")
    for field, want in entry.get("headers", {}).items():
        got = msg.get_all(field, [])
        if [str(v) for v in got] != [want]:
            fail(name, f"{field} {[str(v) for v in got]!r} != [{want!r}]")
    if "to" in entry:
        got = parsed.addresses("To")
        if got != entry["to"]:
            fail(name, f"To {got!r} != {entry['to']!r}")
    if "header_count" in entry:
        for field, count in entry["header_count"].items():
            if len(msg.get_all(field, [])) != count:
                fail(name, f"{len(msg.get_all(field, []))} {field} headers, expected {count}")
    if "tree" in entry:
        check_node(name, msg, entry["tree"])
    for defect in parsed.defects():
        if defect in STRUCTURE_DEFECTS:
            fail(name, f"defect {defect}")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check(manifest_path):
    with open(manifest_path, encoding="utf-8") as f:
        manifest = json.load(f)
    form = manifest.get("form", "smtp")
    entries = manifest["messages"]
    if "folder" in manifest:
        by_address = {e["to_address"]: e for e in entries}
        seen = set()
        folder = manifest["folder"]
        for file_name in sorted(os.listdir(folder)):
            try:
                data = check_form(file_name, read(os.path.join(folder, file_name)), form)
                if data is None:
                    continue
                parsed = Parsed(data)
                to = [a for _, a in parsed.addresses("To")]
                entry = by_address.get(to[0]) if len(to) == 1 else None
                if entry is None:
                    fail(file_name, f"unknown recipient {to!r}")
                    continue
                if to[0] in seen:
                    fail(file_name, f"second message for {to[0]}")
                seen.add(to[0])
                check_message(entry, parsed)
            except Exception as e:  # a parser crash is a finding too
                fail(file_name, f"{type(e).__name__}: {e}")
        for address in by_address:
            if address not in seen:
                fail(address, "no message")
    else:
        for entry in entries:
            try:
                data = check_form(entry["name"], read(entry["file"]), form)
                if data is not None:
                    check_message(entry, Parsed(data))
            except Exception as e:  # a parser crash is a finding too
                fail(entry["name"], f"{type(e).__name__}: {e}")
    for p in problems[:50]:
        print(p)
    print(f"{len(entries)} messages judged, {len(problems)} problems")
    return 1 if problems else 0


# --- describe --------------------------------------------------------------


def describe_part(part):
    payload = part.get_payload(decode=True) or b""
    return {
        "type": part.get_content_type(),
        "charset": part.get_content_charset(),
        "filename": part.get_filename(),
        "disposition": part.get_content_disposition(),
        "cid": str(part.get("Content-ID") or ""),
        "encoding": str(part.get("Content-Transfer-Encoding") or "").lower(),
        "size": len(payload),
        "sha256": hashlib.sha256(payload).hexdigest(),
    }


def describe_file(path, utf8):
    parsed = Parsed(read(path), utf8)
    msg = parsed.msg

    def body(kind):
        part = msg.get_body(preferencelist=(kind,))
        return part.get_content() if part is not None else None

    return {
        "file": path,
        "headers": [k.lower() for k in msg.keys()],
        "subject": str(msg["Subject"]) if msg["Subject"] is not None else None,
        "from": parsed.addresses("From"),
        "to": parsed.addresses("To"),
        "message_id": str(msg["Message-Id"]) if msg["Message-Id"] is not None else None,
        "type": msg.get_content_type(),
        "plain": body("plain"),
        "html": body("html"),
        "parts": [describe_part(p) for p in msg.walk() if not p.is_multipart()],
        "defects": parsed.defects(),
        "header_defects": parsed.header_defects(),
    }


def describe(args):
    utf8 = "--utf8" in args
    files = [a for a in args if a != "--utf8"]
    json.dump([describe_file(f, utf8) for f in files], sys.stdout)
    return 0


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "check":
        return check(sys.argv[2])
    if len(sys.argv) >= 3 and sys.argv[1] == "describe":
        return describe(sys.argv[2:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())

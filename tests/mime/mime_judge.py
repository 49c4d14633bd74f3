#!/usr/bin/python3
"""Independent judge for generated messages.

Reads a manifest (JSON) naming message files as they would go over SMTP
(dot-stuffed, ending with the "." line) and the structure and content each
must have. Parses every message with Python's own email package and checks
that it parses as expected and that every part decodes to exactly its input.
Prints one line per problem and exits non-zero when there is any.
"""
import email
import email.header
import email.policy
import email.utils
import json
import sys

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


def check_text(name, part, node):
    want = node["text"].encode("utf-8")
    raw = part.get_payload(decode=True)
    charset = part.get_content_charset()
    if charset != node["charset"].lower():
        fail(name, f"{part.get_content_type()} charset {charset!r}, expected {node['charset']!r}")
        return
    try:
        text = raw.decode(charset).encode("utf-8")
    except (LookupError, UnicodeDecodeError) as e:
        fail(name, f"{part.get_content_type()} does not decode as {charset}: {e}")
        return
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
    elif "text" in node:
        check_text(name, part, node)
    elif "file" in node:
        check_file(name, part, node)


def check_message(entry):
    name = entry["name"]
    with open(entry["file"], "rb") as f:
        wire = f.read()
    for line in wire.split(b"\r\n"):
        if len(line) > 998:
            fail(name, f"line of {len(line)} characters")
    if b"\n" in wire.replace(b"\r\n", b"") or b"\r" in wire.replace(b"\r\n", b""):
        fail(name, "bare CR or LF")
    data = unstuff(wire)
    if data is None:
        fail(name, "no final '.' line")
        return
    msg = email.message_from_bytes(data, policy=email.policy.default)
    # Display names are decoded with the RFC 2047 decoder: the address
    # parser of policy.default keeps the blank between two encoded words,
    # which RFC 2047 6.2 says to drop.
    raw = email.message_from_bytes(data, policy=email.policy.compat32)

    def addresses(field):
        pairs = email.utils.getaddresses([str(v) for v in raw.get_all(field, [])])
        return [(str(email.header.make_header(email.header.decode_header(n))), a) for n, a in pairs]

    if "subject" in entry:
        got = str(msg["Subject"] or "").strip()
        if got != entry["subject"].strip():
            fail(name, f"subject {got!r} != {entry['subject']!r}")
    if "from_name" in entry:
        got = addresses("From")[0][0]
        if got != entry["from_name"].strip():
            fail(name, f"from name {got!r} != {entry['from_name']!r}")
    if "to" in entry:
        got = addresses("To")
        want = [tuple(x) for x in entry["to"]]
        if got != want:
            fail(name, f"To {got!r} != {want!r}")
    if "header_count" in entry:
        for field, count in entry["header_count"].items():
            if len(msg.get_all(field, [])) != count:
                fail(name, f"{len(msg.get_all(field, []))} {field} headers, expected {count}")
    check_node(name, msg, entry["tree"])
    for part in msg.walk():
        # A multipart body has to be closed; a missing closing boundary or
        # a boundary that never starts a part shows up as a defect.
        for defect in part.defects:
            kind = type(defect).__name__
            if kind in ("StartBoundaryNotFoundDefect", "CloseBoundaryNotFoundDefect",
                        "MultipartInvariantViolationDefect", "MissingHeaderBodySeparatorDefect",
                        "InvalidBase64PaddingDefect", "InvalidBase64CharactersDefect",
                        "InvalidBase64LengthDefect", "InvalidMultipartContentTransferEncodingDefect"):
                fail(name, f"defect {kind} in {part.get_content_type()}")


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        manifest = json.load(f)
    for entry in manifest["messages"]:
        try:
            check_message(entry)
        except Exception as e:  # a parser crash is a finding too
            fail(entry["name"], f"{type(e).__name__}: {e}")
    for p in problems:
        print(p)
    print(f"{len(manifest['messages'])} messages judged, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

"""Checks the messages a sending run delivered, with Python's own parser.

Usage: check_sent.py LISTFILE MESSAGEDIR
LISTFILE is the project's list (address;name;code;attachment path). Every
file in MESSAGEDIR is one received message. Each list row must have exactly
one message, addressed to it, whose subject, plain text and HTML carry the
row's values, whose HTML refers to its two inline pictures by Content-ID,
and whose attachment is the row's own file. Prints one line per problem and
exits 1 when there is any; prints "checked N" otherwise.
"""
import email
import email.policy
import os
import sys


def main():
    list_file, folder = sys.argv[1], sys.argv[2]
    rows = {}
    with open(list_file, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if line:
                address, name, code, attachment = line.split(";")
                rows[address] = (name, code, attachment)
    problems = []
    seen = set()
    for entry in sorted(os.listdir(folder)):
        with open(os.path.join(folder, entry), "rb") as f:
            msg = email.message_from_binary_file(f, policy=email.policy.default)
        to = msg["To"].addresses[0].addr_spec if msg["To"] else ""
        if to not in rows:
            problems.append(f"{entry}: unknown recipient {to!r}")
            continue
        if to in seen:
            problems.append(f"{entry}: second message for {to}")
        seen.add(to)
        name, code, attachment = rows[to]
        # The assembler ends its header lines with two blanks; a reader
        # trims them.
        if msg["Subject"].strip() != f"Offer {code} for {name}":
            problems.append(f"{entry}: subject {msg['Subject']!r}")
        text = msg.get_body(("plain",))
        html = msg.get_body(("html",))
        if text is None or f"Dear {name}, your code is {code}." not in text.get_content():
            problems.append(f"{entry}: plain text lacks the row's values")
        if html is None or f"<b>{name}</b> {code}" not in html.get_content():
            problems.append(f"{entry}: HTML lacks the row's values")
            continue
        html_text = html.get_content()
        pictures = [p for p in msg.walk() if p.get_content_maintype() == "image"]
        cids = [p["Content-ID"].strip("<>") for p in pictures if p["Content-ID"]]
        if len(pictures) != 2 or len(cids) != 2 or any(f"cid:{c}" not in html_text for c in cids):
            problems.append(f"{entry}: inline pictures {len(pictures)} cids {cids}")
        contents = sorted(p.get_content() for p in pictures)
        if contents != [b"GIF89a-one", b"\x89PNG-two"]:
            problems.append(f"{entry}: picture contents {contents}")
        files = [p for p in msg.iter_attachments() if p.get_filename()]
        expected_name = os.path.basename(attachment)
        with open(attachment, "rb") as f:
            expected_bytes = f.read()
        if [p.get_filename() for p in files] != [expected_name]:
            problems.append(f"{entry}: attachments {[p.get_filename() for p in files]}")
        elif files[0].get_payload(decode=True) != expected_bytes:
            problems.append(f"{entry}: attachment content differs")
    for address in rows:
        if address not in seen:
            problems.append(f"no message for {address}")
    for p in problems[:20]:
        print(p)
    if problems:
        print(f"{len(problems)} problems")
        sys.exit(1)
    print(f"checked {len(seen)}")


main()

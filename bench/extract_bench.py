#!/usr/bin/env python3
"""The generated tree and the judge of bench/extract_bench.sh.

  extract_bench.py generate FOLDER SIZE_MB FILES EXPECTED [EVERY]
      Writes FILES files of HTML and plain text, about SIZE_MB MiB in all,
      into FOLDER (a hundred files a subfolder), with a fixed seed. Every
      "@" in the tree comes from a snippet whose values under the e-mail
      finder's rules are known when it is written; EXPECTED receives them
      (one per line, "planted" or "other", a tab, the value). Text comes
      in blocks of about 1 kB; every block is followed by 0 to 3 snippets,
      or with EVERY above 1, one block in EVERY (at random) by one snippet:
      a sparse tree.

  extract_bench.py judge FOLDER EXPECTED VARNHOLT_OUT RG_OUT
      Scans the tree again with a small reimplementation of the e-mail
      finder (below), compares varnholt's values with it and with the
      generator's list, and lists how the rg pipeline's values differ.
      Exit status 1 when varnholt's values are not the reference's.
"""
import os
import random
import re
import sys

SEED = 20261211

# ---------------------------------------------------------------- finder
# The e-mail finder as the extraction scan applies it, file by file:
# from each "@" at or after the scan position, go back while the byte is
# allowed (not one of ' " ; blank < > =, not a control or blank (<= 32),
# not 128 or above, not ":" or "/"), then forward from there while the byte
# is allowed (the same without ":" and "/"), each way at most REACH bytes
# from the anchor. A span that is the "@" alone gives nothing and the scan
# goes on after the "@"; otherwise the scan goes on after the span.
REACH = 16 << 10
_stop = b"'\";<>="
_fwd = bytes(c for c in range(33, 128) if c not in _stop)
_back = bytes(c for c in _fwd if c not in b":/")
FORWARD = re.compile(b"[" + re.escape(_fwd) + b"]*")
BACKWARD = re.compile(b"[" + re.escape(_back) + b"]*")


def finder_values(data):
    """The values of one file's bytes, in order."""
    out = []
    n = len(data)
    rev = data[::-1]
    pos = 0
    while True:
        a = data.find(b"@", pos)
        if a < 0:
            return out
        low = max(0, a - REACH)
        # In the reversed text the byte before the anchor is at n - a.
        back = BACKWARD.match(rev, n - a, n - low).end() - (n - a)
        start = a - back
        end = FORWARD.match(data, start, min(n, max(start, a + 1) + REACH)).end()
        if end - start == 1:
            pos = a + 1
            continue
        out.append(data[start:end])
        pos = max(a + 1, end)


def tree_files(folder):
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            yield os.path.join(root, name)


# ------------------------------------------------------------- generator
FIRST = ("anna ben carla david eva frank greta hans ines jan karin lukas maria nils olga paul "
         "rosa stefan tina uwe vera wolf xenia yusuf zoe").split()
LAST = ("meyer schmidt novak rossi dubois larsen silva kowalski berg fischer weber klein "
        "wagner becker hoffmann young smith brown jones miller").split()
TLDS = ("com", "org", "net", "de", "co.uk", "info", "eu", "io")
WORDS = ("the of and to in is that for it as with was on be by this are from at or an have not "
         "which one had but were all they there their what when your can said each she do how if "
         "will up other about out many then them these so some her would make like him into time "
         "has look two more write go see number no way could people than first water been call "
         "who oil its now find long down day did get come made may part newsletter offer price "
         "order shipping customer service contact office opening hours team product support").split()


def make_pool(rng, size):
    domains = [f"{rng.choice(WORDS)}{rng.choice(WORDS)}{i}.{rng.choice(TLDS)}" for i in range(max(50, size // 20))]
    pool = []
    for i in range(size):
        f, l = rng.choice(FIRST), rng.choice(LAST)
        local = rng.choice((f"{f}.{l}", f"{f[0]}{l}", f"{f}_{l}{i % 97}", f"{f}-{l}", f"{l}+news", f"{f}{i}"))
        pool.append(f"{local}{i}@{rng.choice(domains)}")
    return pool


def filler_blocks(rng, html, count):
    blocks = []
    for _ in range(count):
        lines = []
        for _ in range(rng.randint(6, 20)):
            words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 16)))
            sentence = words[0].upper() + words[1:] + rng.choice((".", ",", "!", "?", ":"))
            if html:
                tag = rng.choice(("p", "li", "td", "span", "div"))
                lines.append(f'<{tag} class="c{rng.randint(1, 40)}">{sentence}</{tag}>')
            else:
                lines.append(sentence)
        blocks.append("\n".join(lines) + "\n")
    return blocks


def snippet(rng, pick, html):
    """A text with "@"s and the values the finder gives for it, each
    marked planted (an address written where people write them) or other
    (what the rules make of an address with punctuation around it, or of a
    near miss)."""
    a = pick()
    name = a.split("@")[0].replace(".", " ").title()
    local, dom = a.split("@")
    planted = lambda *vs: [("planted", v) for v in vs]
    other = lambda v: [("other", v)]
    if html:
        table = (
            (f'<a href="mailto:{a}">{name}</a>', planted(a)),
            (f'<a href="mailto:{a}">{a}</a>', planted(a, a)),
            (f"<a href='mailto:{a}'>Mail us</a>", planted(a)),
            (f'<p>Contact {a} for details</p>', planted(a)),
            (f'<p>E-mail: {a}<br>', planted(a)),
            (f'<td>E-mail:{a}</td>', planted(a)),
            (f'<p>E-MAIL: {a.upper()}</p>', planted(a.upper())),
            # The rules keep the punctuation around: the value is not the address.
            (f'<p>Write to {a}.</p>', other(a + ".")),
            (f'<p>Our office ({a})</p>', other(f"({a})")),
            (f'<p>{name} &lt;{a}&gt;</p>', other(a + "&gt")),
            (f'<a href="mailto:{a}?subject=Order">Order</a>', other(a + "?subject")),
        )
    else:
        table = (
            (f'From: "{name}" <{a}>', planted(a)),
            (f'E-mail: {a}', planted(a)),
            (f'E-Mail:{a.upper()}', planted(a.upper())),
            (f'Please contact {a} or call us', planted(a)),
            (f'Reply-To: {a}, office@{dom}', other(a + ",") + planted(f"office@{dom}")),
            (f'Write to {a}.', other(a + ".")),
            (f'({a})', other(f"({a})")),
        )
    if rng.random() < 0.85:
        return rng.choice(table)
    # Near misses.
    handle = rng.choice(FIRST) + str(rng.randint(1, 999))
    misses = (
        ("@media screen and (max-width: 600px) { .c1 { width: 100% } }", [("other", "@media")]),
        (f"Follow us @{handle} for news", [("other", "@" + handle)]),
        ("Two tickets @ 12 EUR each", []),
        (f"{local} [at] {dom}", []),
        (f"{local}&#64;{dom}", []),
        (f"Send it to {local}@ later", [("other", local + "@")]),
        (f"José write to josé@{dom} now", [("other", "@" + dom)]),
        (f"{local}@exämple.de", [("other", local + "@ex")]),
        (f"{local}@localhost", [("other", local + "@localhost")]),
    )
    return rng.choice(misses)


def generate(folder, size_mb, files, expected_path, every=1):
    rng = random.Random(SEED)
    pool = make_pool(rng, max(2000, files * 5))
    # Popular addresses come up in many files.
    pick = lambda: pool[int(len(pool) * rng.random() ** 3)]
    blocks = {True: filler_blocks(rng, True, 300), False: filler_blocks(rng, False, 300)}
    weights = [rng.uniform(0.1, 1.9) for _ in range(files)]
    total = size_mb << 20
    scale = total / sum(weights)
    expected = []
    written = 0
    for i in range(files):
        html = i % 5 < 3
        sub = os.path.join(folder, f"d{i // 100:03d}")
        os.makedirs(sub, exist_ok=True)
        target = int(weights[i] * scale)
        parts = []
        size = 0
        if html:
            parts.append("<!DOCTYPE html>\n<html><head><title>Page</title>\n"
                         "<style>body { margin: 0 }</style></head><body>\n")
        while size < target:
            b = rng.choice(blocks[html])
            parts.append(b)
            size += len(b)
            snippets = rng.randint(0, 3) if every <= 1 else int(rng.randrange(every) == 0)
            for _ in range(snippets):
                text, values = snippet(rng, pick, html)
                parts.append(text + "\n")
                size += len(text) + 1
                expected.extend(values)
        if html:
            parts.append("</body></html>\n")
        data = "".join(parts).encode()
        if not html:
            data = data.replace(b"\n", b"\r\n") if i % 2 else data
        with open(os.path.join(sub, f"page{i:05d}.{'html' if html else 'txt'}"), "wb") as f:
            f.write(data)
        written += len(data)
    with open(expected_path, "w", encoding="utf-8") as f:
        f.write("".join(f"{kind}\t{v}\n" for kind, v in expected))
    print(f"{files} files, {written} bytes, {len(expected)} values planted")


# ----------------------------------------------------------------- judge
def folded_map(values):
    out = {}
    for v in values:
        out.setdefault(v.lower(), set()).add(v)
    return out


def show(title, items, limit=5):
    items = sorted(items)
    print(f"    {title}: {len(items)}" + ("" if not items else ", e.g. " + ", ".join(
        repr(x) for x in items[:limit])))


def judge(folder, expected_path, ours_path, rg_path):
    ok = True
    reference = []
    longest = 0
    for path in tree_files(folder):
        with open(path, "rb") as f:
            for v in finder_values(f.read()):
                reference.append(v.decode("ascii"))
                longest = max(longest, len(v))
    ref = folded_map(reference)

    with open(ours_path, "rb") as f:
        ours_lines = f.read().decode("ascii").split("\r\n")
    if ours_lines and ours_lines[-1] == "":
        ours_lines.pop()
    ours = folded_map(ours_lines)

    planted, every = set(), []
    with open(expected_path, encoding="utf-8") as f:
        for line in f:
            kind, v = line.rstrip("\n").split("\t", 1)
            every.append(v)
            if kind == "planted":
                planted.add(v.lower())
    gen = folded_map(every)

    print(f"values: varnholt {len(ours_lines)} lines, {len(ours)} unique ignoring case; reference "
          f"{len(reference)} hits, {len(ref)} unique ignoring case (longest {longest} bytes); "
          f"generator {len(gen)} unique, {len(planted)} of them addresses planted where addresses go")
    if len(ours) != len(ours_lines):
        ok = False
        print("FAIL: varnholt printed a value twice (letter case ignored)")
    missing, extra = set(ref) - set(ours), set(ours) - set(ref)
    if missing or extra:
        ok = False
        print("FAIL: varnholt's values differ from the reference:")
        show("in the reference only", missing)
        show("in varnholt's only", extra)
    wrong = [v for v in ours_lines if v.lower() in ref and v not in ref[v.lower()]]
    if wrong:
        ok = False
        show("FAIL: varnholt's values whose spelling is in no file", wrong)
    if set(gen) != set(ref):
        # The generator knows every "@" it wrote: a difference here is a
        # fault of the reference or of the generator, not of varnholt.
        ok = False
        print("FAIL: the reference differs from the values the generator planted:")
        show("generator only", set(gen) - set(ref))
        show("reference only", set(ref) - set(gen))
    if planted - set(ours):
        ok = False
        show("FAIL: planted addresses varnholt did not find", planted - set(ours))

    with open(rg_path, "rb") as f:
        rg = set(f.read().decode("utf-8", "replace").splitlines())
    rg_folded = folded_map(rg)
    print(f"rg pipeline: {len(rg)} lines (sort -u keeps letter case), {len(rg_folded)} unique ignoring case")
    print("  differences of its regex [^\\s\"<>;=:/]+@[^\\s\"<>;=]+ from the finder's rules:")
    rg_only, ref_only = set(rg_folded) - set(ref), set(ref) - set(rg_folded)
    cases = (
        ("a quote ' does not end it (href='mailto:...')", lambda v: "'" in v),
        ("non-ASCII letters belong to it (the finder stops at bytes >= 128)",
         lambda v: any(ord(c) > 127 for c in v)),
    )
    for title, test in cases:
        show("rg only, " + title, [v for v in rg_only if test(v)], 3)
    show("rg only, other", [v for v in rg_only if not any(t(v) for _, t in cases)], 3)
    ref_cases = (
        ("nothing before the '@' (rg needs one character: @media, @handle)", lambda v: v.startswith("@")),
        ("nothing after the '@' (rg needs one character)", lambda v: v.endswith("@")),
    )
    for title, test in ref_cases:
        show("finder only, " + title, [v for v in ref_only if test(v)], 3)
    show("finder only, other (cut short by the finder where rg reads on)",
         [v for v in ref_only if not any(t(v) for _, t in ref_cases)], 3)
    print("  rg's count also holds the same address in several letter cases; the finder's unique "
          "ignores case. rg also reads control bytes other than blanks into a value, the finder stops.")
    return ok


def main():
    if len(sys.argv) in (6, 7) and sys.argv[1] == "generate":
        every = int(sys.argv[6]) if len(sys.argv) == 7 else 1
        generate(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], every)
        return 0
    if len(sys.argv) == 6 and sys.argv[1] == "judge":
        return 0 if judge(*sys.argv[2:]) else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())

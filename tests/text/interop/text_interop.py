#!/usr/bin/python3
"""Cross-checks of ix-text-tool against implementations written elsewhere.

Peers: Python's base64, quopri, binascii, codecs and Punycode modules. Each area is one
CTest test; every random case comes from a fixed seed, printed with any failure so that it can be
replayed with --seed. Where this library's documented behaviour differs from a peer's (malformed
input, framing), the expected result is written out here instead of taken from the peer.

Exit status: 0 all checks passed, 1 a check failed.
"""

import argparse
import base64
import binascii
import codecs
import collections
import quopri
import random
import re
import reprlib
import subprocess
import sys

# One seed per area, so that a change in one area's generator leaves the others' data alone.
SEEDS = {"base64": 5101, "qp": 5102, "uu": 5103, "idn": 5301, "charset": 5201, "malformed": 5999}

CRLF = b"\r\n"


Result = collections.namedtuple("Result", "status output message")


# A bounded repr of bytes or text for failure reports.
SHOW = reprlib.Repr()
SHOW.maxstring = SHOW.maxother = 160
show = SHOW.repr


class Tool(collections.namedtuple("Tool", "path")):
    """Runs requests through one 'ix-text-tool batch' process per call of run()."""

    def run(self, requests):
        """requests: list of (args string, input bytes). Returns a Result per request."""
        stdin = b"".join(b"%s\n%d\n%s" % (args.encode(), len(data), data) for args, data in requests)
        proc = subprocess.run([self.path, "batch"], input=stdin, capture_output=True, timeout=90)
        results, out = [], proc.stdout
        # Each answer: "STATUS OUTPUT_LENGTH MESSAGE_LENGTH", the output, the message.
        while (end := out.find(b"\n")) >= 0:
            status, n_out, n_msg = (int(x) for x in out[:end].split())
            body, out = out[end + 1 : end + 1 + n_out + n_msg], out[end + 1 + n_out + n_msg :]
            results.append(Result(status, body[:n_out], body[n_out:].decode("utf-8", "replace")))
        if proc.returncode != 0 or len(results) != len(requests):
            # Requests run in order, so a crash took place in the first one left unanswered.
            culprit = requests[len(results)] if len(results) < len(requests) else None
            raise RuntimeError("ix-text-tool batch exited with %d after %d of %d answers; stderr %r; first "
                               "unanswered request: %s" % (proc.returncode, len(results), len(requests),
                                                           proc.stderr[-400:], show(culprit)))
        return results


class Checker:
    def __init__(self, area, seed):
        self.area = area
        self.seed = seed
        self.checks = 0
        self.failures = []

    def expect(self, what, condition, details=""):
        self.checks += 1
        if not condition:
            self.failures.append("%s\n    %s" % (what, details))

    def equal(self, what, expected, actual, data=None):
        self.expect(what, expected == actual, "input:    %s\n    expected: %s\n    actual:   %s"
                    % (show(data), show(expected), show(actual)))

    def report(self):
        print("%s: %d of %d checks failed (seed %d)"
              % (self.area, len(self.failures), self.checks, self.seed))
        # The first few: one fault often fails many random cases.
        for failure in self.failures[:20]:
            print("FAIL " + failure)
        return 1 if self.failures else 0


def check_answers(tool, check, cases):
    """cases: (request arguments, input, expected status alone or (status, output[, message]),
    what), run as one batch."""
    for (_, data, want, what), result in zip(cases, tool.run([case[:2] for case in cases])):
        actual = (result.status, result.output, result.message)
        check.equal(what, want, actual[0] if isinstance(want, int) else actual[: len(want)], data)


def encode_case(method, data, cpl, one_line, expected):
    """A check_answers case: data encoded with CharsPerLine cpl, on one line if one_line."""
    return ("encode %s --chars-per-line %d%s" % (method, cpl, " --suppress-crlf" if one_line else ""), data,
            (0, expected), "%s encode of %d bytes, CharsPerLine %d%s"
            % (method, len(data), cpl, " one line" if one_line else ""))


def sizes(rng, count, largest=2000):
    """Small sizes around the group and line boundaries first, then random ones."""
    fixed = [0, 1, 2, 3, 4, 44, 45, 46, 56, 57, 58, 59, 62, 63, 64, 113, 114, 115]
    return fixed + [rng.randrange(largest) for _ in range(count - len(fixed))]


def normalise_breaks(data):
    """Every CR LF, lone CR and lone LF as CR LF: the quoted-printable decoder's line ends."""
    return re.sub(rb"\r\n|\r|\n", CRLF, data)


# ---------------------------------------------------------------------------------------------
# base64


def scatter(rng, data, extra):
    """data with one of the bytes of extra put in a random place for every ten bytes."""
    out = bytearray(data)
    for _ in range(len(out) // 10 + 1):
        out.insert(rng.randrange(len(out) + 1), rng.choice(extra))
    return bytes(out)


def wrap(text, width):
    return CRLF.join(text[i : i + width] for i in range(0, len(text), width)) if text else b""


def check_base64(tool, rng, check):
    # Requested line length -> line length of the output: at least 64, a multiple of 4.
    widths = {76: 76, 10: 64, -7: 64, 64: 64, 77: 80, 81: 80, 82: 84, 89: 88, 100: 100, 1000: 1000,
              2147483647: 2147483644}

    def case(data, cpl, one):
        reference = base64.b64encode(data)
        return encode_case("base64", data, cpl, one, reference if one else wrap(reference, widths[cpl]))

    cases = [case(rng.randbytes(n), rng.choice(list(widths)), False) for n in sizes(rng, 220)]
    cases += [case(rng.randbytes(300_000), 76, False), case(rng.randbytes(200_001), 76, True)]
    cases += [case(rng.randbytes(n), 76, True) for n in (0, 1, 2, 3, 1000)]

    # What Python encodes, in its usual layouts, decodes to the input; batch sizes that split
    # groups and line breaks keep the decoder's state across batches.
    layouts = {
        "one line": base64.b64encode,
        "LF at 76": base64.encodebytes,
        "CR LF at 76": lambda data: base64.encodebytes(data).replace(b"\n", CRLF),
        "unpadded": lambda data: base64.b64encode(data).rstrip(b"="),
        # Line breaks, spaces and padding characters in arbitrary places are skipped.
        "scattered": lambda data: scatter(rng, base64.b64encode(data), b"\r\n ="),
    }
    for n in sizes(rng, 200, 5000):
        data = rng.randbytes(n)
        layout = rng.choice(list(layouts))
        batch = rng.choice([-3, 0, 1, 2, 3, 5, 7, 64, 8192])
        cases.append(("decode base64 --batch-size %d" % batch, layouts[layout](data), (0, data),
                      "base64 decode, %s, batch size %d" % (layout, batch)))
    big = rng.randbytes(400_000)
    cases.append(("decode base64", base64.encodebytes(big), (0, big), "base64 decode of 400000 bytes"))
    check_answers(tool, check, cases)


# ---------------------------------------------------------------------------------------------
# quoted-printable

TEXT_WORDS = [b"the", b"a", b"mail", b"=", b"x=y", b"caf\xe9", b"\t", b"tab\there", b"..", b".", b"",
              b"  ", b"end ", b"\xff\xfe", b"=3D", b"~", b"long" * 30]


def random_text(rng, lines):
    """Mail-like text: words and spaces, trailing blanks, long lines, all three line ends."""
    out = bytearray()
    for _ in range(lines):
        words = [rng.choice(TEXT_WORDS) for _ in range(rng.randrange(0, 40))]
        out += b" ".join(words)
        out += rng.choice([CRLF, CRLF, CRLF, b"\n", b"\r", b" \r\n", b"\t\r\n"])
    if rng.random() < 0.5:
        out += b"no line end at the end "
    return bytes(out)


def check_qp(tool, rng, check):
    inputs = [rng.randbytes(n) for n in sizes(rng, 120, 3000)]
    inputs += [random_text(rng, rng.randrange(1, 30)) for _ in range(120)]
    inputs += [rng.randbytes(200_000), random_text(rng, 3000), b"x" * 5000, b"\r", b"a\r"]
    # 4 to 6 leave no room for a byte after the column test; the encoder must still progress.
    settings = [(data, rng.choice([76, 76, 76, -1, 4, 5, 6, 8, 10, 20, 40, 100, 132, 200, 2147483647]),
                 rng.random() < 0.1) for data in inputs]
    requests = [encode_case("qp", data, cpl, one, None) for data, cpl, one in settings]
    results = tool.run([request[:2] for request in requests])
    for (data, cpl, one), (_, _, _, what), result in zip(settings, requests, results):
        check.equal(what + ": quopri decodes it to the input", data, quopri.decodestring(result.output), data)
        lines = result.output.split(CRLF)
        check.expect(what + ": 7-bit printable lines", all(32 <= b <= 126 for line in lines for b in line),
                     "output " + show(result.output))
        if not one and cpl >= 8:
            limit = min(cpl, 132) - 2
            longest = max((len(line) for line in lines), default=0)
            check.expect(what + ": lines of at most %d characters" % limit, longest <= limit,
                         "longest line %d" % longest)

    # What Python encodes decodes to the input, with line ends made CR LF.
    cases = []
    for index in range(240):
        if index % 2:
            data = random_text(rng, rng.randrange(1, 20))
        else:
            data = rng.randbytes(rng.randrange(3000))
        mode = index % 4
        if mode < 2:
            # Python's text-mode encoder drops a lone CR before a line end: leave lone CRs out.
            data = re.sub(rb"\r(?!\n)", b"\n", data)
            encoded = quopri.encodestring(data, quotetabs=bool(mode))
            want = normalise_breaks(data)
        elif mode == 2:
            encoded = binascii.b2a_qp(data, istext=False)  # CR and LF escaped: exact bytes come back
            want = data
        else:
            # LF line ends in, CR LF line ends on the wire.
            data = re.sub(rb"\r\n|\r|\n", b"\n", data)
            encoded = quopri.encodestring(data).replace(b"\n", CRLF)
            want = normalise_breaks(data)
        cases.append(("decode qp", encoded, (0, want), "qp decode of Python's encoding, mode %d" % mode))
    check_answers(tool, check, cases)


# ---------------------------------------------------------------------------------------------
# uuencode


def uu_line(chunk):
    """binascii's line for chunk, which may be longer than binascii takes, without padding."""
    body = b"".join(binascii.b2a_uu(chunk[i : i + 45], backtick=True)[1:-1] for i in range(0, len(chunk), 45))
    return (bytes([32 + len(chunk)]) if chunk else b"`") + body[: (len(chunk) * 4 + 2) // 3]


def check_uu(tool, rng, check):
    # CharsPerLine -> bytes per line; above 84 the line stays at 63 bytes, the most a length
    # character can announce.
    per_line = {76: 57, 60: 45, 3: 2, 1: 2, -9: 2, 4: 3, 20: 15, 84: 63, 85: 63, 132: 63, 500: 63,
                2147483647: 63}

    def case(data, cpl, one):
        # binascii's lines (backtick for zero, the same length character), split every
        # per_line[cpl] bytes, then the end line; the last group is not padded to four characters.
        # On one line, the data's line and the end line go without line breaks.
        lines = b"".join(uu_line(data[start : start + per_line[cpl]]) + CRLF
                         for start in range(0, len(data) + 1, per_line[cpl])) + b"`" + CRLF
        return encode_case("uu", data, cpl, one, b"" if not data else uu_line(data) + b"`" if one else lines)

    cases = [case(rng.randbytes(n), rng.choice(list(per_line)), False) for n in sizes(rng, 200, 3000)]
    cases.append(case(rng.randbytes(250_000), 76, False))
    cases += [case(rng.randbytes(n), 76, True) for n in (1, 2, 3, 45, 63)]

    # What binascii writes (space or backtick for zero, LF or CR LF line ends, an optional begin
    # line, the zero-length end line) decodes to the input.
    for index in range(200):
        data = rng.randbytes(rng.randrange(0, 2500))
        backtick = index % 2 == 0
        line_end = CRLF if index % 3 == 0 else b"\n"
        step = rng.randint(1, 45) if index % 5 == 0 else 45
        chunks = [data[pos : pos + step] for pos in range(0, len(data), step)]
        text = b"".join(binascii.b2a_uu(c, backtick=backtick).rstrip(b"\n") + line_end for c in chunks)
        text += binascii.b2a_uu(b"", backtick=backtick).rstrip(b"\n") + line_end
        if index % 4 == 1:
            text = b"begin 644 data.bin" + line_end + text + b"end" + line_end
        cases.append(("decode uu", text, (0, data),
                      "uudecode of binascii's lines (backtick %s, %r line ends)" % (backtick, line_end)))
    check_answers(tool, check, cases)


# ---------------------------------------------------------------------------------------------
# IDN labels

# Letters by script.
LATIN = [chr(c) for c in range(0xE0, 0x250)]
CYRILLIC = [chr(c) for c in range(0x430, 0x450)] + ["\u0451"]
CJK = [chr(c) for c in range(0x4E00, 0x9FA6)]
EMOJI = [chr(c) for c in range(0x1F600, 0x1F650)]
ASCII = [chr(c) for c in range(ord("a"), ord("z") + 1)] + list("0123456789")


def punycode_label(label):
    if all(ord(c) < 128 for c in label):
        return label
    return "xn--" + label.encode("punycode").decode("ascii")


def random_label(rng, pools, length):
    chars = [rng.choice(rng.choice(pools)) for _ in range(length)]
    if length > 2 and rng.random() < 0.2:
        chars[rng.randrange(1, length - 1)] = "-"
    label = "".join(chars)
    # A hyphen in the third and fourth place is reserved for prefixes such as "xn--".
    return label[:2] + label[2:4].replace("--", "-a") + label[4:]


def check_idn(tool, rng, check):
    labels = ["bücher", "é", "mañana", "café-crème", "правда", "москва-2026", "例え", "中文", "日本語",
              "ß", "straße", "ǎbc", "ñ", "a-é", "ü-", "-ü", "xn-ü", "3年b組金八先生"]
    pools = [LATIN, CYRILLIC, CJK, ASCII]
    labels += [random_label(rng, rng.sample(pools, rng.randint(1, 3)), rng.randint(1, 14))
               for _ in range(300)]
    # Longer labels, some near the 63-character limit of the encoded form.
    labels += [random_label(rng, [ASCII, LATIN], rng.randint(15, 40)) for _ in range(20)]
    # Emoji, upper case and what IDNA2008 would refuse are Punycode all the same.
    labels += ["😀", "a😀b", "Bücher", "ÉCOLE", "3年B組金八先生", "安室奈美恵-with-SUPER-MONKEYS",
             "PorquénopuedensimplementehablarenEspañol", "\U0010FFFF", "\u0080", "a" * 500 + "é" * 500]
    labels += [random_label(rng, [EMOJI, LATIN, ASCII, CJK], rng.randint(1, 20)) for _ in range(60)]
    labels += [random_label(rng, [CJK, EMOJI], rng.randint(200, 2000)) for _ in range(10)]
    cases = [("idn label", label.encode(), (0, punycode_label(label).encode()),
              "EncodeLabel(%r) against Python's Punycode" % label) for label in labels]

    # Host names: labels split at dots, empty labels kept.
    hosts = ["", ".", "a.", "..", "bücher.example", "a..bücher", ".é.", "Example.COM", "www.правда.рф"]
    hosts += [".".join(random_label(rng, pools, rng.randint(1, 10)) for _ in range(rng.randint(1, 4)))
              for _ in range(60)]
    cases += [("idn host", host.encode(), (0, ".".join(map(punycode_label, host.split("."))).encode()),
               "Encode(%r)" % host) for host in hosts]
    check_answers(tool, check, cases)


# ---------------------------------------------------------------------------------------------
# charsets

# Characters of many scripts, line ends, the byte order mark, noncharacters and private use and
# characters beyond 16 bits. A charset's texts are made of those its Python codec holds: the
# translator's way through each converter is tested here, not the converters' own tables (whose
# single bytes are all read below).
SAMPLE = "".join(chr(c) for first, last in [(0x20, 0x7F), (0x0A, 0x0B), (0xA0, 0x250), (0x370, 0x460),
                                           (0x2010, 0x2030), (0x3000, 0x3100), (0x4E00, 0x5400),
                                           (0xE000, 0xE010), (0xFEFF, 0xFF00), (0xFF61, 0xFFA0),
                                           (0xFFFF, 0x10000), (0x1F600, 0x1F610), (0x10FFFF, 0x110000)]
                     for c in range(first, last))


def holds(codec, c):
    try:
        return c.encode(codec).decode(codec) == c
    except UnicodeError:
        return False


# Codecs whose bytes for a text are not unique: stateful ones and those with a byte order mark.
CONVERTERS_CHOICE = ("iso2022_jp", "utf-7", "utf-16", "utf-32")
BYTE_ORDER_MARKS = {"utf-16": (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE),
                    "utf-32": (codecs.BOM_UTF32_LE, codecs.BOM_UTF32_BE)}


def comparable(codec, data):
    """Where to shift, or which byte order to take, is the converter's choice: for such codecs
    what the bytes say is compared, for the others the bytes themselves."""
    return data.decode(codec, "replace") if codec in CONVERTERS_CHOICE else data


OUTSIDE = ["€", "Ω", "ж", "中", "😀", "ā", "ß", "¤", "ё", "\u2028"]


def charset_table():
    singles = {"koi8-r": "koi8_r", "KOI8-R": "koi8_r", "iso-8859-1": "latin_1", "Latin1": "latin_1",
               "iso-8859-15": "iso8859_15", "windows-1251": "cp1251", "windows-1252": "cp1252",
               "windows-1250": "cp1250", "iso-8859-2": "iso8859_2", "iso-8859-5": "iso8859_5",
               "koi8-u": "koi8_u", "ibm866": "cp866"}
    # Labels of the web's table that the system converter lacks reach it too (real mail uses them).
    singles["x-cp1252"] = "cp1252"
    unicode = {"utf-16le": "utf-16-le", "utf-16be": "utf-16-be", "utf-16": "utf-16", "utf-32": "utf-32",
               "utf-7": "utf-7", "utf-8": "utf-8", "UTF-8": "utf-8", "unicode11utf8": "utf-8"}
    # The system converter has the currency sign at 0xFF of x-mac-cyrillic where Python's codec has
    # the euro sign, and the yen sign and overline at 0x5C and 0x7E of shift_jis where Python's has
    # the backslash and tilde.
    exclude = {"mac_cyrillic": "€", "shift_jis": "\\~"}
    table = list(singles.items()) + [("x-mac-cyrillic", "mac_cyrillic"), ("shift_jis", "shift_jis"),
                                     ("gb2312", "gb2312"), ("euc-jp", "euc_jp"), ("iso-2022-jp", "iso2022_jp")]
    return [(name, codec, [c for c in SAMPLE if holds(codec, c) and c not in exclude.get(codec, "")])
            for name, codec in table + list(unicode.items())]


def check_charset(tool, rng, check):
    to_cases = []  # (name, codec, local text, the bytes Python writes)
    from_cases = []
    for name, codec, pool in charset_table():
        texts = ["", "a", "".join(pool)]
        texts += ["".join(rng.choice(pool) for _ in range(rng.randrange(1, 400))) for _ in range(25)]
        texts.append("".join(rng.choice(pool) for _ in range(60_000)))
        for text in texts:
            encoded = text.encode(codec)
            to_cases.append((name, codec, text, encoded))
            from_cases.append(("charset from %s" % name, encoded, (0, text.encode()),
                               "%d bytes of %s to local text" % (len(encoded), name)))
        # Characters the charset cannot hold become "?", one for each.
        if not name.lower().startswith("utf-"):
            for _ in range(10):
                # The euro and currency signs trade places between the peers for x-mac-cyrillic.
                outside = [c for c in OUTSIDE if name != "x-mac-cyrillic" or c not in "€¤"]
                text = "".join(rng.choice(pool) if rng.random() < 0.7 else rng.choice(outside)
                               for _ in range(rng.randrange(1, 200)))
                to_cases.append((name, codec, text, text.encode(codec, "replace")))
    check_answers(tool, check, from_cases)
    results = tool.run([("charset to %s" % name, text.encode()) for name, _, text, _ in to_cases])
    for (name, codec, text, encoded), result in zip(to_cases, results):
        what = "local text of %d characters to %s" % (len(text), name)
        check.equal(what, comparable(codec, encoded), comparable(codec, result.output), text)
        if codec == "iso2022_jp":
            shifted_at_end = re.search(rb"\x1b\$[@B][^\x1b]*$", result.output)
            check.expect(what + ": ends in ASCII", not shifted_at_end, show(result.output))
        elif codec in BYTE_ORDER_MARKS:
            check.expect(what + ": starts with a byte order mark",
                         not text or result.output.startswith(BYTE_ORDER_MARKS[codec]), show(result.output))

    # Every byte value: undefined bytes become U+FFFD.
    singles = [(name, codec) for name, codec, _ in charset_table()
               if codec.startswith(("latin", "iso8859", "cp125", "cp866", "koi8", "mac_"))]
    wants = {name: bytes(range(256)).decode(codec, "replace") for name, codec in singles}
    wants["x-mac-cyrillic"] = wants["x-mac-cyrillic"][:-1] + "¤"
    check_answers(tool, check, [("charset from %s" % name, bytes(range(256)), (0, want.encode()),
                                 "bytes 0..255 of %s" % name) for name, want in wants.items()])


# ---------------------------------------------------------------------------------------------
# malformed input


def invalid_utf8(rng):
    """Valid characters mixed with the usual defects: stray continuation bytes, truncated and
    overlong forms, surrogates, values beyond U+10FFFF, bytes that never occur."""
    pieces = ["a", "é", "ж", "€", "😀", "\u0800", "\U0010FFFF"]
    defects = [b"\x80", b"\xbf", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\xaf", b"\xed\xa0\x80",
               b"\xed\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xfe", b"\xc3",
               b"\xe2\x82", b"\xf0\x9f\x98", b"\xc3 ", b"\xe2\x82a", b"\xf8\x88\x80\x80\x80"]
    out = bytearray()
    for _ in range(rng.randrange(1, 30)):
        out += rng.choice(defects) if rng.random() < 0.4 else rng.choice(pieces).encode()
    return bytes(out)


def check_malformed(tool, rng, check):
    # Quoted-printable: escapes that do not complete are written literally, soft breaks vanish,
    # every line end becomes CR LF, and nothing raises.
    qp = [
        (b"=", b""), (b"ab=", b"ab"), (b"ab=\r\ncd", b"abcd"), (b"=41=4a", b"AJ"), (b"=ZZ=41", b"=ZZA"),
        (b"=4G", b"=G"), (b"=G1", b"=G1"), (b"==41", b"==41"), (b"a= b", b"a= b"), (b"=\r\n", b""),
        (b"a=\n\nb", b"a\r\nb"), (b"a\nb", b"a\r\nb"), (b"a\rb", b"a\r\nb"), (b"a\n\rb", b"a\r\n\r\nb"),
        (b"=\xff", b"=\xff"), (b"=4\xff", b"=\xff"), (b"a=\rb", b"ab"), (b"=0d=0A", b"\r\n"), (b"x=4", b"x"),
    ]
    cases = [("decode qp", data, (0, want), "qp decode of %r" % data) for data, want in qp]
    # base64: padding is no group boundary, and leftover bits are dropped.
    crafted = [(b"QQ==QUJD", b"\x41\x04\x14\x24"), (b"QUJDR", b"ABC"), (b"Q", b""), (b"====", b""),
               (b"QU JD\r\n", b"ABC"), (b"=Q=U=J=D=", b"ABC")]
    cases += [("decode base64", data, (0, want), "base64 decode of %r" % data) for data, want in crafted]
    # uudecode: lines cut short read as if padded with zero values, as binascii reads them.
    for _ in range(100):
        chunk = rng.randbytes(rng.randint(1, 45))
        line = binascii.b2a_uu(chunk, backtick=True).rstrip(b"\n")
        line = line[: rng.randint(1, len(line))]
        cases.append(("decode uu", line + b"\r\n`\r\n", (0, binascii.a2b_uu(line)), "uudecode of %r" % line))
    # Decoding ends at the first line whose length is zero, a space or a backtick.
    for stop in (b" ", b"`"):
        line = binascii.b2a_uu(b"first").rstrip(b"\n")
        cases.append(("decode uu", line + b"\n" + stop + b"\n" + binascii.b2a_uu(b"after"), (0, b"first"),
                      "uudecode stops at %r" % stop))

    # base64: every byte outside the alphabet and the skipped CR, LF, space and "=" is refused
    # (code -2), or with --continue ends the decoding quietly.
    alphabet = {base64.b64encode(bytes([v << 2]))[0] for v in range(64)}
    skipped = set(b"\r\n =")
    for data in (b"QUJD" + bytes([b]) + b"REVG" for b in range(256)):
        if data[4] in alphabet or data[4] in skipped:
            cases.append(("decode base64 --batch-size 4", data, 0, "base64 decode of %r" % data))
            continue
        cases.append(("decode base64 --batch-size 4", data,
                      (3, b"ABC", "error -2 Wrong symbols in source stream."),
                      "base64 decode of %r stops with -2" % data))
        cases.append(("decode base64 --continue", data, (0, b"ABC", "decode-failed"),
                      "base64 decode of %r with --continue" % data))

    # Invalid UTF-8 as local text: U+FFFD for each maximal invalid part, as Python's decoder
    # replaces them; to a charset each becomes "?".
    samples = [invalid_utf8(rng) for _ in range(200)]
    requests = []
    targets = [("koi8-r", "koi8_r"), ("utf-16le", "utf-16-le"), ("shift_jis", "shift_jis"),
               ("utf-16", "utf-16"), ("utf-32", "utf-32"), ("iso-2022-jp", "iso2022_jp"), ("utf-7", "utf-7")]
    for data in samples:
        requests.append(("charset from utf-8", data))
        requests += [("charset to %s" % name, data) for name, _ in targets]
    results = iter(tool.run(requests))
    for data in samples:
        text = data.decode("utf-8", "replace")
        check.equal("invalid UTF-8 read as utf-8", text.encode(), next(results).output, data)
        want = text.replace("\ufffd", "?")
        for name, codec in targets:
            check.equal("invalid UTF-8 to %s" % name, comparable(codec, want.encode(codec, "replace")),
                        comparable(codec, next(results).output), data)

    # UTF-16 with lone surrogates and a cut-off last unit: U+FFFD for each, the rest intact.
    utf16 = [
        ("\ud800" + "ab", "utf-16le"), ("a\udc00b", "utf-16le"), ("ab\ud83d", "utf-16le"),
        ("\udc00\ud800x", "utf-16be"), ("\ud83d\ude00\ud83dx", "utf-16be"),
    ]
    for text, name in utf16:
        codec = name.replace("utf-16", "utf-16-")
        for data in (text.encode(codec, "surrogatepass"), text.encode(codec, "surrogatepass") + b"A"):
            cases.append(("charset from %s" % name, data, (0, data.decode(codec, "replace").encode()),
                          "%s bytes with a lone surrogate" % name))

    # IDN: malformed UTF-8 counts as U+FFFD; a delta past 32 bits is refused with its message.
    labels = [invalid_utf8(rng) for _ in range(50)] + [b"\xff", b"caf\xe9"]
    cases += [("idn label", data, (0, punycode_label(data.decode("utf-8", "replace")).encode()),
               "EncodeLabel of invalid UTF-8") for data in labels]
    near = "a" * 1900 + "\U0010FFFF"
    cases.append(("idn label", near.encode(), (0, punycode_label(near).encode()), "EncodeLabel below 32 bits"))
    cases.append(("idn label", ("a" * 2000 + "\U0010FFFF").encode(),
                  (3, b"", "error 0 Input value needs wider integers to translate"), "EncodeLabel past 32 bits"))
    check_answers(tool, check, cases)


AREAS = {"base64": check_base64, "qp": check_qp, "uu": check_uu, "idn": check_idn,
         "charset": check_charset, "malformed": check_malformed}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", required=True, help="path of ix-text-tool")
    parser.add_argument("--seed", type=int, help="replay another seed")
    parser.add_argument("area", choices=sorted(AREAS))
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else SEEDS[options.area]
    check = Checker(options.area, seed)
    try:
        AREAS[options.area](Tool(options.tool), random.Random(seed), check)
    except RuntimeError as crash:
        print("%s (seed %d): %s" % (options.area, seed, crash))
        return 1
    return check.report()


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""The summary that ix-mail-summary prints, produced with Python's email package (policy=default).

  mail_summary.py --compare DRIVER FILE    run DRIVER FILE and compare the summaries
  mail_summary.py --roundtrip DRIVER DIR   run DRIVER --build DIR, then check that every
                                           DIR/NAME.eml reads as DIR/NAME.json says

The summary and its normalisation are described in ixMailSummary.cpp.

Where the model makes a choice of its own, the summary follows it; each such place is marked
"model:" with the reason. Only the standard library is used.
"""

import binascii
import codecs
import datetime
import difflib
import email
import email.header
import email.policy
import email.utils
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys

NO_REFOLD = email.policy.default.clone(linesep="\r\n", refold_source="none")
ATTACHMENT_PREFIXES = ("application/", "message/", "audio/", "video/", "image/")


def normalised_text(text):
    return "\r\n".join(re.split(r"\r\n|\r|\n", text.rstrip("\r\n")))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def utf8_header(text):
    # Raw UTF-8 in a header (RFC 6532) reaches Python as surrogate escapes; the model reads it as UTF-8.
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


ADJACENT_WORDS = re.compile(r"\?=\s+=\?")


def legacy_name(raw, mailbox):
    for raw_name, raw_mailbox in email.utils.getaddresses([raw]):
        if raw_mailbox == mailbox and raw_name:
            return str(email.header.make_header(email.header.decode_header(raw_name)))
    return None


def address(addr, raw=""):
    name = utf8_header(addr.display_name or "")
    mailbox = utf8_header(addr.addr_spec or "")
    # model: an address without a display name is named by its trailing comment, as in RFC 822.
    # Python keeps the white space between adjacent encoded words of a display name, which
    # RFC 2047 section 6.2 drops. The older address parser reads both as the model does.
    if (not name and "(" in raw) or ADJACENT_WORDS.search(raw):
        name = legacy_name(raw, mailbox) or name
    if mailbox == "<>":
        mailbox = ""
    return {"name": "" if name == mailbox else name, "address": mailbox}


def raw_value(msg, field):
    return next((str(value) for name, value in msg.raw_items() if name.lower() == field), "")


def address_list(msg, field):
    return [address(a, raw_value(msg, field)) for a in msg[field].addresses] if msg[field] is not None else []


def iso_date(msg):
    header = msg["date"]
    # (The model's date from the first Received field when there is no Date field is a unit case.)
    when = header.datetime if header is not None else None
    if when is None:
        return None
    if when.tzinfo is None:
        when = when.replace(tzinfo=datetime.timezone.utc)
    return when.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def clean_name(name):
    # model: a name taken from the type's name parameter or a subject is made safe as a file name.
    name = re.sub(r'[\x00"*/:<>?\\|]', "_", name)
    if name.endswith((" ", ".")):
        name = name[:-1]
    return name or "_"


def param(part, header, name):
    return (getattr(part[header], "params", None) or {}).get(name) or None


def filename(part):
    name = param(part, "content-disposition", "filename")
    if name:
        return name
    name = param(part, "content-type", "name")
    if name:
        return clean_name(name)
    if part.get_content_type() == "message/rfc822" and part.is_multipart():
        # model: an embedded message without a file name is named after its subject.
        inner = part.get_payload(0)
        return clean_name(str(inner["subject"] or "") + ".eml")
    return ""


def text_of(part, charset):
    data = part.get_payload(decode=True) or b""
    # model: bytes without a charset, or of an unknown one, are read as UTF-8 (invalid bytes
    # become U+FFFD), where RFC 2045 leaves 8-bit bytes in us-ascii undefined.
    try:
        codec = codecs.lookup(charset).name if charset else "utf-8"
    except LookupError:
        codec = "utf-8"
    text = data.decode(codec, errors="replace")
    return normalised_text(text)


def attachment_bytes(part):
    if part.get_content_type() == "message/rfc822" and part.is_multipart():
        return part.get_payload(0).as_bytes(policy=NO_REFOLD)
    return part.get_payload(decode=True) or b""


def text_entry(ctype, charset, text):
    return {"type": ctype, "kind": "text", "charset": charset, "sha256": sha256(text.encode("utf-8"))}


def leaf(part, kind, charset):
    if kind == "text":
        return text_entry(part.get_content_type(), charset, text_of(part, charset))
    return {"type": part.get_content_type(), "kind": "attachment", "filename": filename(part),
            "sha256": sha256(attachment_bytes(part))}


def node(part):
    ctype = part.get_content_type()
    if part.get_content_maintype() == "multipart":
        # A nested multipart part without a usable boundary holds no parts.
        children = part.get_payload() if part.is_multipart() else []
        return {"type": ctype, "parts": [node(p) for p in children]}
    disposition = part.get_content_disposition()
    if disposition != "attachment" and ctype.startswith("text/"):
        return leaf(part, "text", (part.get_content_charset() or "").lower())
    return leaf(part, "attachment", None)


UU_BEGIN = re.compile(r"^begin\s+(\d+)\s+(.+?)\s*$", re.IGNORECASE)


def uudecode(lines):
    data = b""
    for line in lines:
        if not line.strip():
            continue
        try:
            data += binascii.a2b_uu(line)
        except binascii.Error:
            # Lines that carry padding beyond their length byte are still read up to it.
            count = (ord(line[0]) - 32) & 63
            data += binascii.a2b_uu(line[: 1 + (count + 2) // 3 * 4])
    return data


def single_part(msg):
    ctype = msg.get_content_type()
    disposition = msg.get_content_disposition()
    # model: a single part is an attachment for these types or an attachment disposition.
    if disposition == "attachment" or ctype.startswith(ATTACHMENT_PREFIXES):
        return [leaf(msg, "attachment", None)]
    # model: a single part without a charset takes the message's default charset.
    charset = (msg.get_content_charset() or "iso-8859-1").lower()
    mime = bool((msg["content-type"] or "").strip() or (msg["mime-version"] or "").strip())
    if mime:
        text = text_of(msg, charset)
        # model: a single text part with nothing but white space is dropped.
        return [text_entry(ctype, charset, text)] if text.strip() else []
    # model: a message without MIME fields has its uuencoded sections taken out as attachments.
    lines = re.split(r"\r\n|\r|\n", text_of(msg, charset))
    text, files, current = [], [], None
    for line in lines:
        match = UU_BEGIN.match(line)
        if match:
            current = {"name": match.group(2), "lines": []}
            files.append(current)
        elif current is not None and line.strip().lower() == "end":
            current["done"] = True
            current = None
        elif current is not None:
            current["lines"].append(line)
        else:
            text.append(line)
    parts = []
    body = normalised_text("\r\n".join(text))
    if body.strip():
        parts.append(text_entry(ctype, charset, body))
    for f in files:
        data = uudecode(f["lines"]) if f.get("done") else b""
        parts.append({"type": "application/octet-stream", "kind": "attachment", "filename": f["name"],
                      "sha256": sha256(data)})
    return parts


def summarise(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    senders = msg["from"].addresses if msg["from"] is not None else ()
    summary = {
        "subject": utf8_header(str(msg["subject"] or "")),
        "from": address(senders[0], raw_value(msg, "from")) if senders else None,
        "to": address_list(msg, "to"),
        "cc": address_list(msg, "cc"),
        "date": iso_date(msg),
        "type": msg.get_content_type(),
    }
    if msg.is_multipart() and msg.get_content_maintype() == "multipart":
        summary["parts"] = [node(p) for p in msg.get_payload()]
    else:
        summary["parts"] = single_part(msg)
    return summary


def differences(ours, theirs):
    """The lines of a diff between the two summaries: none when they agree."""
    a, b = (json.dumps(x, indent=1, sort_keys=True, ensure_ascii=False).splitlines() for x in (ours, theirs))
    return list(difflib.unified_diff(a, b, "ours", "python", lineterm="", n=2))


def report(name, problems):
    for problem in problems:
        print(f"{name}: {problem}")
    return not problems


def run_driver(args):
    done = subprocess.run(args, capture_output=True, timeout=20, check=False)
    if done.returncode != 0:
        sys.exit(f"{' '.join(args)} failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
    return done.stdout


def compare(driver, path):
    # Bytes that are not UTF-8 become the escapes \udc80..\udcff, which no decoded text holds.
    ours = json.loads(run_driver([driver, path]).decode("utf-8", "surrogateescape"))
    with open(path, "rb") as f:
        theirs = summarise(f.read())
    return report(os.path.basename(path), differences(ours, theirs))


def roundtrip(driver, directory):
    # Messages left from an earlier set must not be checked again.
    shutil.rmtree(directory, ignore_errors=True)
    run_driver([driver, "--build", directory])
    names = sorted(n[:-4] for n in os.listdir(directory) if n.endswith(".eml"))
    if not names:
        sys.exit(f"no messages were built in {directory}")
    ok = True
    for name in names:
        with open(os.path.join(directory, name + ".json"), encoding="utf-8", errors="surrogateescape") as f:
            built = json.load(f)
        with open(os.path.join(directory, name + ".eml"), "rb") as f:
            raw = f.read()
        diffs = differences(built, summarise(raw))
        # Header fields are 7-bit text (RFC 5322 section 2.2); other text goes into encoded words. An
        # empty list (no Cc) writes no field at all.
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        for part in msg.walk():
            for field, value in part.raw_items():
                if not str(value).isascii() or not str(value).strip():
                    diffs.append(f"8-bit or empty header field {field}")
        # Every inline image is named in the HTML by its Content-ID.
        html = "".join(part.get_content() for part in msg.walk() if part.get_content_type() == "text/html")
        for part in msg.walk():
            if part["content-id"] and f"cid:{part['content-id'].strip('<>')}" not in html:
                diffs.append(f"{part['content-id']} not named in the HTML")
        # Lines of at most 78 characters (RFC 5322 section 2.1.1): header fields are folded to fit.
        if max(map(len, raw.split(b"\r\n"))) > 78:
            diffs.append("a line of more than 78 characters")
        ok = report(name + ".eml", diffs) and ok
    return ok


def main(argv):
    if len(argv) == 4 and argv[1] in ("--compare", "--roundtrip"):
        check = compare if argv[1] == "--compare" else roundtrip
        return 0 if check(argv[2], argv[3]) else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

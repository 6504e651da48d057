"""Every reply the dns-query example reads, dnspython reads to the same records.

dns-interop.py DNS-QUERY DNS-DIR: asks the test name servers through the example, which saves
each reply as received, parses the saved reply with dnspython and compares the answer records (the
lines the example prints). A missing name is the example's error, not an empty answer.
"""
import os
import subprocess
import sys
import tempfile

import dns.message
import dns.rdatatype

exe, folder = sys.argv[1], sys.argv[2]
env = dict(line.strip().split("=", 1) for line in open(os.path.join(folder, "dns.env")) if "=" in line)
port = env["IX_DNS_PORT"]

CASES = [
    ("127.0.0.1", "auto", "www.ixdns.test", "A"),
    ("127.0.0.1", "udp", "ixdns.test", "NS"),
    ("127.0.0.1", "udp", "ixdns.test", "SOA"),
    ("127.0.0.1", "udp", "ixdns.test", "MX"),
    ("127.0.0.1", "udp", "1.2.0.192.ixdns.test", "PTR"),
    ("127.0.0.1", "udp", "alias.ixdns.test", "A"),
    ("127.0.0.1", "udp", "two.ixdns.test", "TXT"),
    ("127.0.0.1", "udp", "quoted.ixdns.test", "TXT"),
    ("127.0.0.1", "udp", "key._domainkey.ixdns.test", "TXT"),
    ("127.0.0.1", "udp", "big.ixdns.test", "A"),  # truncated: the partial answer
    ("127.0.0.2", "auto", "big.child.ixdns.test", "A"),  # the TCP retry's reply: the whole answer
    ("127.0.0.2", "tcp", "host.child.ixdns.test", "TXT"),
    ("::1", "tcp", "mx2.ixdns.test", "AAAA"),  # the AAAA data, over IPv6
]


def normal(line):
    name, ttl, cls, rtype, data = line.split(" ", 4)
    return " ".join([name, ttl, cls, rtype, data.lower() if rtype == "AAAA" else data])


failures = 0
with tempfile.TemporaryDirectory() as work:
    dump = os.path.join(work, "reply")
    for server, protocol, name, rtype in CASES:
        run = subprocess.run([exe, "--server", server, "--port", port, "--protocol", protocol, "--dump", dump,
                              name, rtype], capture_output=True, text=True, check=False)
        ours = sorted(normal(line) for line in run.stdout.splitlines())
        wire = open(dump, "rb").read()
        # A reply over TCP comes with its two length bytes.
        if len(wire) >= 2 and int.from_bytes(wire[:2], "big") == len(wire) - 2:
            wire = wire[2:]
        message = dns.message.from_wire(wire, ignore_trailing=False, one_rr_per_rrset=True)
        theirs = sorted(normal(f"{rrset.name} {rrset.ttl} IN {dns.rdatatype.to_text(rrset.rdtype)} {rdata.to_text()}")
                        for rrset in message.answer for rdata in rrset)
        if run.returncode != 0 or ours != theirs or not ours and rtype != "A":
            failures += 1
            print(f"FAIL {server} {protocol} {name} {rtype}: status {run.returncode} {run.stderr.strip()}")
            print("  ours:  ", ours)
            print("  theirs:", theirs)
missing = subprocess.run([exe, "--server", "127.0.0.1", "--port", port, "nothing.ixdns.test", "A"],
                         capture_output=True, text=True, check=False)
if (missing.returncode, missing.stderr.strip()) != (1, "dns-query: No such name"):
    failures += 1
    print(f"FAIL nothing.ixdns.test: status {missing.returncode} {missing.stderr.strip()}")
sys.exit(1 if failures else 0)

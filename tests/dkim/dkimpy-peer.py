"""dkimpy as the peer of the interop test.

  dkimpy-peer.py sign KEYFILE DOMAIN SELECTOR CANON ALGORITHM [HEADERS|-] [l]  < message > signed
  dkimpy-peer.py verify DNS_PORT < message       (prints one line per signature, exit 1 on a failure)

Keys are asked of the name server on 127.0.0.1:DNS_PORT (dkimpy's own lookup always asks port 53).
"""
import sys

import dkim
import dns.resolver


def dnsfunc_for(port):
    resolver = dns.resolver.Resolver(configure=False)
    resolver.nameservers = ["127.0.0.1"]
    resolver.port = port

    def dnsfunc(name, timeout=5):
        try:
            answer = resolver.resolve(name.decode(), "TXT", lifetime=timeout)
        except Exception:
            return None
        for record in answer:
            return b"".join(record.strings)
        return None
    return dnsfunc


def main():
    message = sys.stdin.buffer.read()
    if sys.argv[1] == "sign":
        keyfile, domain, selector, canon, algorithm = sys.argv[2:7]
        options = {}
        if len(sys.argv) > 7 and sys.argv[7] != "-":
            options["include_headers"] = [h.encode() for h in sys.argv[7].split(":")]
        if len(sys.argv) > 8 and sys.argv[8] == "l":
            options["length"] = True
        key = open(keyfile, "rb").read()
        signature = dkim.sign(message, selector.encode(), domain.encode(), key,
                              canonicalize=tuple(c.encode() for c in canon.split("/")),
                              signature_algorithm=algorithm.encode(), **options)
        sys.stdout.buffer.write(signature + message)
        return 0
    dnsfunc = dnsfunc_for(int(sys.argv[2]))
    verifier = dkim.DKIM(message)
    count = sum(1 for name, _ in verifier.headers if name.lower() == b"dkim-signature")
    failed = count == 0
    for index in range(count):
        ok = verifier.verify(idx=index, dnsfunc=dnsfunc)
        print("pass" if ok else "fail")
        failed = failed or not ok
    return 1 if failed else 0


sys.exit(main())

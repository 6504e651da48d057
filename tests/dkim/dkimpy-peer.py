"""dkimpy as the peer of the interop test.

  dkimpy-peer.py sign KEYFILE DOMAIN SELECTOR CANON ALGORITHM [l]  < message > signed
  dkimpy-peer.py verify DNS_PORT < message       (prints each signature's verdict, exit 1 on a failure)

Keys are asked of the name server on 127.0.0.1:DNS_PORT.
"""
import sys

import dkim
import dns.resolver


def main():
    message = sys.stdin.buffer.read()
    if sys.argv[1] == "sign":
        keyfile, domain, selector, canon, algorithm = sys.argv[2:7]
        key = open(keyfile, "rb").read()
        signature = dkim.sign(message, selector.encode(), domain.encode(), key,
                              canonicalize=tuple(c.encode() for c in canon.split("/")),
                              signature_algorithm=algorithm.encode(), length=sys.argv[7:] == ["l"])
        sys.stdout.buffer.write(signature + message)
        return 0
    # dkimpy asks dnspython's default resolver.
    dns.resolver.default_resolver = dns.resolver.Resolver(configure=False)
    dns.resolver.default_resolver.nameservers = ["127.0.0.1"]
    dns.resolver.default_resolver.port = int(sys.argv[2])
    verifier = dkim.DKIM(message)
    count = sum(1 for name, _ in verifier.headers if name.lower() == b"dkim-signature")
    results = [verifier.verify(idx=index) for index in range(count)]
    print(" ".join("pass" if ok else "fail" for ok in results))
    return 0 if results and all(results) else 1


sys.exit(main())

#!/usr/bin/env python3
"""How often the skip decision follows the host that is really connected to: against the WHATWG
URL test data and against each real HTTP client (urllib3, requests, httpx, urllib.request), with
the checks of tests/python/test_url_corpus.py and test_real_clients.py (tests/support/): per
client, the URLs a list of its destination does not skip; across the clients, the skips by a decoy
of a URL they all take to one host, and the URLs they read differently, with each client's host.

usage: host-agreement.py [--modules FOLDER] [--verbose] [--hosts]
       host-agreement.py --extract-corpus URLTESTDATA_JSON

--modules      the folder holding _twheadercheck (default: build/lib); any build, old or new
--verbose      list every miss and every skip by a decoy
--hosts        print what each client connects to for each URL

Run it with the interpreter whose clients are to be read: Python 3.11 reads Debian 12's, any other
Debian testing's.
--extract-corpus  rewrite tests/data/urltestdata-http.json from WHATWG's urltestdata.json

The clients come from tools/provision-python.sh --clients (unpacked once into the cache).
"""

import argparse
import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))

import client_hosts  # noqa: E402
import host_agreement  # noqa: E402

CORPUS_NOTE = [
    "The http(s) cases of the WHATWG URL Standard's test data (web-platform-tests,",
    "url/resources/urltestdata.json, as the ada URL parser vendors it), selected and reduced by",
    "tools/host-agreement.py --extract-corpus: see tests/data/README.md.",
]


def extract_corpus(source):
    cases = host_agreement.select_http_cases(json.loads(Path(source).read_text(encoding="utf-8")))
    text = json.dumps({"comment": CORPUS_NOTE, "cases": cases}, ensure_ascii=False, indent=1)
    host_agreement.CORPUS.write_text(text + "\n", encoding="utf-8")
    print(f"{len(cases)} cases into {host_agreement.CORPUS}")


def show(value):
    return "refused" if value is None else repr(value)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--modules", type=Path, default=ROOT / "build" / "lib")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--hosts", action="store_true")
    parser.add_argument("--extract-corpus", type=Path, metavar="URLTESTDATA_JSON")
    args = parser.parse_args()
    if args.extract_corpus:
        extract_corpus(args.extract_corpus)
        return 0

    # The module under test first; the stand-in agent beside it, which the module may import.
    sys.path[:0] = [str(args.modules.resolve()), str(ROOT / "standins" / "tw-vantrel")]
    import _twheadercheck

    print(f"module: {_twheadercheck.__file__}")
    versions = client_hosts.load_clients()
    print("clients: " + ", ".join(f"{name} {version}" for name, version in versions.items())
          + f"; Python {sys.version.split()[0]}")

    corpus = host_agreement.corpus_report(_twheadercheck)
    print(corpus.summary())
    if args.verbose:
        for url, hostname in corpus.disagreements.items():
            print(f"  {url!r}: not skipped with [{hostname!r}]")

    reports = {}
    for client in client_hosts.CLIENTS:
        report = reports[client] = host_agreement.client_report(_twheadercheck, client)
        print(report.summary())
        if args.verbose:
            for (url, check), detail in report.misses.items():
                print(f"  {url!r} {check}: {detail}")
        if args.hosts:
            for url, where in report.destinations.items():
                text = (f"refused ({where.error})" if where.refused
                        else f"host {where.host!r}, address {where.address!r}"
                        + (" (no such name)" if where.nowhere else "")
                        + (f", written out as {where.written!r}" if where.written else ""))
                print(f"    {url!r}: {text}")
    readers = host_agreement.readers_report(_twheadercheck, reports)
    print(readers.summary())
    for url, taken in readers.readings.items():
        print(f"  read differently: {url!r}: " + ", ".join(f"{c} {a!r}" for c, a in taken.items()))
    if args.verbose:
        for (url, decoy), detail in readers.wrong_skips.items():
            print(f"  {url!r} decoy {decoy}: {detail}")
        for (url, address), detail in readers.target_leaks.items():
            print(f"  {url!r} target {address}: {detail}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

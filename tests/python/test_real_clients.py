"""The skip decision follows the host that each real HTTP client connects to.

For every URL of host_agreement.CLIENT_CASES (one group a spelling: trailing dot, "www.", IPv4 and
IPv6 forms, percent-escapes, backslashes, controls, international names, fullwidth dots, soft
hyphens) and each of urllib3, requests, httpx and urllib.request that sends it to a host, a skip
list holding the host the client connects to skips the URL, and the URL as the client writes it
out. Where the clients take a URL to one host, a list of a decoy does not skip it; where they take
it to several, each of them skips it, and no one of them alone is a propagation target for it
(tests/support/host_agreement.py). The clients are Debian's, unpacked by
tools/provision-python.sh --clients: Debian 12's under Python 3.11, Debian testing's otherwise;
their hosts are read from their own objects without connecting (tests/support/client_hosts.py).
"""

import sys

import pytest

import childproc
from childproc import own_module

sys.path.insert(0, str(childproc.ROOT / "tests" / "support"))
import client_hosts  # noqa: E402
import host_agreement  # noqa: E402

# Its own module: the checks load propagation targets, which no other test is to see.
hc = own_module()

# A '\' ends the host for WHATWG, urllib3 and requests; httpx 0.28 and urllib.request read on.
API_AFTER_BACKSLASH = "http://evil.example\\@api.example.com/p"
EVIL_AFTER_BACKSLASH = "https://api.example.com\\@evil.example/"
BACKSLASH = "http://api.example.com\\p"

PAST_BACKSLASH = (
    "httpx 0.28 reads the authority on past a '\\', to the host after the '@'; no client here does, "
    "and the module takes every reading it knows")
WRITTEN_BY_HTTPX = (
    "httpx writes a '\\' out as \"%5C\" and connects to the host before it (0.23), so the module "
    "reads that host too; given as it is, the URL goes to the host after the escape")
WHATWG_DECODES = (
    "the module decodes escapes in the host as WHATWG does, so the name has its IDNA 2008 form too; "
    "urllib3, requests and httpx keep the escapes (a name no resolver has) and urllib.request "
    "encodes it with IDNA 2003")

# Skips of a URL that every client here takes to one host, by a list of another host named in it:
# a reading the module takes that no client of this release has. (release, URL, decoy) -> why.
EXPECTED_EXTRA_SKIPS = {
    **{(release, url, decoy): reason
       for release in ("testing", "debian12")
       for url, decoy, reason in [("http://api.example.com%5Cp/", "api.example.com", WRITTEN_BY_HTTPX),
                                  ("http://evil.example%5C@api.example.com/p", "evil.example", WRITTEN_BY_HTTPX),
                                  ("http://fa%C3%9F.example/", "xn--fa-hia.example", WHATWG_DECODES)]},
    ("debian12", API_AFTER_BACKSLASH, "api.example.com"): PAST_BACKSLASH,
    ("debian12", EVIL_AFTER_BACKSLASH, "evil.example"): PAST_BACKSLASH,
}

# release -> the URLs that the clients take to different hosts (each is skipped by every one of
# them, and none alone makes the URL a target).
READ_DIFFERENTLY = {
    "testing": {BACKSLASH, API_AFTER_BACKSLASH, EVIL_AFTER_BACKSLASH, "http://faß.example/"},
    "debian12": {BACKSLASH, "http://faß.example/"},
}

# release -> client -> the URLs it sends nowhere: refused, or a name no resolver has ('@' or '%'
# in it). A change here changes what the tests above cover, so it is held too.
CONTROLS_IN_HOST = {"http://api.example.com\n/p", "http://api.exa\tmple.com/p",
                    "http://api.example\r.com/p"}
NON_ASCII_DOTS = {"http://api．example．com/p", "http://api。example。com/p",
                  "http://api｡example｡com/p", "http://www。api.example.com/p",
                  "http://api.example.com。/p"}
# The idna package refuses fullwidth letters and soft hyphens.
IDNA_2008_REFUSES = {"http://ＡＰＩ.example.com/p", "http://ap\u00adi.example.com/p", "http://12\u00ad7.0.0.1/"}
ESCAPED_NAMES = {"http://b%C3%BCcher.example/", "http://fa%C3%9F.example/", "http://ap%C2%ADi.example.com/p",
                 "http://12%C2%AD7.0.0.1/", "http://api.example.com%5Cp/"}
ESCAPED_ASCII = {"http://api%2Eexample.com/p", "http://%61pi.example.com/p"}
USER_INFORMATION = {"http://evil.example@api.example.com/p", "http://evil.example:pw@api.example.com:8080/p",
                    "http://api.example.com%2F@evil.example/", "http://evil.example%5C@api.example.com/p",
                    API_AFTER_BACKSLASH, EVIL_AFTER_BACKSLASH}
URLLIB = CONTROLS_IN_HOST | USER_INFORMATION
SENT_NOWHERE = {
    "testing": {
        # urllib3 2.x decodes unreserved escapes ("%2E", "%61"); requests prepares with urllib3.
        "urllib3": CONTROLS_IN_HOST | NON_ASCII_DOTS | IDNA_2008_REFUSES | ESCAPED_NAMES,
        "requests": CONTROLS_IN_HOST | NON_ASCII_DOTS | IDNA_2008_REFUSES | ESCAPED_NAMES,
        # A four-part decimal host must be an ipaddress.IPv4Address, which has no leading zeros.
        "httpx": CONTROLS_IN_HOST | IDNA_2008_REFUSES | ESCAPED_NAMES | ESCAPED_ASCII | {"http://0177.0.0.1/"},
        "urllib": URLLIB,
    },
    "debian12": {
        "urllib3": CONTROLS_IN_HOST | NON_ASCII_DOTS | IDNA_2008_REFUSES | ESCAPED_NAMES | ESCAPED_ASCII,
        # requests 2.28 quotes the controls into escapes, which no resolver has either.
        "requests": CONTROLS_IN_HOST | NON_ASCII_DOTS | IDNA_2008_REFUSES | ESCAPED_NAMES,
        # httpx 0.23 drops a newline from the host, and splits labels at "." only.
        "httpx": (CONTROLS_IN_HOST - {"http://api.example.com\n/p"}) | NON_ASCII_DOTS | IDNA_2008_REFUSES
                 | ESCAPED_NAMES | ESCAPED_ASCII,
        "urllib": URLLIB,
    },
}


@pytest.fixture(scope="module", autouse=True)
def clients():
    # Provisioned (or found in the cache) and imported once; a failure is an error, never a skip.
    return client_hosts.load_clients()


@pytest.fixture(scope="module")
def release(clients):
    return "debian12" if clients["urllib3"].startswith("1.") else "testing"


@pytest.fixture(scope="module")
def reports():
    return {client: host_agreement.client_report(hc, client) for client in client_hosts.CLIENTS}


@pytest.fixture(scope="module")
def readers(reports):
    return host_agreement.readers_report(hc, reports)


@pytest.mark.parametrize("client", client_hosts.CLIENTS)
def test_a_list_of_the_destination_skips_every_url_a_client_sends(reports, client):
    report = reports[client]
    print(report.summary())
    assert report.misses == {}, report.summary()


def test_urls_that_go_to_one_host_are_skipped_by_no_other(readers, release):
    expected = {(url, decoy) for rel, url, decoy in EXPECTED_EXTRA_SKIPS if rel == release}
    print(readers.summary())
    assert readers.wrong_skips.keys() == expected, readers.wrong_skips


def test_urls_read_differently_are_targets_under_no_one_reading(readers, release):
    listed = "".join(f"\n  {url!r}: {taken}" for url, taken in readers.readings.items())
    print(f"{readers.summary()}{listed}")
    assert readers.readings.keys() == READ_DIFFERENTLY[release], listed
    assert readers.target_leaks == {}


@pytest.mark.parametrize("client", client_hosts.CLIENTS)
def test_each_client_sends_all_but_the_urls_it_is_known_to_send_nowhere(reports, release, client):
    destinations = reports[client].destinations
    nowhere = {url: where.error or where.address for url, where in destinations.items()
               if where.refused or where.nowhere}
    assert nowhere.keys() == SENT_NOWHERE[release][client], nowhere
    # The plain URLs reach the plain host through every client, so the readers above are sound.
    plain = destinations["https://api.example.com:8443/p"]
    assert (plain.host, plain.address) == ("api.example.com", "api.example.com")


def test_reading_a_host_never_reaches_the_network():
    import urllib3

    with host_agreement.no_network(), pytest.raises(AssertionError, match="reached the network"):
        urllib3.PoolManager().connection_from_url("http://api.example.com/").urlopen("GET", "/")

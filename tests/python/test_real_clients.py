"""The skip decision follows the host that each real HTTP client connects to.

For every URL of host_agreement.CLIENT_CASES (one group a spelling: trailing dot, "www.", IPv4 and
IPv6 forms, percent-escapes, backslashes, controls, international names, fullwidth dots) and each
of urllib3, requests, httpx and urllib.request that accepts it, a skip list holding the host the
client connects to skips the URL and one holding a decoy does not (tests/support/host_agreement.py).
The clients are Debian's, unpacked by tools/provision-python.sh --clients; their hosts are read from
their own objects without connecting (tests/support/client_hosts.py).
"""

import sys

import pytest

import _twheadercheck as hc
import childproc

sys.path.insert(0, str(childproc.ROOT / "tests" / "support"))
import client_hosts  # noqa: E402
import host_agreement  # noqa: E402

BACKSLASH_IN_AUTHORITY = (
    "httpx reads the authority up to the first '/', '?' or '#', so what precedes a '\\@' is user "
    "information to it; WHATWG, urllib3 2.x and requests end the host at the '\\', and the module "
    "follows them")
URLLIB_UNSPLIT_AUTHORITY = (
    "urllib.request hands the whole authority up to '/', '?' or '#' to the resolver, a name no DNS "
    "server has, so nothing is sent; the module reads the host as WHATWG and the other clients do")
IDNA_2003 = (
    "urllib.request leaves the name to the socket module's \"idna\" codec (IDNA 2003, nameprep); "
    "the module encodes as the idna package (IDNA 2008) does for urllib3, requests and httpx")

# A '\' ends the host for WHATWG, urllib3 2.x and requests; httpx reads on to the '@'.
EVIL_BEFORE_BACKSLASH = "http://evil.example\\@api.example.com/p"
API_BEFORE_BACKSLASH = "https://api.example.com\\@evil.example/"

# (client, URL, check) -> why the module does not follow that client there. A check is "host"
# (a skip list of the host as the client has it), "address" (what the resolver reads from it) or
# "decoy NAME" (a host the client does not connect to, which must not skip).
EXPECTED_DISAGREEMENTS = {
    ("httpx", "http://api.example.com\\p", "host"):
        "httpx asks the resolver for 'api.example.com\\p'; the module ends the host at the '\\' "
        "as WHATWG, urllib3 2.x and requests do",
    ("httpx", EVIL_BEFORE_BACKSLASH, "host"): BACKSLASH_IN_AUTHORITY,
    ("httpx", EVIL_BEFORE_BACKSLASH, "decoy evil.example"): BACKSLASH_IN_AUTHORITY,
    ("httpx", API_BEFORE_BACKSLASH, "host"): BACKSLASH_IN_AUTHORITY,
    ("httpx", API_BEFORE_BACKSLASH, "decoy api.example.com"): BACKSLASH_IN_AUTHORITY,
    ("urllib", "http://evil.example@api.example.com/p", "host"):
        "urllib.request keeps the user information in the host it resolves, which fails; the "
        "module cuts it as every other client does",
    ("urllib", "http://evil.example:pw@api.example.com:8080/p", "host"):
        "urllib.request keeps the user information in the host it resolves, which fails; the "
        "module cuts it as every other client does",
    ("urllib", "http://api.example.com%2F@evil.example/", "host"):
        "urllib.request percent-decodes the whole authority before it is split, '%2F' included; "
        "the module finds the host first (WHATWG, urllib3, httpx: evil.example)",
    ("urllib", "http://api.example.com\\p", "host"): URLLIB_UNSPLIT_AUTHORITY,
    ("urllib", EVIL_BEFORE_BACKSLASH, "host"): URLLIB_UNSPLIT_AUTHORITY,
    ("urllib", EVIL_BEFORE_BACKSLASH, "decoy evil.example"): URLLIB_UNSPLIT_AUTHORITY,
    ("urllib", API_BEFORE_BACKSLASH, "host"): URLLIB_UNSPLIT_AUTHORITY,
    ("urllib", API_BEFORE_BACKSLASH, "decoy api.example.com"): URLLIB_UNSPLIT_AUTHORITY,
    # IDNA 2003 maps ß to "ss"; IDNA 2008 keeps it (xn--fa-hia).
    ("urllib", "http://faß.example/", "address"): IDNA_2003,
    ("urllib", "http://faß.example/", "decoy xn--fa-hia.example"): IDNA_2003,
    # Nameprep folds fullwidth letters to ASCII; the idna package refuses them (as urllib3,
    # requests and httpx do), and the module keeps the name's own Punycode.
    ("urllib", "http://ＡＰＩ.example.com/p", "address"): IDNA_2003,
}

# client -> the URLs it refuses (no request is made, so there is nothing to follow). A change here
# changes what the test above covers, so it is held too.
CONTROLS_IN_HOST = {"http://api.example.com\n/p", "http://api.exa\tmple.com/p",
                    "http://api.example\r.com/p"}
NON_ASCII_DOTS = {"http://api．example．com/p", "http://api。example。com/p",
                  "http://api｡example｡com/p", "http://www。api.example.com/p",
                  "http://api.example.com。/p"}
EXPECTED_REFUSALS = {
    # Labels are split at "." only, and the idna package refuses U+3002, U+FF0E, U+FF61 and
    # fullwidth letters inside a label; requests prepares its URL with urllib3's parser first.
    "urllib3": CONTROLS_IN_HOST | NON_ASCII_DOTS | {"http://ＡＰＩ.example.com/p"},
    "requests": CONTROLS_IN_HOST | NON_ASCII_DOTS | {"http://ＡＰＩ.example.com/p"},
    # A four-part decimal host must be an ipaddress.IPv4Address, which has no leading zeros.
    "httpx": CONTROLS_IN_HOST | {"http://0177.0.0.1/", "http://ＡＰＩ.example.com/p"},
    "urllib": CONTROLS_IN_HOST,
}


@pytest.fixture(scope="module", autouse=True)
def clients():
    # Provisioned (or found in the cache) and imported once; a failure is an error, never a skip.
    return client_hosts.load_clients()


@pytest.fixture(scope="module")
def reports():
    return {client: host_agreement.client_report(hc, client) for client in client_hosts.CLIENTS}


@pytest.mark.parametrize("client", client_hosts.CLIENTS)
def test_decision_follows_the_host_each_client_connects_to(reports, client):
    report = reports[client]
    found = {(client, url, check): detail for (url, check), detail in report.disagreements.items()}
    expected = {key: reason for key, reason in EXPECTED_DISAGREEMENTS.items() if key[0] == client}
    print(f"{report.summary()}; {len(found)} disagreements, {len(expected)} expected")
    new = "".join(f"\n  {url!r} {check}: {found[client, url, check]}"
                  for _, url, check in sorted(found.keys() - expected.keys()))
    gone = "".join(f"\n  {url!r} {check}" for _, url, check in sorted(expected.keys() - found.keys()))
    assert found.keys() == expected.keys(), (
        f"{report.summary()}\nnot following {client}:{new or ' none'}"
        f"\nexpected to disagree, but now agree:{gone or ' none'}")


@pytest.mark.parametrize("client", client_hosts.CLIENTS)
def test_each_client_accepts_all_but_the_urls_it_is_known_to_refuse(reports, client):
    destinations = reports[client].destinations
    refused = {url: where.error for url, where in destinations.items() if where.refused}
    assert refused.keys() == EXPECTED_REFUSALS[client], refused
    # The plain URLs reach the plain host through every client, so the readers above are sound.
    plain = destinations["https://api.example.com:8443/p"]
    assert (plain.host, plain.address) == ("api.example.com", "api.example.com")


def test_reading_a_host_never_reaches_the_network():
    import urllib3

    with host_agreement.no_network(), pytest.raises(AssertionError, match="reached the network"):
        urllib3.PoolManager().connection_from_url("http://api.example.com/").urlopen("GET", "/")

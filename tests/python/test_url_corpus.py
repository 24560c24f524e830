"""The WHATWG URL test data: for every http(s) case with a hostname (tests/data/README.md), a skip
list holding WHATWG's hostname skips the input URL."""

import sys

import pytest

import _twheadercheck as hc
import childproc

sys.path.insert(0, str(childproc.ROOT / "tests" / "support"))
import host_agreement  # noqa: E402

NO_AUTHORITY = (
    "no '//' follows the scheme: the module reads a host only after '://', and urllib3, requests, "
    "httpx and urllib.request all refuse such a URL for want of a host, so nothing is sent")
UTS46_MAPPING = (
    "WHATWG maps the name with UTS #46 first (fullwidth forms to ASCII, default-ignorable code "
    "points dropped); the module encodes as the idna package does, which refuses these names, "
    "and so do urllib3, requests and httpx")

# input -> why a skip list of WHATWG's hostname does not skip it.
EXPECTED_DISAGREEMENTS = {
    "http:\\\\foo.com\\": NO_AUTHORITY,
    "http:\\\\a\\b:c\\d@foo.com\\": NO_AUTHORITY,
    "http:\\\\www.google.com\\foo": NO_AUTHORITY,
    "http:/example.com/": NO_AUTHORITY,
    "http:example.com/": NO_AUTHORITY,
    "https:/example.com/": NO_AUTHORITY,
    "https:example.com/": NO_AUTHORITY,
    "http:/@www.example.com": NO_AUTHORITY,
    "http:/a:b@www.example.com": NO_AUTHORITY,
    "http:/:b@www.example.com": NO_AUTHORITY,
    "http:/a:@www.example.com": NO_AUTHORITY,
    "http://GOO\u200b\u2060\ufeffgoo.com": UTS46_MAPPING,
    "http://Ｇｏ.com": UTS46_MAPPING,
    "http://０Ｘｃ０．０２５０．０１": UTS46_MAPPING,
    "https://a%C2%ADb/": UTS46_MAPPING,
    "http://./": "a host that is only '.' is empty after its trailing dot goes, and an empty host "
                 "always gets the headers; WHATWG keeps '.' as the hostname",
}


@pytest.fixture(scope="module")
def report():
    return host_agreement.corpus_report(hc)


def test_whatwg_hostname_skips_its_url(report):
    print(f"{report.summary()}; {len(EXPECTED_DISAGREEMENTS)} disagreements expected")
    new = "".join(f"\n  {url!r}: not skipped by [{report.disagreements[url]!r}]"
                  for url in sorted(report.disagreements.keys() - EXPECTED_DISAGREEMENTS.keys()))
    gone = "".join(f"\n  {url!r}"
                   for url in sorted(EXPECTED_DISAGREEMENTS.keys() - report.disagreements.keys()))
    assert report.disagreements.keys() == EXPECTED_DISAGREEMENTS.keys(), (
        f"{report.summary()}\nnot following WHATWG:{new or ' none'}"
        f"\nexpected to disagree, but now agree:{gone or ' none'}")


def test_inputs_with_a_nul_raise_the_argument_error(report):
    assert report.unusable and set(report.unusable.values()) == {"ValueError"}, report.unusable

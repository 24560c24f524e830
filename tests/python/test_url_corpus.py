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
# input -> why a skip list of WHATWG's hostname does not skip it. (The names that WHATWG maps with
# UTS #46 first, which the idna package refuses, are skipped through their IDNA 2003 reading:
# nameprep maps fullwidth forms and drops the same default-ignorable code points.)
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

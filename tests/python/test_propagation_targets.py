"""Propagation targets: an allow list beside the skip list."""

import pytest

import childproc
from childproc import own_module

hc = own_module()


@pytest.fixture(autouse=True)
def no_rules():
    # Each test starts without a skip list or targets; cleanup, which also lets the agent go, would
    # leave later tests without trace ids.
    yield
    hc.cleanup()
    globals()["hc"] = own_module()


def decision(url):
    return hc.should_inject_headers(url)[0]


URLS = {
    "own": "https://api.internal.example/v1",
    "own, deeper": "https://a.b.api.internal.example:8443/v1",
    "own, www": "https://www.api.internal.example/",
    "own, skipped": "https://sink.internal.example/graphql",
    "webhook": "https://hooks.customer.example/notify",
    "bank": "https://api.bank.example/pay",
    "no host": "/relative/path",
    "address": "http://10.0.0.7:8080/",
    # read as an own host by some clients and as the webhook by others (httpx 0.28; httpx 0.23,
    # which writes a '\\' out as "%5C" and connects to the host before it)
    "own or webhook": "https://api.internal.example\\@hooks.customer.example/notify",
    "webhook or own": "https://hooks.customer.example%5C@api.internal.example/notify",
}


@pytest.mark.parametrize(
    "skip, targets, injected",
    [
        # targets alone: only their hosts get the headers
        ([], [".internal.example"], {"own", "own, deeper", "own, www", "own, skipped"}),
        ([], ["*.internal.example"], {"own", "own, deeper", "own, www", "own, skipped"}),
        ([], ["api.internal.example"], {"own", "own, www"}),
        ([], ["api.internal.example", "10.0.0.7"], {"own", "own, www", "address"}),
        # a URL that clients read differently is a target only under every reading
        ([], [".internal.example", "hooks.customer.example"],
         {"own", "own, deeper", "own, www", "own, skipped", "webhook", "own or webhook", "webhook or own"}),
        # the skip list still wins over a target
        (["sink.internal.example"], [".internal.example"], {"own", "own, deeper", "own, www"}),
        ([".api.internal.example"], [".internal.example"], {"own, skipped"}),
        # an empty list: nowhere; "*": everywhere, as without targets, a URL without a host too
        ([], [], set()),
        (["sink.internal.example"], [], set()),
        ([], ["*"], set(URLS)),
        (["sink.internal.example"], ["*"], set(URLS) - {"own, skipped"}),
        # a domain written with capitals, a trailing dot or escapes is the same domain
        ([], [".INTERNAL.example."], {"own", "own, deeper", "own, www", "own, skipped"}),
        ([], [".internal%2Eexample"], {"own", "own, deeper", "own, www", "own, skipped"}),
    ],
)
def test_headers_go_only_where_skip_list_and_targets_both_allow(skip, targets, injected):
    hc.init_header_check(skip)
    hc.init_propagation_targets(targets)
    assert {name for name, url in URLS.items() if decision(url)} == injected


def test_without_targets_every_host_is_one():
    hc.init_header_check(["sink.internal.example"])
    hc.init_propagation_targets([])
    hc.init_propagation_targets(["*"])
    assert {name for name, url in URLS.items() if decision(url)} == set(URLS) - {"own, skipped"}


def test_each_load_replaces_the_targets_and_leaves_the_skip_list():
    hc.init_header_check(["api.bank.example"])
    hc.init_propagation_targets(["hooks.customer.example"])
    assert hc.init_propagation_targets([".internal.example"]) is True
    assert decision(URLS["webhook"]) is False
    assert decision(URLS["own"]) is True
    hc.init_propagation_targets(["*"])
    assert decision(URLS["bank"]) is False
    assert decision(URLS["webhook"]) is True


@pytest.mark.parametrize(
    "argument, error, message",
    [
        (("a.example",), TypeError, "targets must be a list"),
        ("a.example", TypeError, "targets must be a list"),
        (None, TypeError, "targets must be a list"),
        (["a.example", 1], TypeError, "targets items must be strings"),
        ([b"a.example"], TypeError, "targets items must be strings"),
        (["a.example", "\ud800"], UnicodeEncodeError, None),
    ],
)
def test_a_failed_load_keeps_the_targets_in_force(argument, error, message):
    hc.init_propagation_targets([".internal.example"])
    with pytest.raises(error) as raised:
        hc.init_propagation_targets(argument)
    if message is not None:
        assert str(raised.value) == message
    # The allow list stays as it was: a failure never sends the headers everywhere.
    assert decision(URLS["own"]) is True
    assert decision(URLS["webhook"]) is False


@pytest.mark.parametrize("args", [(), (["x"], ["y"])])
def test_parser_errors(args):
    with pytest.raises(TypeError):
        hc.init_propagation_targets(*args)


def test_cleanup_drops_the_targets_too():
    result = childproc.run_for_value(
        """
        import _twheadercheck as hc
        hc.init_propagation_targets([])
        before = hc.should_inject_headers("https://a.example/")[0]
        hc.cleanup()
        after = hc.should_inject_headers("https://a.example/")[0]
        hc.init_propagation_targets(["b.example"])
        reloaded = hc.should_inject_headers("https://a.example/")[0], hc.should_inject_headers("https://b.example/")[0]
        print(repr((before, after, reloaded)))
        """
    )
    assert result == (False, True, (False, True))


def test_a_host_that_is_no_target_still_gets_its_trace_id():
    hc.init_propagation_targets([".internal.example"])
    inject, trace_id, _ = hc.should_inject_headers(URLS["webhook"])
    assert inject is False and isinstance(trace_id, str)

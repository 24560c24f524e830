import contextvars
import sys

import pytest

import _twheadercheck as hc
import childproc
from tw_vantrel import thread_local


@pytest.fixture(autouse=True)
def empty_table():
    hc.init_header_check([])
    yield
    hc.init_header_check([])


def decision(url):
    return hc.should_inject_headers(url)[0]


@pytest.mark.parametrize(
    "url, inject",
    [
        ("https://www.Example.com:443/a?b#c", False),
        ("https://WWW.example.com/", False),
        ("https://sub.example.com/", True),
        ("example.com:81/path", False),
        ("https://user:pw@example.com/", False),
        ("https://user@example.com/", False),
        ("example.org/?next=https://example.com", True),
        ("https://example.com?next=/x", False),
        ("https:///x", True),
        ("//example.com/x", True),
        ("https://www./", True),
        ("http://example.com", False),
        ("", True),
    ],
)
def test_decision_follows_the_host_key(url, inject):
    hc.init_header_check(["example.com"])
    assert decision(url) is inject


@pytest.mark.parametrize(
    "entry, url, inject",
    [
        ("Example.com", "https://example.com/", False),
        ("www.example.com", "https://www.example.com/", False),
        ("www.example.com", "https://example.com/", False),
        ("www.example.com", "https://WWW.example.com/", False),
        ("WWW.example.com", "https://example.com/", False),
        ("www.www.example.com", "https://www.example.com/", True),
        ("[::1]", "http://[::1]:8080/", False),
        ("[::1]", "http://[::1]/x", False),
        ("127.0.0.1", "http://127.0.0.1:8080/", False),
        ("localhost", "http://LOCALHOST/", False),
        ("", "https:///", True),
        ("example.com\0junk", "https://example.com/", False),
        ("example.com\0junk", "https://example.comjunk/", True),
        ("é.example", "https://É.example/", False),
        ("é.example", "https://é.example/", False),
        ("example.com:8080", "https://example.com:8080/", True),
    ],
)
def test_entries_are_normalised_like_host_keys(entry, url, inject):
    hc.init_header_check([entry])
    assert decision(url) is inject


# One destination, many spellings: a skip entry in any of the spellings skips the URLs in all.
SPELLINGS = {
    "api.example.com": (
        ["api.example.com", "API.Example.COM", "api.example.com.", "www.api.example.com", "WWW.api.example.com.",
         "api%2Eexample.com", "api.exa\tmple.com", "api．example．com", "api。example｡com"],
        ["http://api.example.com/p", "http://API.Example.COM/p", "http://api.example.com./p",
         "http://www.api.example.com/p", "http://WWW.api.example.com./p", "http://api%2Eexample.com/p",
         "http://api%2eexample%2Ecom/p", "http://api.example.com\\p", "http://api.example.com\n/p",
         "http://api.exa\tmple.com/p", "http://api．example．com/p", "http://api。example｡com/p",
         "https://u:p@api.example.com:8443/p"],
        ["http://api.example.co/", "http://wapi.example.com/", "http://api.example.com.evil/"],
    ),
    "127.0.0.1": (
        ["127.0.0.1", "127.1", "0x7f.1", "2130706433", "0177.0.0.1", "0x7F000001", "127.0.0.1."],
        ["http://127.0.0.1/", "http://127.1/", "http://0x7f.1/", "http://2130706433/", "http://0177.0.0.1/",
         "http://0x7F000001:80/", "http://127.0.0.1./", "http://%31%32%37.1/"],
        ["http://127.0.0.2/", "http://127.256/", "http://127.0.0.1.1/"],
    ),
    "[::1]": (
        ["[::1]", "::1", "[0:0:0:0:0:0:0:1]", "0::0001"],
        ["http://[::1]/", "http://[0:0:0:0:0:0:0:1]/", "http://[::0001]:8080/", "http://[0::1]/"],
        ["http://[::2]/", "http://[1::]/"],
    ),
    "xn--bcher-kva.example": (
        ["bücher.example", "BÜCHER.example", "xn--bcher-kva.example", "b%C3%BCcher.example", "www.bücher.example."],
        ["http://bücher.example/", "http://BÜCHER.example/", "http://xn--bcher-kva.example/",
         "http://XN--BCHER-KVA.EXAMPLE/", "http://b%C3%BCcher.example/", "http://www.bücher.example./"],
        ["http://bucher.example/", "http://xn--bcher-kva.example.org/"],
    ),
}


@pytest.mark.parametrize("destination", SPELLINGS)
def test_every_spelling_of_a_destination_has_one_key(destination):
    entries, urls, others = SPELLINGS[destination]
    for entry in entries:
        hc.init_header_check([entry])
        assert [url for url in urls if decision(url) is False] == urls, entry
        assert [url for url in others if decision(url) is False] == [], entry


@pytest.mark.parametrize(
    "entry, url, inject",
    [
        # a '\' ends the host for WHATWG, urllib3 and requests, httpx 0.28 reads on past it, and
        # httpx 0.23 writes it out as "%5C" and connects to the host before it: every reading skips
        ("evil.example", "http://evil.example\\@api.example.com/p", False),
        ("api.example.com", "http://evil.example\\@api.example.com/p", False),
        ("other.example", "http://evil.example\\@api.example.com/p", True),
        ("api.example.com", "http://api.example.com%5Cp", False),
        ("evil.example", "http://evil.example%5C@api.example.com/p", False),
        ("api.example.com", "http://evil.example%5C@api.example.com/p", False),
        # IDNA 2003 (the standard library's codec) beside IDNA 2008: soft hyphens dropped, "ß" as
        # "ss", fullwidth letters folded, escaped or not; an entry skips in both of its forms
        ("api.example.com", "http://ap\u00adi.example.com/", False),
        ("127.0.0.1", "http://12\u00ad7.0.0.1/", False),
        ("127.0.0.1", "http://12%C2%AD7.0.0.1/", False),
        ("fass.example", "http://faß.example/", False),
        ("xn--fa-hia.example", "http://faß.example/", False),
        ("fass.example", "http://fa%C3%9F.example/", False),
        ("faß.example", "http://fass.example/", False),
        ("faß.example", "http://xn--fa-hia.example/", False),
        ("api.example.com", "http://ＡＰＩ.example.com/p", False),
        # an ASCII URL has one reading
        ("fass.example", "http://xn--fa-hia.example/", True),
        # a bare IPv6 entry is read as a bracketed one
        ("::1", "http://[::1]/", False),
        ("0:0::1", "http://[::1]:80/", False),
        # an IPv4 spelling that is no address is a name, kept as it is
        ("1.2.3.256", "http://1.2.3.256/", False),
        ("1.2.3.0", "http://1.2.3.256/", True),
        # escapes that would make a host of another shape stay escaped
        ("a%25b", "http://a%25b/", False),
        ("a%b", "http://a%25b/", False),
        ("ab", "http://a%00b/", True),
        # a lone dot leaves no host: always injected
        (".", "http://./", True),
        # a name no client can encode keeps its bytes and still gets a decision
        ("%FF.example", "http://%ff.example/", False),
        ("\u212aelvin.example", "http://kelvin.example/", False),
    ],
)
def test_rare_spellings(entry, url, inject):
    hc.init_header_check([entry])
    assert decision(url) is inject


def test_every_latin1_letter_is_skipped_by_its_idna_2003_name():
    # The standard library's codec is asked only for names it may encode otherwise than IDNA 2008.
    missed = []
    for letter in map(chr, range(0xC0, 0x100)):
        name = f"x{letter}.example"
        hc.init_header_check([name.encode("idna").decode("ascii")])
        if decision(f"http://{name}/") is not False:
            missed.append(name)
    assert missed == []


@pytest.mark.parametrize(
    "entries, url, inject",
    [
        # ".example.com": the domain and every host under it
        ([".example.com"], "https://example.com/", False),
        ([".example.com"], "https://a.b.example.com:8443/x", False),
        ([".example.com"], "https://WWW.Example.COM./", False),
        ([".example.com"], "https://badexample.com/", True),
        ([".example.com"], "https://example.com.evil.test/", True),
        # "*.example.com": every host under it, not the domain
        (["*.example.com"], "https://example.com/", True),
        (["*.example.com"], "https://www.example.com/", False),
        (["*.example.com"], "https://s3.us-east-1.bucket.example.com/", False),
        # a plain entry keeps its meaning
        (["example.com"], "https://sub.example.com/", True),
        (["example.com"], "https://www.example.com/", False),
        # "*": every host; a URL without one still gets the headers
        (["*"], "https://anything.example/", False),
        (["*"], "http://[::1]:8080/", False),
        (["*"], "/relative/path", True),
        # the domain is canonical like a host; an IP literal is never under a domain
        ([".BÜCHER.example."], "https://shop.xn--bcher-kva.example/", False),
        (["*.0.0.1"], "http://127.0.0.1/", True),
        # kept as plain entries, matching nothing a client sends
        (["*.", ".", "a.*.example", "*.*.example"], "https://a.b.example/", True),
        # mixed, with duplicates
        (["api.example.org", ".example.com", "*.example.com", ".example.com"], "https://api.example.org/", False),
        (["api.example.org", ".example.com", "*.example.com", ".example.com"], "https://x.example.org/", True),
    ],
)
def test_domain_entries(entries, url, inject):
    hc.init_header_check(entries)
    assert decision(url) is inject


def test_domain_tables_of_every_size_answer_alike():
    tenants = [f"*.tenant{i}.example" for i in range(20000)] + [f".region{i}.cloud.example" for i in range(20000)]
    hc.init_header_check(tenants + [f"host{i}.example" for i in range(1000)])
    assert decision("https://api.tenant19999.example/") is False
    assert decision("https://tenant19999.example/") is True
    assert decision("https://region7.cloud.example/") is False
    assert decision("https://a.b.region7.cloud.example/") is False
    assert decision("https://cloud.example/") is True
    assert decision("https://host999.example/") is False
    assert decision("https://host1000.example/") is True
    hc.init_header_check([])
    assert decision("https://api.tenant19999.example/") is True


def test_each_load_replaces_the_whole_table():
    hc.init_header_check(["a.example"])
    assert hc.init_header_check(["b.example"]) is True
    assert decision("https://a.example/") is True
    assert decision("https://b.example/") is False


def test_duplicates_order_and_large_tables():
    hosts = [f"host{i}.example" for i in range(5000)] + ["host7.example"]
    hc.init_header_check(hosts)
    assert decision("https://host4999.example/") is False
    assert decision("https://host7.example/") is False
    assert decision("https://host5000.example/") is True


def test_list_and_str_subclasses_are_accepted():
    class Hosts(list):
        pass

    class Host(str):
        def __str__(self):
            return "not-this"

    hc.init_header_check(Hosts([Host("example.com")]))
    assert decision(Host("https://example.com/")) is False


EARLIER_LIST = ["a.example", ".d.example"]
PROBES = ["a.example", "x.d.example", "b.example", "c.example"]


def probe_decisions():
    return [decision(f"https://{host}/") for host in PROBES]


@pytest.mark.parametrize(
    "argument, error, message",
    [
        (("a.example",), TypeError, "skip_list must be a list"),
        ("a.example", TypeError, "skip_list must be a list"),
        (None, TypeError, "skip_list must be a list"),
        (["b.example", 1], TypeError, "skip_list items must be strings"),
        (["*", ".b.example", b"a.example"], TypeError, "skip_list items must be strings"),
        (["b.example", "\ud800"], UnicodeEncodeError, None),
    ],
)
def test_a_failed_load_keeps_the_skip_list_in_force(argument, error, message):
    hc.init_header_check(EARLIER_LIST)
    with pytest.raises(error) as raised:
        hc.init_header_check(argument)
    if message is not None:
        assert str(raised.value) == message
    # Both kinds of entry loaded before still decide; nothing of the failed list does.
    assert probe_decisions() == [False, False, True, True]


def test_a_load_that_runs_out_of_memory_keeps_the_skip_list_in_force():
    testcapi = pytest.importorskip("_testcapi")
    outcomes = []
    # Each allocation of the load fails in turn, until there are too few to reach; the IDNA 2003
    # codec, Python code, makes most of them.
    for failing in range(256):
        hc.init_header_check(EARLIER_LIST)
        testcapi.set_nomemory(failing, failing + 1)
        try:
            hc.init_header_check(["b.example", ".c.example", "BÜCHER.example"])
            outcome = "loaded"
        except MemoryError:
            outcome = "failed"
        finally:
            testcapi.remove_mem_hooks()
        outcomes.append(outcome)
        assert probe_decisions() == ([True, True, False, False] if outcome == "loaded" else [False, False, True, True])
    assert "failed" in outcomes and outcomes[-1] == "loaded"


@pytest.mark.parametrize("args", [(), (["x"], ["y"])])
def test_parser_errors_keep_the_earlier_table(args):
    hc.init_header_check(["a.example"])
    with pytest.raises(TypeError):
        hc.init_header_check(*args)
    assert decision("https://a.example/") is False


def outcome(call):
    try:
        return ("returned", call())
    except Exception as error:  # noqa: BLE001 - the error itself is what is compared
        return (type(error), str(error))


@pytest.fixture(scope="module")
def varargs_reference():
    """A METH_VARARGS function parsing "s", built beside the modules for the benchmarks."""
    sys.path.insert(0, str(childproc.bench_dir()))
    try:
        floor = pytest.importorskip("_twfloor")
    finally:
        sys.path.pop(0)
    return floor.floor


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("https://a/", "x"), {}),
        ((42,), {}),
        ((None,), {}),
        ((b"https://a/",), {}),
        (("https://a/\0b",), {}),
        (("https://\ud800/",), {}),
        ((Text("https://a/\0"),), {}),
        (("https://a/",), {"url": "x"}),
        ((), {"url": "x"}),
        (("https://a/",), {}),
        ((Text("https://a/"),), {}),
        (("https://a/",), {**{}}),
    ],
)
def test_arguments_are_taken_exactly_as_a_parsed_positional_str(varargs_reference, args, kwargs):
    # The method reads its argument vector directly; what a caller sees must not differ from a
    # function that parses an argument tuple with "s", wording included.
    mine = outcome(lambda: hc.should_inject_headers(*args, **kwargs))
    reference = outcome(lambda: varargs_reference(*args, **kwargs))
    if reference[0] == "returned":
        assert mine[0] == "returned" and mine[1][0] is True
    else:
        assert mine == (reference[0], reference[1].replace("floor()", "should_inject_headers()"))


@pytest.mark.parametrize(
    "call",
    [
        lambda: hc.init_header_check(skip_list=[]),
        lambda: hc.cleanup(force=True),
        lambda: hc.cleanup(1),
    ],
)
def test_keyword_and_extra_arguments_are_refused(call):
    with pytest.raises(TypeError):
        call()


def test_trace_id_comes_from_the_agent_and_stays_within_a_context():
    def in_fresh_context():
        first = hc.should_inject_headers("https://a.example/")
        second = hc.should_inject_headers("https://b.example/")
        return first, second, thread_local.trace_id_ctx.get()

    (inject1, id1, _), (inject2, id2, _), stored = contextvars.Context().run(in_fresh_context)
    assert inject1 is inject2 is True
    assert isinstance(id1, str) and id1 == id2 == stored
    _, (_, other, _), _ = contextvars.Context().run(in_fresh_context)
    assert other != id1


def test_skipped_destinations_still_get_their_trace_id():
    hc.init_header_check(["a.example"])
    inject, trace_id, _ = hc.should_inject_headers("https://a.example/")
    assert inject is False and isinstance(trace_id, str)


@pytest.mark.parametrize("value", [0, "", "span-7", ("a", 1), None])
def test_override_is_passed_on_unchanged(value):
    def with_override():
        thread_local.funcspan_override_ctx.set(value)
        return hc.should_inject_headers("https://a.example/")[2]

    assert contextvars.copy_context().run(with_override) is value


def test_no_override_set_gives_none():
    assert contextvars.copy_context().run(hc.should_inject_headers, "https://a/")[2] is None


def test_the_docstrings_are_the_systems_own():
    assert hc.__doc__ == (
        "Ultra-fast header injection check with domain filtering in C (<10ns overhead)"
    )
    assert hc.init_header_check.__doc__ == "Initialize with domains to skip (called at patch time)"
    assert hc.should_inject_headers.__doc__ == (
        "Ultra-fast header check (returns: should_inject, trace_id, funcspan_override)"
    )
    assert hc.cleanup.__doc__ == "Cleanup allocated memory"


# Process-wide scenarios: each agent below is bound at import, in a child of its own.

PROGRAMMABLE_AGENT = """
    import contextvars
    trace_id_ctx = object()
    funcspan_override_ctx = contextvars.ContextVar("override", default="the-default")
    calls = 0
    answer = (False, "trace-1")
    def get_or_set_tw_trace_id():
        global calls
        calls += 1
        if isinstance(answer, BaseException):
            raise answer
        return answer
"""


@pytest.mark.parametrize(
    "answer, trace_id",
    [
        ("(False, 'trace-1')", "trace-1"),
        ("(True, 0)", 0),
        ("type('T', (tuple,), {})((1, 'sub'))", "sub"),
        ("['x', 'trace-1']", None),
        ("('trace-1',)", None),
        ("(1, 'trace-1', 3)", None),
        ("None", None),
        ("RuntimeError('agent broke')", None),
        ("KeyError('x')", None),
    ],
)
def test_trace_id_answers_of_the_agent(tmp_path, answer, trace_id):
    agent = childproc.write_agent(tmp_path, PROGRAMMABLE_AGENT)
    result = childproc.run_for_value(
        f"""
        import sys
        import _twheadercheck as hc
        from tw_vantrel import thread_local
        thread_local.answer = {answer}
        result = hc.should_inject_headers("https://a/")
        assert sys.exc_info() == (None, None, None)
        print(repr(result))
        """,
        extra_paths=[agent],
        with_standin_agent=False,
    )
    assert result == (True, trace_id, None)


def test_agent_is_called_once_per_request_whatever_the_answer(tmp_path):
    agent = childproc.write_agent(tmp_path, PROGRAMMABLE_AGENT)
    calls = childproc.run_for_value(
        """
        import _twheadercheck as hc
        from tw_vantrel import thread_local
        hc.should_inject_headers("https://a/")
        hc.init_header_check(["a"])
        assert hc.should_inject_headers("https://a/")[0] is False
        assert hc.should_inject_headers("https://b/")[0] is True
        print(thread_local.calls)
        """,
        extra_paths=[agent],
        with_standin_agent=False,
    )
    assert calls == 3


def test_a_variable_default_is_never_the_override(tmp_path):
    agent = childproc.write_agent(tmp_path, PROGRAMMABLE_AGENT)
    result = childproc.run_for_value(
        """
        import _twheadercheck as hc
        from tw_vantrel import thread_local
        print(repr(hc.should_inject_headers("x")[2]))
        """,
        extra_paths=[agent],
        with_standin_agent=False,
    )
    assert result is None


@pytest.mark.parametrize(
    "agent_source, expected",
    [
        # no trace_id_ctx: the callable is never asked
        ("def get_or_set_tw_trace_id(): return (0, 't')", (True, None, None)),
        # not callable: dropped at import
        ("trace_id_ctx = 1\nget_or_set_tw_trace_id = (0, 't')", (True, None, None)),
        # an override that is no context variable is absorbed
        ("funcspan_override_ctx = 'not a variable'", (True, None, None)),
        (
            "trace_id_ctx = 1\ndef get_or_set_tw_trace_id(): return (0, 't')\n"
            "funcspan_override_ctx = 3",
            (True, "t", None),
        ),
        ("raise ImportError('broken agent')", (True, None, None)),
    ],
)
def test_incomplete_agents_are_absorbed(tmp_path, agent_source, expected):
    agent = childproc.write_agent(tmp_path, agent_source)
    result = childproc.run_for_value(
        """
        import sys
        import _twheadercheck as hc
        result = hc.should_inject_headers("https://a/")
        assert sys.exc_info() == (None, None, None)
        print(repr(result))
        """,
        extra_paths=[agent],
        with_standin_agent=False,
    )
    assert result == expected


def test_import_without_the_agent_package_succeeds():
    result = childproc.run_for_value(
        """
        import _twheadercheck as hc
        print(repr(hc.should_inject_headers("")))
        """,
        with_standin_agent=False,
    )
    assert result == (True, None, None)


def test_cleanup_drops_table_and_binding_and_may_repeat():
    result = childproc.run_for_value(
        """
        import contextvars
        import _twheadercheck as hc
        from tw_vantrel import thread_local
        hc.init_header_check(["a.example"])
        thread_local.funcspan_override_ctx.set("span")
        before = hc.should_inject_headers("https://a.example/")
        assert before[0] is False and before[1] and before[2] == "span"
        first, second = hc.cleanup(), hc.cleanup()
        after = hc.should_inject_headers("https://a.example/")
        hc.init_header_check(["a.example"])
        reloaded = hc.should_inject_headers("https://a.example/")
        print(repr((first, second, after, reloaded)))
        """
    )
    assert result == (None, None, (True, None, None), (False, None, None))

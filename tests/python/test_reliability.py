"""Hostile input, agent code that pulls the state away mid-call, and threads."""

import pytest

import _twheadercheck as hc
import childproc


@pytest.fixture(autouse=True)
def empty_table():
    hc.init_header_check([])
    yield
    hc.init_header_check([])


MEGABYTE = 1 << 20


HOSTILE_URLS = {
    # name: (url, should_inject) with the table ["example.com", "exa"]
    "1 MB query": ("https://example.com/?" + "q" * MEGABYTE, False),
    "1 MB host": ("https://" + "a" * MEGABYTE, True),
    "1 MB host ending in an entry": ("https://" + "a" * MEGABYTE + ".example.com", True),
    "1 MB of user information": ("https://" + "@" * MEGABYTE + "example.com/", False),
    "colons only": ("https://" + ":" * 1000 + "/", True),
    "1 MB port: the last colon cuts": ("example.com" + ":" * MEGABYTE, True),
    "slashes only": ("/" * 1000, True),
    "every separator": ("?#/:@[]" * 1000, True),
    "colon": (":", True),
    "scheme separator": ("://", True),
    "open bracket": ("[", True),
    "close bracket": ("]", True),
    "at": ("@", True),
    "open bracket host": ("https://[", True),
    "unclosed literal": ("https://[example.com", True),
    "long non-ASCII scheme": ("\u00e9" * 5000 + "://example.com", False),
    "non-ASCII host": ("https://例え.jp/", True),
    "non-ASCII after an entry": ("https://example.com\u00e9/", True),
}


@pytest.mark.parametrize("url, inject", HOSTILE_URLS.values(), ids=HOSTILE_URLS.keys())
def test_hostile_urls_get_an_answer(url, inject):
    hc.init_header_check(["example.com", "exa"])
    assert hc.should_inject_headers(url)[0] is inject


def test_every_short_url_of_separators_gets_an_answer():
    import itertools

    hc.init_header_check(["a", "a:b", "[a]", "www.a"])
    alphabet = "a:/?#@[].w"
    for length in range(6):
        for letters in itertools.product(alphabet, repeat=length):
            result = hc.should_inject_headers("".join(letters))
            assert type(result) is tuple and len(result) == 3 and type(result[0]) is bool


def test_a_hundred_thousand_entries():
    hosts = [f"host-{i}.example" for i in range(100_000)]
    assert hc.init_header_check(hosts) is True
    assert hc.should_inject_headers("https://host-99999.example/")[0] is False
    assert hc.should_inject_headers("https://host-0.example/")[0] is False
    assert hc.should_inject_headers("https://host-100000.example/")[0] is True


def test_a_failed_load_keeps_the_old_table_and_nothing_of_the_new():
    hc.init_header_check(["old.example"])
    hosts = [f"new-{i}.example" for i in range(1000)] + [None]
    with pytest.raises(TypeError):
        hc.init_header_check(hosts)
    assert hc.should_inject_headers("https://old.example/")[0] is False
    assert hc.should_inject_headers("https://new-1.example/")[0] is True


# The agent's callable pulls the module's state away while it runs: it drops the agent's own
# reference to itself (a bound method object, which nothing else holds) and runs cleanup. The
# module must keep the callable alive until the call is over.
SELF_REMOVING_AGENT = """
import contextvars, gc, weakref
trace_id_ctx = object()
funcspan_override_ctx = contextvars.ContextVar("override")
class Agent:
    def get(self):
        import _twheadercheck
        global get_or_set_tw_trace_id, funcspan_override_ctx
        callable_in_use = weakref.ref(get_or_set_tw_trace_id)
        del get_or_set_tw_trace_id, funcspan_override_ctx
        _twheadercheck.cleanup()
        gc.collect()
        return (0, "alive" if callable_in_use() is not None else "freed")
get_or_set_tw_trace_id = Agent().get
"""


def test_cleanup_from_inside_the_agent_call_is_safe(tmp_path):
    agent = childproc.write_agent(tmp_path, SELF_REMOVING_AGENT)
    result = childproc.run_for_value(
        """
        import _twheadercheck as hc
        hc.init_header_check(["a.example"])
        first = hc.should_inject_headers("https://a.example/")
        second = hc.should_inject_headers("https://a.example/")
        print(repr((first, second)))
        """,
        extra_paths=[agent],
        with_standin_agent=False,
    )
    # The table and the override went with cleanup, before they were read.
    assert result == ((True, "alive", None), (True, None, None))


def test_threads_asking_while_the_table_is_swapped_and_freed(tmp_path):
    # The agent's callable gives up the interpreter lock mid-call; another thread keeps
    # replacing the table (freeing the old one) and finally runs cleanup.
    agent = childproc.write_agent(
        tmp_path,
        """
        import contextvars, time, uuid
        trace_id_ctx = contextvars.ContextVar("trace")
        funcspan_override_ctx = contextvars.ContextVar("override")
        def get_or_set_tw_trace_id():
            time.sleep(0)
            value = trace_id_ctx.get(None)
            if value is None:
                value = uuid.uuid4().hex
                trace_id_ctx.set(value)
            return (False, value)
        """,
    )
    calls = childproc.run_for_value(
        """
        import sys, threading
        import _twheadercheck as hc
        sys.setswitchinterval(1e-6)
        tables = [[f"h{i}.example" for i in range(n)] + ["hit.example"] for n in (0, 1, 15, 300)] + [[]]
        urls = ["https://hit.example/", "https://miss.example/x", "https://www.HIT.example:1/", ""]
        stop = threading.Event()
        answers = []
        def ask():
            count = 0
            while not stop.is_set() or count < 5000:
                result = hc.should_inject_headers(urls[count % len(urls)])
                assert type(result) is tuple and len(result) == 3, result
                assert type(result[0]) is bool and result[2] is None
                assert result[1] is None or len(result[1]) == 32
                count += 1
            answers.append(count)
        def swap():
            for i in range(20000):
                hc.init_header_check(tables[i % len(tables)])
            hc.cleanup()
            stop.set()
        threads = [threading.Thread(target=ask) for _ in range(4)] + [threading.Thread(target=swap)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(answers) == 4
        print(sum(answers))
        """,
        extra_paths=[agent],
        with_standin_agent=False,
        timeout=300,
    )
    assert calls >= 20000

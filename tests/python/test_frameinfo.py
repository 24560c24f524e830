import functools
import os
import sys
import textwrap
import types

import pytest

import _twframeinfo as fi

NOT_USER_CODE = [
    "<string>",
    "<frozen importlib._bootstrap>",
    "<stdin>",
    "/usr/lib/python3.14/json/decoder.py",
    "/usr/local/lib/python3.14/json/decoder.py",
    "/usr/lib64/python3.14/json/decoder.py",
    "/srv/app/.venv/lib64/python3.14/site-packages/requests/api.py",
    "/usr/lib/python3/dist-packages/yaml/__init__.py",
    "/opt/my-site-packages-tool/run.py",
    "C:\\Python314\\lib\\python\\x.py",
    "/home/dev/tw-vantrel/tw_vantrel/patches/http.py",
    "/srv/venv/site-packages/x.py\0/srv/app.py",
]
USER_CODE = [
    "/srv/app/handlers/orders.py",
    "",
    "C:\\Python314\\Lib\\json\\decoder.py",
    "C:\\Python314\\Lib\\Python\\x.py",
    "/opt/App/Site-Packages/x.py",
    "/home/dev/tw_vantrel/x.py",
    "/srv/app/handlers.py\0/site-packages/x.py",
    "relative/path.py",
]


def function_in(filename, name="handler", first_line=1):
    """A real function whose code object names the given file."""
    source = "\n" * (first_line - 1) + f"def {name}():\n    return sys._getframe()\n"
    namespace = {"sys": sys}
    exec(compile(source, "placeholder", "exec"), namespace)
    func = namespace[name]
    # replace() takes any str, even one compile() refuses (an embedded NUL).
    func.__code__ = func.__code__.replace(co_filename=filename)
    return func


@pytest.mark.parametrize("filename", NOT_USER_CODE)
def test_library_agent_and_pseudo_files_are_not_user_code(filename):
    func = function_in(filename)
    assert fi.is_user_code_func(func) is False
    assert fi.get_code_info(func) is None
    assert fi.get_frame_info(func()) is None


@pytest.mark.parametrize("filename", USER_CODE)
def test_application_files_are_user_code(filename):
    func = function_in(filename, first_line=7)
    assert fi.is_user_code_func(func) is True
    assert fi.get_code_info(func) == (filename, 7, "handler", True)
    assert fi.get_frame_info(func()) == (filename, 8, "handler", True)


def test_frame_record_is_the_line_being_executed_and_shares_the_file_name():
    frame = sys._getframe()
    line = frame.f_lineno
    record = fi.get_frame_info(frame)
    assert record == (__file__, line + 1, "test_frame_record_is_the_line_being_executed_and_shares_the_file_name", True)
    assert record[0] is frame.f_code.co_filename
    assert record[3] is True


def test_module_level_and_lambda_names():
    namespace = {"sys": sys}
    exec(compile("frame = sys._getframe()\nlam = lambda: sys._getframe()\n", "/srv/app/m.py", "exec"), namespace)
    # The module frame has run to its end: its current line is the last one.
    assert fi.get_frame_info(namespace["frame"]) == ("/srv/app/m.py", 2, "<module>", True)
    assert fi.get_code_info(namespace["lam"]) == ("/srv/app/m.py", 2, "<lambda>", True)
    assert fi.get_frame_info(namespace["lam"]()) == ("/srv/app/m.py", 2, "<lambda>", True)


def test_renamed_function_keeps_its_code_name_in_frames():
    func = function_in("/srv/app/x.py")
    func.__name__ = "renamed"
    assert fi.get_code_info(func)[2] == "renamed"
    assert fi.get_frame_info(func())[2] == "handler"


def test_library_frame_gives_none_and_its_user_caller_a_record():
    library = function_in("/srv/venv/lib/python3.14/site-packages/lib.py")
    namespace = {"library": library, "sys": sys}
    exec(compile("def app():\n    return library().f_back\n", "/srv/app/app.py", "exec"), namespace)
    caller = namespace["app"]()
    assert fi.get_frame_info(caller) == ("/srv/app/app.py", 2, "app", True)


NOT_CALLABLE_WITH_CODE = [print, len, int, type("C", (), {}), 42, None, "text", object()]


@pytest.mark.parametrize("obj", NOT_CALLABLE_WITH_CODE)
def test_objects_without_code_give_none_or_false_and_no_error(obj):
    assert fi.get_code_info(obj) is None
    assert fi.get_frame_info(obj) is None
    assert fi.is_user_code_func(obj) is False
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("args", [(), (1, 2), (len, len)])
def test_wrong_argument_counts_give_none_or_false(args):
    assert fi.get_code_info(*args) is None
    assert fi.get_frame_info(*args) is None
    assert fi.is_user_code_func(*args) is False


@pytest.mark.parametrize(
    "method", [fi.get_code_info, fi.get_frame_info, fi.is_user_code_func]
)
@pytest.mark.parametrize("args", [(), (len,)])
def test_keyword_arguments_are_refused_in_the_interpreters_words(method, args):
    # The methods read their argument vector directly; a keyword must still be refused exactly
    # as for a method that parses a positional argument tuple.
    import childproc

    sys.path.insert(0, str(childproc.bench_dir()))
    try:
        reference = pytest.importorskip("_twfloor").takes_one_object
    finally:
        sys.path.pop(0)
    with pytest.raises(TypeError) as expected:
        reference(*args, func=len)
    with pytest.raises(TypeError) as error:
        method(*args, func=len)
    assert str(error.value) == str(expected.value).replace("takes_one_object", method.__name__)


def fake_code(**attributes):
    return types.SimpleNamespace(**attributes)


@pytest.mark.parametrize(
    "frame, expected",
    [
        (types.SimpleNamespace(f_code=fake_code(co_filename="/srv/a.py", co_name="n"), f_lineno=3), ("/srv/a.py", 3, "n", True)),
        (types.SimpleNamespace(f_code=fake_code(co_filename="/srv/a.py", co_name=5), f_lineno=True), ("/srv/a.py", 1, 5, True)),
        (types.SimpleNamespace(f_code=fake_code(co_filename="/srv/a.py", co_name="n"), f_lineno=None), None),
        (types.SimpleNamespace(f_code=fake_code(co_filename="/srv/a.py", co_name="n"), f_lineno="3"), None),
        (types.SimpleNamespace(f_code=fake_code(co_filename="/srv/a.py", co_name="n"), f_lineno=2**80), None),
        (types.SimpleNamespace(f_code=fake_code(co_filename="/srv/a.py"), f_lineno=3), None),
        (types.SimpleNamespace(f_code=fake_code(co_filename="/srv/a.py", co_name="n")), None),
        (types.SimpleNamespace(f_code=fake_code(co_filename=b"/srv/a.py", co_name="n"), f_lineno=3), None),
        (types.SimpleNamespace(f_code=fake_code(co_filename="/srv/\ud800.py", co_name="n"), f_lineno=3), None),
        (types.SimpleNamespace(f_code=fake_code(co_name="n"), f_lineno=3), None),
        (types.SimpleNamespace(f_code=fake_code(co_filename="<x>"), f_lineno=None), None),
    ],
)
def test_any_object_with_the_attributes_is_read_and_gaps_give_none(frame, expected):
    assert fi.get_frame_info(frame) == expected
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize(
    "func, expected",
    [
        (types.SimpleNamespace(__code__=fake_code(co_filename="/srv/a.py", co_firstlineno=4), __name__="f"), ("/srv/a.py", 4, "f", True)),
        (types.SimpleNamespace(__code__=fake_code(co_filename="/srv/a.py", co_firstlineno=None), __name__="f"), None),
        (types.SimpleNamespace(__code__=fake_code(co_filename="/srv/a.py", co_firstlineno=4)), None),
        (types.SimpleNamespace(__code__=fake_code(co_firstlineno=4), __name__="f"), None),
    ],
)
def test_code_info_reads_any_object_with_the_attributes(func, expected):
    assert fi.get_code_info(func) == expected
    assert sys.exc_info() == (None, None, None)


def test_is_user_code_func_accepts_bound_methods_and_rejects_bad_file_names():
    class Handler:
        def handle(self):
            pass

    assert fi.is_user_code_func(Handler().handle) is True
    assert fi.is_user_code_func(types.SimpleNamespace(__code__=fake_code(co_filename=3))) is False
    assert fi.is_user_code_func(types.SimpleNamespace(__code__=fake_code())) is False


def test_attribute_errors_raised_by_properties_are_absorbed():
    class Exploding:
        @property
        def f_code(self):
            raise RuntimeError("boom")

        @property
        def __code__(self):
            raise KeyError("boom")

    assert fi.get_frame_info(Exploding()) is None
    assert fi.get_code_info(Exploding()) is None
    assert fi.is_user_code_func(Exploding()) is False
    assert sys.exc_info() == (None, None, None)


def test_code_access_raises_its_audit_events():
    # Reading the structures directly must not hide the access from audit hooks; a child keeps
    # the hook out of this process.
    import childproc

    events = childproc.run_for_value(
        """
        import sys
        import _twframeinfo as fi
        events = []
        sys.addaudithook(lambda e, a: events.append(a[1]) if e == "object.__getattr__" else None)
        def f():
            return sys._getframe()
        fi.get_frame_info(f())
        fi.get_code_info(f)
        fi.is_user_code_func(f)
        print(repr(events))
        """
    )
    assert events == ["f_code", "__code__", "__code__"]


def test_a_refusing_audit_hook_gives_none_and_no_error():
    import childproc

    result = childproc.run_for_value(
        """
        import sys
        import _twframeinfo as fi
        def hook(event, args):
            if event == "object.__getattr__":
                raise PermissionError(args[1])
        def f():
            return sys._getframe()
        frame = f()
        sys.addaudithook(hook)
        result = (fi.get_frame_info(frame), fi.get_code_info(f), fi.is_user_code_func(f))
        assert sys.exc_info() == (None, None, None)
        print(repr(result))
        """
    )
    assert result == (None, None, False)


def test_the_docstrings_are_the_systems_own():
    assert fi.__doc__ == "Ultra-fast frame introspection for network hop capture"
    assert fi.get_code_info.__doc__ == (
        "Extract (filename, lineno, name, is_user) from function. Returns None if not user code."
    )
    assert fi.get_frame_info.__doc__ == (
        "Extract (filename, lineno, name, is_user) from frame. Returns None if not user code."
    )
    assert fi.is_user_code_func.__doc__ == "Quick check if function is user code."


# The call site of a hop: the nearest frame of user code, walking outward. The answer the agent's
# own loop gives is the reference for every shape of stack.
AGENT_FILE = "/opt/agent/tw-vantrel/tw_vantrel/hook.py"
LIBRARY_FILE = "/srv/venv/lib/python3.14/site-packages/client.py"


def the_loop(frame):
    while frame is not None:
        record = fi.get_frame_info(frame)
        if record is not None:
            return record
        frame = frame.f_back
    return None


def defined_in(filename, source, **names):
    namespace = dict(names, sys=sys)
    exec(compile(textwrap.dedent(source), filename, "exec"), namespace)
    return namespace


AGENT = defined_in(AGENT_FILE, """
    def hop():
        # The walk first: the loop's f_back reads give every frame an object.
        ours = get_call_site()
        frame = sys._getframe()
        return ours, get_call_site(frame), the_loop(frame)
    """, get_call_site=fi.get_call_site, the_loop=the_loop)
LIBRARY = defined_in(LIBRARY_FILE, """
    def through(depth, then):
        if depth == 0:
            return then()
        return through(depth - 1, then)
    def resume(generator):
        return next(generator)
    async def awaiting(awaitable):
        return await awaitable
    async def hop_async():
        return hop()
    def hop_in_a_thread():
        import threading
        found = []
        thread = threading.Thread(target=lambda: found.append(through(2, hop)))
        thread.start()
        thread.join()
        return found[0]
    def wait_for(release, inside):
        inside.set()
        release.wait(60)
    """, hop=AGENT["hop"])

# Each shape: the application's source (in /srv/app/shape.py) defining site(), and the function
# whose frame is the call site (None: no frame of user code on the stack).
STACK_SHAPES = {
    "function": ("def site():\n    return through(12, hop)\n", "site"),
    "lambda": ("site = lambda: through(3, hop)\n", "<lambda>"),
    "class body": ("def site():\n    class Handler:\n        found = through(2, hop)\n    return Handler.found\n", "Handler"),
    "module code": ("def site():\n    namespace = {'through': through, 'hop': hop}\n"
                    "    exec(compile('found = through(2, hop)', '/srv/app/generated.py', 'exec'), namespace)\n"
                    "    return namespace['found']\n", "<module>"),
    "comprehension": ("def site():\n    return [through(1, hop) for _ in range(1)][0]\n",
                      "<listcomp>" if sys.version_info < (3, 12) else "site"),
    "generator expression": ("def site():\n    return next(through(1, hop) for _ in range(1))\n", "<genexpr>"),
    "generator": ("def site():\n    def produce():\n        yield through(2, hop)\n    return next(produce())\n", "produce"),
    "generator resumed by a library": (
        "def site():\n    def produce():\n        yield through(2, hop)\n    return resume(produce())\n", "produce"),
    "coroutine in an asyncio task": (
        "import asyncio\ndef site():\n    async def handler():\n        return await awaiting(hop_async())\n"
        "    return asyncio.run(handler())\n", "handler"),
    "async generator": (
        "import asyncio\ndef site():\n    async def stream():\n        yield through(2, hop)\n"
        "    async def handler():\n        async for found in stream():\n            return found\n"
        "    return asyncio.run(handler())\n", "stream"),
    "nearest of several": ("def inner():\n    return through(2, hop)\ndef site():\n    return through(3, inner)\n", "inner"),
    "1,000 frames of recursion": (
        "def recurse(n):\n    return through(2, hop) if n == 0 else recurse(n - 1)\ndef site():\n    return recurse(1000)\n",
        "recurse"),
    "1,000 library frames": ("def site():\n    return through(1000, hop)\n", "site"),
    "a thread of library code alone": ("def site():\n    return hop_in_a_thread()\n", None),
    "under a tracer": (
        "def site():\n    def tracer(frame, event, argument):\n        return tracer\n    sys.settrace(tracer)\n"
        "    try:\n        return through(2, hop)\n    finally:\n        sys.settrace(None)\n", "site"),
}


@pytest.fixture
def deep_stacks():
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 5000))
    yield
    sys.setrecursionlimit(limit)


@pytest.mark.parametrize("source, site", STACK_SHAPES.values(), ids=STACK_SHAPES.keys())
def test_the_call_site_is_the_loops_on_every_shape_of_stack(source, site, deep_stacks):
    application = defined_in("/srv/app/shape.py", source, **LIBRARY)
    ours, from_frame, loop = application["site"]()
    assert ours == from_frame == loop
    if site is None:
        assert ours is None
    else:
        assert ours[0] in ("/srv/app/shape.py", "/srv/app/generated.py") and ours[2] == site


def frames_of_a_call_that_has_returned():
    def fail():
        raise ValueError("from the library")

    application = defined_in("/srv/app/returned.py", "def site():\n    through(3, fail)\n", fail=fail, **LIBRARY)
    try:
        application["site"]()
    except ValueError as error:
        traceback = error.__traceback__
    frames = []
    while traceback is not None:
        frames.append(traceback.tb_frame)
        traceback = traceback.tb_next
    return frames[-2]  # the library's innermost frame, below the raising test helper


def another_threads_frame(request):
    import threading

    inside, release = threading.Event(), threading.Event()
    waiting = functools.partial(LIBRARY["wait_for"], release, inside)
    application = defined_in("/srv/app/worker.py", "def site():\n    through(3, waiting)\n", waiting=waiting, **LIBRARY)
    thread = threading.Thread(target=application["site"])
    thread.start()
    request.addfinalizer(lambda: (release.set(), thread.join()))
    inside.wait(60)
    return sys._current_frames()[thread.ident]


def a_suspended_generator():
    application = defined_in("/srv/app/gen.py", "def produce():\n    yield 1\n    yield 2\n")
    generator = application["produce"]()
    next(generator)
    return generator.gi_frame


@pytest.mark.parametrize("make, site", [
    (frames_of_a_call_that_has_returned, "site"),
    (another_threads_frame, "site"),
    (a_suspended_generator, "produce"),
])
def test_from_a_frame_the_walk_is_the_loops(make, site, request):
    frame = make(request) if make is another_threads_frame else make()
    ours = fi.get_call_site(frame)
    assert ours == the_loop(frame)
    assert ours is not None and ours[2] == site


def fake_frame(filename, **attributes):
    return types.SimpleNamespace(f_code=fake_code(co_filename=filename, co_name="fake"), f_lineno=3, **attributes)


class FailingBack:
    f_code = fake_code(co_filename=LIBRARY_FILE, co_name="fake")
    f_lineno = 3

    @property
    def f_back(self):
        raise RuntimeError("no link")


def own_back():
    link = fake_frame(LIBRARY_FILE)
    link.f_back = link
    return link


def caller():
    return sys._getframe(1)


@pytest.mark.parametrize("start, expected", [
    (lambda: fake_frame(LIBRARY_FILE, f_back=fake_frame("/srv/a.py", f_back=None)), ("/srv/a.py", 3, "fake", True)),
    (lambda: fake_frame(LIBRARY_FILE, f_back=caller()), "the loop"),
    (lambda: fake_frame(LIBRARY_FILE, f_back=None), None),
    (lambda: fake_frame(LIBRARY_FILE), None),
    (lambda: fake_frame(LIBRARY_FILE, f_back=42), None),
    (FailingBack, None),
    (own_back, None),
    (lambda: None, None),
    (lambda: 42, None),
])
def test_any_other_object_is_walked_by_its_attributes_and_odd_chains_end_with_none(start, expected):
    link = start()
    ours = fi.get_call_site(link)
    assert ours == (the_loop(link) if expected == "the loop" else expected)
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("args", [(None, None), (sys._getframe(), len)])
def test_more_than_one_argument_gives_none_and_keywords_are_refused(args):
    assert fi.get_call_site(*args) is None
    with pytest.raises(TypeError, match=r"^get_call_site\(\) takes no keyword arguments$"):
        fi.get_call_site(frame=None)


# The public frame API, which a build for an interpreter whose records are not known walks with,
# makes a frame object for every frame as the loop does.
@pytest.mark.skipif(bool(os.environ.get("TW_PUBLIC_FRAME_API")), reason="walks through frame objects")
def test_a_hop_on_a_fresh_stack_allocates_its_record_where_the_loop_makes_a_frame_object_per_frame(deep_stacks):
    if sys.getallocatedblocks() == 0:
        pytest.skip("the allocator in use counts no blocks (PYTHONMALLOC=malloc)")
    counted = defined_in(AGENT_FILE, """
        def blocks(walk):
            before = sys.getallocatedblocks()
            found = walk()
            return sys.getallocatedblocks() - before, found
        def native():
            return blocks(get_call_site)
        def loop():
            frame = sys._getframe()
            return blocks(lambda: the_loop(frame))
        """, get_call_site=fi.get_call_site, the_loop=the_loop)
    application = defined_in("/srv/app/deep.py", "def site(hook):\n    return through(200, hook)\n", **LIBRARY)
    application["site"](counted["native"])  # every code object judged once
    native, native_site = application["site"](counted["native"])
    loop, loop_site = application["site"](counted["loop"])
    assert native_site == loop_site and native_site[2] == "site"
    assert native < 20 <= 200 <= loop


# Where the application's code lives, as the agent is told: prefixes over the built-in rule.
INSTALLED_APP = "/app/.venv/lib/python3.14/site-packages/orders_service/api.py"
VENDORED = "/srv/app/vendor/payments/client.py"


@pytest.fixture
def user_code_rules():
    yield fi.init_user_code
    fi.init_user_code([], [])


def verdicts(filename):
    """What every method says of a function in filename, and of a frame of it."""
    func = function_in(filename)
    frame = func()
    return (fi.is_user_code_func(func), fi.get_code_info(func) is not None, fi.get_frame_info(frame) is not None,
            fi.get_call_site(frame) is not None and fi.get_call_site(frame)[0] == filename)


@pytest.mark.parametrize("include, exclude, filename, user", [
    (["/app/.venv/lib/python3.14/site-packages/orders_service"], [], INSTALLED_APP, True),
    (["/app/.venv/lib/python3.14/site-packages/orders"], [], INSTALLED_APP, False),
    ([], ["/srv/app/vendor/"], VENDORED, False),
    ([], ["/srv/app/vendor"], "/srv/app/vendored/client.py", True),
    (["/srv/app"], ["/srv/app/vendor"], VENDORED, True),
    (["<string>"], [], "<string>", False),
    ([], [], INSTALLED_APP, False),
    ([], [], VENDORED, True),
])
def test_every_method_follows_the_prefixes_over_the_built_in_rule(include, exclude, filename, user, user_code_rules):
    assert user_code_rules(include, exclude) is True
    assert verdicts(filename) == (user,) * 4


def test_each_call_replaces_both_lists_and_a_walk_follows_the_change(user_code_rules):
    # One code object, judged under each rule in turn: no verdict kept outlives a change.
    application = defined_in(INSTALLED_APP, "def site():\n    return through(2, hop)\n", **LIBRARY)

    def attributed():
        return [found is not None and found[0] == INSTALLED_APP for found in application["site"]()]

    assert attributed() == [False] * 3
    user_code_rules(["/app/.venv/lib/python3.14/site-packages/orders_service"], [])
    assert attributed() == [True] * 3
    user_code_rules([], ["/srv/venv"])
    assert attributed() == [False] * 3


@pytest.mark.parametrize("include, exclude, error, message", [
    (("/srv/app",), [], TypeError, "include must be a list"),
    (["/srv/app", 1], [], TypeError, "include items must be strings"),
    ([], "/srv/app/vendor", TypeError, "exclude must be a list"),
    ([], [b"/srv/app/vendor"], TypeError, "exclude items must be strings"),
    (["/srv/app"], ["\ud800"], UnicodeEncodeError, None),
])
def test_a_failed_call_keeps_the_rules_in_force(include, exclude, error, message, user_code_rules):
    user_code_rules([], ["/srv/app/vendor"])
    with pytest.raises(error) as raised:
        user_code_rules(include, exclude)
    if message is not None:
        assert str(raised.value) == message
    assert verdicts(VENDORED) == (False,) * 4
    assert verdicts("/srv/app/x.py") == (True,) * 4

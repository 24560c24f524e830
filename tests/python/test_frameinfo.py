import sys
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

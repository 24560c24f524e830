import re

import pytest

import childproc

ENTRY_POINTS = ["tw_set_sink_url", "tw_set_api_key", "tw_set_service_uuid", "tw_initialize"]

# Reads back what the preloaded stand-in received.
READ_BACK = """
import ctypes
_lib = ctypes.CDLL(None)
_lib.tw_standin_value.restype = ctypes.c_char_p
_lib.tw_standin_calls.restype = ctypes.c_int
def received(entry):
    return _lib.tw_standin_calls(entry.encode()), _lib.tw_standin_value(entry.encode())
_lib.getenv.restype = ctypes.c_char_p
def initialized():
    return _lib.getenv(b"TW_INITIALIZED")
"""

CALL_EVERY_METHOD_TWICE = """
import _twconfig
outcomes = []
for _ in range(2):
    for call in (lambda: _twconfig.set_sink_url("https://sink.example/graphql"),
                 lambda: _twconfig.set_api_key("key"),
                 lambda: _twconfig.set_service_uuid("uuid"),
                 lambda: _twconfig.initialize()):
        try:
            outcomes.append(call())
        except RuntimeError as error:
            outcomes.append(str(error))
print(repr(outcomes))
"""

NOT_LOADED = "C library not loaded (LD_PRELOAD not active?)"


def report_of(stderr):
    lines = stderr.splitlines()
    assert lines.count("[_twconfig] Symbol resolution FAILED!") == 1, stderr
    start = lines.index("[_twconfig] Symbol resolution FAILED!")
    return lines[start : start + 6]


def preload(value):
    return {} if value is None else {"LD_PRELOAD": value}


@pytest.mark.parametrize(
    "preload_value, shown",
    [(None, "(not set)"), ("", ""), ("/nonexistent/libnothing.so", "/nonexistent/libnothing.so")],
)
def test_without_the_library_the_report_comes_once_and_every_call_raises(preload_value, shown):
    if childproc.SANITIZED:
        if not preload_value:
            pytest.skip("an instrumented module can't load without its preloaded sanitizer runtime")
        shown = childproc.preload_as_seen(preload_value)
    done = childproc.run(CALL_EVERY_METHOD_TWICE, env=preload(preload_value))
    assert done.returncode == 0, done.stderr
    assert eval(done.stdout.strip()) == [NOT_LOADED] * 8
    report = report_of(done.stderr)
    assert report[1] == f"  LD_PRELOAD={shown}"
    for line, entry in zip(report[2:], ENTRY_POINTS):
        assert re.fullmatch(rf"  {entry}: FAILED \(.*undefined symbol: {entry}\)", line), line


def test_a_partial_library_works_for_what_it_has():
    library = str(childproc.standin_library("tidewren_partial"))
    done = childproc.run(CALL_EVERY_METHOD_TWICE + READ_BACK + "print(repr(received('tw_set_api_key')))",
                         env=preload(library))
    assert done.returncode == 0, done.stderr
    outcomes_line, received_line = done.stdout.strip().splitlines()
    assert eval(outcomes_line) == [None, None, None, NOT_LOADED] * 2
    assert eval(received_line) == (2, b"key")
    report = report_of(done.stderr)
    assert report[1] == f"  LD_PRELOAD={childproc.preload_as_seen(library)}"
    assert report[2:5] == [f"  {entry}: OK (no error)" for entry in ENTRY_POINTS[:3]]
    assert re.fullmatch(r"  tw_initialize: FAILED \(.*undefined symbol: tw_initialize\)", report[5])


@pytest.mark.parametrize(
    "value",
    ["'https://sink.example/graphql'", "''", "'no scheme at all'", "'ключ-🔑'", "'x' * 100_000"],
)
def test_the_whole_library_gets_each_value_untouched_once(value):
    done = childproc.run(
        READ_BACK
        + f"""
import _twconfig
value = {value}
assert initialized() is None
results = [_twconfig.set_sink_url(value), _twconfig.set_api_key(value),
           _twconfig.set_service_uuid(value), _twconfig.initialize()]
expected = (1, value.encode())
got = [received(e) for e in ("tw_set_sink_url", "tw_set_api_key", "tw_set_service_uuid")]
print(repr((results, got == [expected] * 3, received("tw_initialize")[0], initialized())))
""",
        env=preload(str(childproc.standin_library())),
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert eval(done.stdout.strip()) == ([None] * 4, True, 1, b"1")


@pytest.mark.parametrize(
    "bad_call, error",
    [
        ("_twconfig.set_service_uuid(42)", "TypeError"),
        ("_twconfig.set_sink_url()", "TypeError"),
        ("_twconfig.set_api_key('a', 'b')", "TypeError"),
        ("_twconfig.set_api_key('a\\0b')", "ValueError"),
        ("_twconfig.set_sink_url('\\ud800')", "UnicodeEncodeError"),
        ("_twconfig.set_sink_url(url='x')", "TypeError"),
        ("_twconfig.initialize(1)", "TypeError"),
        ("_twconfig.initialize(now=True)", "TypeError"),
    ],
)
def test_refused_arguments_look_nothing_up(bad_call, error):
    done = childproc.run(
        f"""
import sys, _twconfig
try:
    {bad_call}
except Exception as caught:
    print(type(caught).__name__, flush=True)
sys.stdout.flush()
print("---", flush=True)
try:
    _twconfig.initialize()
except RuntimeError:
    pass
"""
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == error
    # The report comes with the first call that got past parsing, not with the refused one.
    assert done.stderr.count("[_twconfig] Symbol resolution FAILED!") == 1


def test_import_prints_nothing_and_looks_nothing_up():
    done = childproc.run("import _twconfig")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


@pytest.mark.parametrize("loaded_before_first_call, outcome", [(True, "None"), (False, NOT_LOADED)])
def test_the_lookup_is_made_once_on_first_use(loaded_before_first_call, outcome):
    library = str(childproc.standin_library())
    load = f"ctypes.CDLL({library!r}, mode=ctypes.RTLD_GLOBAL)"
    done = childproc.run(
        f"""
import ctypes, _twconfig
{load if loaded_before_first_call else ""}
try:
    _twconfig.set_api_key("first")
except RuntimeError:
    pass
{load}
try:
    print(_twconfig.set_api_key("second"))
except RuntimeError as error:
    print(error)
"""
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == outcome


def test_the_docstrings_are_the_systems_own():
    import _twconfig

    assert _twconfig.__doc__ == "Configuration interface for the Tidewren C library"
    assert _twconfig.set_sink_url.__doc__ == "Set the GraphQL endpoint URL for the C library"
    assert _twconfig.set_api_key.__doc__ == "Set the API key for the C library"
    assert _twconfig.set_service_uuid.__doc__ == "Set the service UUID for the C library"
    assert _twconfig.initialize.__doc__ == (
        "Initialize and activate the C library (sets TW_INITIALIZED=1)"
    )

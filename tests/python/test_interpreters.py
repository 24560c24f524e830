"""Several interpreters in one process: each keeps to its own agent objects, none crashes.

Every scenario runs in a child process of its own, since the modules' state is process-wide. Each
interpreter's agent names its interpreter in the trace ids it makes, and each interpreter sets an
override naming itself, so an answer can be told apart as the caller's own, None, or another's.
"""

import sys
import textwrap
from pathlib import Path

import pytest

import childproc
import subinterpreters

HERE = Path(__file__).resolve().parent

NAMING_AGENT = (childproc.ROOT / "tests" / "support" / "naming_agent.py").read_text()

# Run in every interpreter of a scenario. probe() asks calls times, each in a fresh context with
# this interpreter's own override set, and returns the kinds of answer it got: ("own" for this
# interpreter's trace id or override, None, or the foreign value itself).
PROBE = '''
import contextvars
import _twheadercheck
from tw_vantrel import thread_local
def _whose(value, own_prefix):
    return None if value is None else "own" if str(value).startswith(own_prefix) else value
def probe(calls=1, url="https://a.example/"):
    me = thread_local.INTERPRETER
    def ask():
        thread_local.funcspan_override_ctx.set(f"override-{me}")
        return _twheadercheck.should_inject_headers(url)
    kinds = set()
    for _ in range(calls):
        inject, trace_id, override = contextvars.Context().run(ask)
        kinds.add((inject, _whose(trace_id, f"trace-{me}-"), _whose(override, f"override-{me}")))
    return sorted(kinds, key=repr)
'''

SCENARIO_PRELUDE = f"""
import sys
import subinterpreters as si
PROBE = {PROBE!r}
def interpreter():
    created = si.Interpreter()
    created.exec(PROBE)
    return created
"""

BOUND = [(True, "own", "own")]
UNBOUND = [(True, None, None)]
# From 3.13 the runtime initialises a single-phase module in the main interpreter whichever
# interpreter imports it first; before, the first importer does.
MAIN_INITIALISES_THE_MODULE = sys.version_info >= (3, 13)


def run_scenario(tmp_path, code, **kwargs):
    agent = childproc.write_agent(tmp_path, NAMING_AGENT)
    return childproc.run_for_value(
        SCENARIO_PRELUDE + textwrap.dedent(code),
        extra_paths=[agent, HERE],
        with_standin_agent=False,
        **kwargs,
    )


def test_main_binds_first_and_keeps_its_objects_after_its_neighbours_are_gone(tmp_path):
    result = run_scenario(
        tmp_path,
        """
        import gc
        exec(PROBE)
        from tw_vantrel import thread_local
        first = probe()
        neighbours = [interpreter() for _ in range(3)]
        theirs = [n.eval("probe(calls=50)") for n in neighbours]
        during = probe(calls=50)
        for n in neighbours:
            n.close()
        gc.collect()
        after = probe(calls=5000)
        held = sys.getrefcount(thread_local.get_or_set_tw_trace_id)
        _twheadercheck.cleanup()
        released = held - sys.getrefcount(thread_local.get_or_set_tw_trace_id)
        print(repr((first, theirs, during, after, released, probe())))
        """,
    )
    assert result == (BOUND, [UNBOUND] * 3, BOUND, BOUND, 1, UNBOUND)


def test_a_sub_interpreter_importing_first_and_then_going_away(tmp_path):
    result = run_scenario(
        tmp_path,
        """
        first = si.Interpreter()
        first.exec(PROBE)  # the first import of the module in this process
        second = interpreter()
        exec(PROBE)
        before = {"first": first.eval("probe(calls=20)"), "second": second.eval("probe(calls=20)"),
                  "main": probe(calls=20)}
        first.close()
        third = interpreter()
        after = {"second": second.eval("probe(calls=2000)"), "third": third.eval("probe(calls=2000)"),
                 "main": probe(calls=5000)}
        second.close()
        third.close()
        print(repr((before, after, probe(calls=1000))))
        """,
    )
    before, after, main_last = result
    if MAIN_INITIALISES_THE_MODULE:
        assert before == {"first": UNBOUND, "second": UNBOUND, "main": BOUND}
        assert after == {"second": UNBOUND, "third": UNBOUND, "main": BOUND}
        assert main_last == BOUND
    else:
        assert before == {"first": BOUND, "second": UNBOUND, "main": UNBOUND}
        # The runtime lets go of the module with the interpreter that initialised it, and the
        # next interpreter to import it initialises it again: that one binds its own agent.
        assert after == {"second": UNBOUND, "third": BOUND, "main": UNBOUND}
        assert main_last == UNBOUND


def test_the_table_is_shared_and_a_foreign_cleanup_forgets_without_releasing(tmp_path):
    result = run_scenario(
        tmp_path,
        """
        exec(PROBE)
        from tw_vantrel import thread_local
        neighbour = interpreter()
        neighbour.exec("_twheadercheck.init_header_check(['a.example'])")
        loaded_there = probe()
        held = sys.getrefcount(thread_local.get_or_set_tw_trace_id)
        neighbour.exec("_twheadercheck.cleanup()")
        after_cleanup_there = probe()
        kept = sys.getrefcount(thread_local.get_or_set_tw_trace_id) - held
        _twheadercheck.init_header_check(["a.example"])
        seen_there = neighbour.eval("probe()")
        neighbour.exec("_twheadercheck.init_header_check(['b.example'])")
        neighbour.close()
        after_close = (probe(), probe(url="https://b.example/"))
        _twheadercheck.cleanup()
        print(repr((loaded_there, after_cleanup_there, kept, seen_there, after_close, probe())))
        """,
    )
    assert result == (
        [(False, "own", "own")],
        UNBOUND,  # the table went for everyone, the binding is forgotten
        0,  # ... and not released from the wrong interpreter
        [(False, None, None)],
        (UNBOUND, [(False, None, None)]),
        UNBOUND,
    )


def test_threads_of_several_interpreters_ask_at_once(tmp_path):
    # The lock passes between interpreters in the middle of calls: the main interpreter's threads
    # ask while each neighbour's own threads do. (A neighbour is run from the main thread: 3.12
    # hangs destroying one whose code ran in another thread, with or without these modules.)
    result = run_scenario(
        tmp_path,
        """
        import threading
        exec(PROBE)
        sys.setswitchinterval(1e-5)
        neighbours = [interpreter() for _ in range(2)]
        ASK = "import threading\\n" + \\
              "threads = [threading.Thread(target=probe, kwargs={'calls': 3000}) for _ in range(2)]\\n" + \\
              "[t.start() for t in threads]; [t.join() for t in threads]\\n" + \\
              "answers = probe(calls=200)\\n"
        mine = []
        askers = [threading.Thread(target=lambda: mine.append(probe(calls=6000))) for _ in range(2)]
        for asker in askers:
            asker.start()
        for neighbour in neighbours:
            neighbour.exec(ASK)
        for asker in askers:
            asker.join()
        theirs = [n.eval("answers") for n in neighbours]
        for n in neighbours:
            n.close()
        print(repr((mine, theirs, probe(calls=100))))
        """,
        timeout=300,
    )
    assert result == ([BOUND, BOUND], [UNBOUND, UNBOUND], BOUND)


FRAME_RECORDS = """
import sys, _twframeinfo
namespace = {"sys": sys}
exec(compile("def handler():\\n    return sys._getframe()\\n", "/srv/app/handler.py", "exec"), namespace)
handler = namespace["handler"]
records = (_twframeinfo.get_frame_info(handler()), _twframeinfo.get_code_info(handler),
           _twframeinfo.is_user_code_func(handler), _twframeinfo.get_code_info(len),
           _twframeinfo.get_frame_info(sys._getframe()))
"""


def test_frame_records_in_every_interpreter_before_and_after_others_are_destroyed(tmp_path):
    result = run_scenario(
        tmp_path,
        f"""
        FRAME_RECORDS = {FRAME_RECORDS!r}
        answers = []
        for _ in range(3):
            neighbour = si.Interpreter()
            neighbour.exec(FRAME_RECORDS)
            answers.append(neighbour.eval("records[:4]"))
            neighbour.close()
        exec(FRAME_RECORDS)
        answers.append(records[:4])
        print(repr(answers))
        """,
    )
    expected = (("/srv/app/handler.py", 2, "handler", True), ("/srv/app/handler.py", 1, "handler", True), True, None)
    assert result == [expected] * 4


def test_configuration_from_several_interpreters_reaches_the_library_once_looked_up(tmp_path):
    result = run_scenario(
        tmp_path,
        """
        import ctypes
        first = si.Interpreter()
        first.exec("import _twconfig; _twconfig.set_sink_url('https://sink.example/from-first')")
        first.close()
        second = si.Interpreter()
        second.exec("import _twconfig; _twconfig.set_api_key('key-from-second')")
        second.close()
        import _twconfig
        _twconfig.set_service_uuid("uuid-from-main")
        _twconfig.initialize()
        library = ctypes.CDLL(None)
        library.tw_standin_value.restype = ctypes.c_char_p
        print(repr([(library.tw_standin_calls(name), library.tw_standin_value(name))
                    for name in (b"tw_set_sink_url", b"tw_set_api_key", b"tw_set_service_uuid", b"tw_initialize")]))
        """,
        env={"LD_PRELOAD": childproc.preload_as_seen(str(childproc.standin_library()))},
    )
    assert result == [
        (1, b"https://sink.example/from-first"),
        (1, b"key-from-second"),
        (1, b"uuid-from-main"),
        (1, None),
    ]


def test_the_missing_library_is_reported_once_per_process_not_per_interpreter():
    done = childproc.run(
        """
        import subinterpreters as si
        CALL = "import _twconfig\\ntry:\\n    _twconfig.set_sink_url('x')\\nexcept RuntimeError as error:\\n    print(error, flush=True)\\n"
        for _ in range(2):
            neighbour = si.Interpreter()
            neighbour.exec(CALL)
            neighbour.close()
        exec(CALL)
        """,
        extra_paths=[HERE],
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["C library not loaded (LD_PRELOAD not active?)"] * 3
    assert done.stderr.count("[_twconfig] Symbol resolution FAILED!") == 1


@pytest.mark.skipif(not subinterpreters.HAS_ISOLATED, reason="no isolated interpreters before 3.12")
@pytest.mark.parametrize("main_imports_first", [True, False])
def test_isolated_interpreters_refuse_the_modules_and_leave_nothing_behind(tmp_path, main_imports_first):
    # On 3.12 the runtime runs the module's initialisation in the isolated interpreter and refuses
    # the module only afterwards; the main interpreter's own import must bind afresh.
    refusals, answers = run_scenario(
        tmp_path,
        f"""
        if {main_imports_first}:
            exec(PROBE)
        refusals = []
        for name in ("_twheadercheck", "_twframeinfo", "_twconfig"):
            isolated = si.Interpreter(isolated=True)
            try:
                isolated.exec("import " + name)
                refusals.append("imported")
            except si.RunFailed as failure:
                refusals.append((failure.type_name, failure.message))
            isolated.close()
        exec(PROBE)
        _twheadercheck.init_header_check(["a.example"])
        print(repr((refusals, probe(calls=1000))))
        """,
    )
    assert refusals == [
        ("ImportError", f"module {name} does not support loading in subinterpreters")
        for name in ("_twheadercheck", "_twframeinfo", "_twconfig")
    ]
    assert answers == [(False, "own", "own")]

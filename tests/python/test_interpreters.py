"""Several interpreters in one process: every interpreter is its own agent's.

Every scenario runs in a child process of its own. Each interpreter's agent names its interpreter
in the trace ids it makes, each interpreter sets an override naming itself and loads a skip list
of its own (a shared host and one named after itself), so an answer can be told apart as the
caller's own, None, or another's, and a decision as following the caller's list or another's.
"""

import ast
import os
import re
import subprocess
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
# interpreter's trace id or override, None, or the foreign value itself). decide() probes the
# shared host and every named interpreter's own host.
PROBE = '''
import contextvars
import _twheadercheck
from tw_vantrel import thread_local
ME = thread_local.INTERPRETER
def _whose(value, own_prefix):
    return None if value is None else "own" if str(value).startswith(own_prefix) else value
def load(*more):
    _twheadercheck.init_header_check(["shared.example", f"{ME}.example", *more])
def probe(calls=1, url="https://a.example/"):
    def ask():
        thread_local.funcspan_override_ctx.set(f"override-{ME}")
        return _twheadercheck.should_inject_headers(url)
    kinds = set()
    for _ in range(calls):
        inject, trace_id, override = contextvars.Context().run(ask)
        kinds.add((inject, _whose(trace_id, f"trace-{ME}-"), _whose(override, f"override-{ME}")))
    return sorted(kinds, key=repr)
def decide(tokens, calls=1):
    return {host: probe(calls, f"https://{host}.example/") for host in ["shared", *tokens]}
'''

SCENARIO_PRELUDE = f"""
import sys
import subinterpreters as si
PROBE = {PROBE!r}
def interpreter(isolated=False, load=True):
    created = si.Interpreter(isolated=isolated)
    created.exec(PROBE)
    if load:
        created.exec("load()")
    return created
"""

BOUND = [(True, "own", "own")]
UNBOUND = [(True, None, None)]
EMULATED = bool(os.environ.get("TW_EMULATOR"))


def own_decisions(me, tokens, loaded=True):
    """What decide(tokens) must answer in interpreter me: its own ids always, its own list."""
    return {host: [(not (loaded and host in ("shared", me)), "own", "own")] for host in ["shared", *tokens]}


def run_scenario(tmp_path, code, **kwargs):
    agent = childproc.write_agent(tmp_path, NAMING_AGENT)
    return childproc.run_for_value(
        SCENARIO_PRELUDE + textwrap.dedent(code),
        extra_paths=[agent, HERE],
        with_standin_agent=False,
        **kwargs,
    )


def test_main_and_three_neighbours_side_by_side_each_answer_by_their_own_agent_and_list(tmp_path):
    tokens, rounds, after = run_scenario(
        tmp_path,
        """
        exec(PROBE)
        load()
        neighbours = [interpreter() for _ in range(3)]
        tokens = [ME] + [n.eval("ME") for n in neighbours]
        rounds = []
        for _ in range(3):
            rounds.append([decide(tokens, 20)] + [n.eval(f"decide({tokens!r}, 20)") for n in neighbours])
        for n in neighbours:
            n.close()
        print(repr((tokens, rounds, decide(tokens, 2000))))
        """,
    )
    assert len(set(tokens)) == 4
    for answers in rounds:
        assert answers == [own_decisions(me, tokens) for me in tokens]
    assert after == own_decisions(tokens[0], tokens)


def test_a_sub_interpreter_importing_first_then_going_away_leaves_main_and_the_next_their_own(tmp_path):
    before, after = run_scenario(
        tmp_path,
        """
        first = interpreter()  # the first import of the module in this process
        exec(PROBE)
        load()
        tokens = [first.eval("ME"), ME]
        before = (tokens, first.eval(f"decide({tokens!r}, 20)"), decide(tokens, 20))
        first.close()
        third = interpreter()
        tokens = [ME, third.eval("ME")]
        after = (tokens, third.eval(f"decide({tokens!r}, 500)"), decide(tokens, 2000))
        third.close()
        print(repr((before, after)))
        """,
    )
    # before: the first importer and main; after: main and a later importer.
    (tokens, first, main_before), (later_tokens, later, main_after) = before, after
    assert (first, main_before) == (own_decisions(tokens[0], tokens), own_decisions(tokens[1], tokens))
    assert (later, main_after) == (own_decisions(later_tokens[1], later_tokens),
                                   own_decisions(later_tokens[0], later_tokens))


def test_one_interpreter_reloading_and_cleaning_up_leaves_the_others_as_they_were(tmp_path):
    result = run_scenario(
        tmp_path,
        """
        exec(PROBE)
        load()
        neighbour, other = interpreter(), interpreter()
        tokens = [ME, neighbour.eval("ME"), other.eval("ME")]
        held = sys.getrefcount(thread_local.get_or_set_tw_trace_id)
        neighbour.exec("_twheadercheck.init_header_check(['a.example'])")
        after_init = (decide(tokens), other.eval(f"decide({tokens!r})"),
                      neighbour.eval("probe(url='https://a.example/') + probe(url='https://shared.example/')"))
        neighbour.exec("_twheadercheck.cleanup()")
        after_cleanup = (decide(tokens), other.eval(f"decide({tokens!r})"),
                         neighbour.eval("probe(url='https://a.example/')"))
        kept = sys.getrefcount(thread_local.get_or_set_tw_trace_id) - held
        _twheadercheck.cleanup()
        released = held - sys.getrefcount(thread_local.get_or_set_tw_trace_id)
        mine_last = probe(url="https://shared.example/")
        other_last = other.eval(f"decide({tokens!r})")
        neighbour.close()
        other.close()
        print(repr((tokens, after_init, after_cleanup, kept, released, mine_last, other_last)))
        """,
    )
    tokens, after_init, after_cleanup, kept, released, mine_last, other_last = result
    mine, others = own_decisions(tokens[0], tokens), own_decisions(tokens[2], tokens)
    assert after_init == (mine, others, [(False, "own", "own"), (True, "own", "own")])
    assert after_cleanup == (mine, others, UNBOUND)
    # The neighbour's cleanup released its own agent's objects, not one of main's.
    assert (kept, released) == (0, 1)
    assert (mine_last, other_last) == (UNBOUND, others)


def test_each_interpreter_keeps_its_own_propagation_targets(tmp_path):
    result = run_scenario(
        tmp_path,
        f"""
        exec(PROBE)
        load()
        neighbours = [interpreter(isolated={subinterpreters.HAS_ISOLATED}), interpreter()]
        tokens = [ME] + [n.eval("ME") for n in neighbours]
        # Main sends headers only to the second neighbour's host, the first neighbour nowhere,
        # the second loads none: for it, every host not skipped is a target.
        _twheadercheck.init_propagation_targets([f"{{tokens[2]}}.example"])
        neighbours[0].exec("_twheadercheck.init_propagation_targets([])")
        answers = [decide(tokens)] + [n.eval(f"decide({{tokens!r}})") for n in neighbours]
        neighbours[0].exec("_twheadercheck.cleanup()")
        after_cleanup = [decide(tokens)] + [n.eval(f"decide({{tokens!r}})") for n in neighbours]
        for n in neighbours:
            n.close()
        print(repr((tokens, answers, after_cleanup)))
        """,
    )
    tokens, answers, after_cleanup = result
    assert answers[0] == {host: [(host == tokens[2], "own", "own")] for host in ["shared", *tokens]}
    assert answers[1] == {host: [(False, "own", "own")] for host in ["shared", *tokens]}
    assert answers[2] == own_decisions(tokens[2], tokens)
    assert after_cleanup == [answers[0], {host: UNBOUND for host in ["shared", *tokens]}, answers[2]]


# Under emulation every interpreter takes seconds to make: fewer show the same there.
NEIGHBOURS = 8 if EMULATED else 24


def test_two_dozen_neighbours_come_and_go_then_main_answers_thousands_of_calls_as_its_own(tmp_path):
    result = run_scenario(
        tmp_path,
        f"""
        import gc
        exec(PROBE)
        load()
        theirs = []
        for _ in range({NEIGHBOURS}):
            neighbour = interpreter()
            neighbour.exec("load('a.example')")
            theirs.append(neighbour.eval("probe(calls=20, url='https://a.example/')"))
            neighbour.close()
        gc.collect()
        print(repr((theirs, ME, decide([ME], 2000), probe(calls=2000))))
        """,
    )
    theirs, me, decisions, elsewhere = result
    assert theirs == [[(False, "own", "own")]] * NEIGHBOURS
    assert (decisions, elsewhere) == (own_decisions(me, [me]), BOUND)


def test_threads_of_several_interpreters_ask_at_once(tmp_path):
    # The lock passes between interpreters in the middle of calls: the main interpreter's threads
    # ask while each neighbour's own threads do. (A neighbour is run from the main thread: 3.12
    # hangs destroying one whose code ran in another thread, with or without these modules.)
    result = run_scenario(
        tmp_path,
        """
        import threading
        exec(PROBE)
        load()
        sys.setswitchinterval(1e-5)
        neighbours = [interpreter() for _ in range(2)]
        tokens = [ME] + [n.eval("ME") for n in neighbours]
        ASK = "import threading\\n" + \\
              f"threads = [threading.Thread(target=decide, args=({tokens!r}, 1000)) for _ in range(2)]\\n" + \\
              "[t.start() for t in threads]; [t.join() for t in threads]\\n" + \\
              f"answers = decide({tokens!r}, 100)\\n"
        mine = []
        askers = [threading.Thread(target=lambda: mine.append(decide(tokens, 2000))) for _ in range(2)]
        for asker in askers:
            asker.start()
        for neighbour in neighbours:
            neighbour.exec(ASK)
        for asker in askers:
            asker.join()
        theirs = [n.eval("answers") for n in neighbours]
        for n in neighbours:
            n.close()
        print(repr((tokens, mine, theirs)))
        """,
        timeout=300,
    )
    tokens, mine, theirs = result
    assert mine == [own_decisions(tokens[0], tokens)] * 2
    assert theirs == [own_decisions(me, tokens) for me in tokens[1:]]


def test_a_fresh_import_after_the_module_is_dropped_binds_afresh_with_no_table(tmp_path):
    # importlib.reload leaves the module as it is; a module dropped from sys.modules is made anew.
    result = run_scenario(
        tmp_path,
        """
        import importlib
        exec(PROBE)
        load()
        first = _twheadercheck
        reloaded = importlib.reload(_twheadercheck)
        after_reload = (reloaded is first, probe(url="https://shared.example/"))
        del sys.modules["_twheadercheck"]
        import _twheadercheck as fresh
        _twheadercheck = fresh
        after_fresh = (fresh is first, probe(url="https://shared.example/"))
        _twheadercheck = first
        old_one = probe(url="https://shared.example/")
        print(repr((after_reload, after_fresh, old_one)))
        """,
    )
    assert result == ((True, [(False, "own", "own")]), (False, BOUND), [(False, "own", "own")])


FRAME_RECORDS = """
import sys, _twframeinfo
namespace = {"sys": sys}
exec(compile("def handler():\\n    return sys._getframe()\\n", "/srv/app/handler.py", "exec"), namespace)
handler = namespace["handler"]
records = (_twframeinfo.get_frame_info(handler()), _twframeinfo.get_code_info(handler),
           _twframeinfo.is_user_code_func(handler), _twframeinfo.get_code_info(len),
           _twframeinfo.get_call_site(handler()), _twframeinfo.get_frame_info(sys._getframe()))
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
            answers.append(neighbour.eval("records[:5]"))
            neighbour.close()
        exec(FRAME_RECORDS)
        answers.append(records[:5])
        print(repr(answers))
        """,
    )
    expected = (("/srv/app/handler.py", 2, "handler", True), ("/srv/app/handler.py", 1, "handler", True), True, None,
                ("/srv/app/handler.py", 2, "handler", True))
    assert result == [expected] * 4


# Run in each interpreter: whether a function installed under each owner's folder is user code.
USER_CODE_RULES = """
import _twframeinfo
def verdicts():
    found = []
    for owner in ("main", "neighbour", "isolated"):
        namespace = {}
        exec(compile("def f():\\n    pass\\n", f"/venv/site-packages/{owner}/x.py", "exec"), namespace)
        found.append(_twframeinfo.is_user_code_func(namespace["f"]))
    return found
"""


def test_every_interpreter_keeps_its_own_user_code_rules(tmp_path):
    result = run_scenario(
        tmp_path,
        f"""
        RULES = {USER_CODE_RULES!r}
        exec(RULES)
        _twframeinfo.init_user_code(["/venv/site-packages/main"], [])
        neighbours = [si.Interpreter(), si.Interpreter(isolated={subinterpreters.HAS_ISOLATED})]
        for neighbour, owner in zip(neighbours, ("neighbour", "isolated")):
            neighbour.exec(RULES + f"_twframeinfo.init_user_code(['/venv/site-packages/{{owner}}'], [])")
        found = [verdicts()] + [neighbour.eval("verdicts()") for neighbour in neighbours]
        for neighbour in neighbours:
            neighbour.close()
        found.append(verdicts())
        print(repr(found))
        """,
    )
    assert result == [[True, False, False], [False, True, False], [False, False, True], [True, False, False]]


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
def test_isolated_interpreters_import_every_module_and_answer_by_their_own_agent(tmp_path, main_imports_first):
    result = run_scenario(
        tmp_path,
        f"""
        FRAME_RECORDS = {FRAME_RECORDS!r}
        if {main_imports_first}:
            exec(PROBE)
            load()
        isolated = interpreter(isolated=True)
        isolated.exec(FRAME_RECORDS)
        isolated.exec("import _twconfig")
        if not {main_imports_first}:
            exec(PROBE)
            load()
        tokens = [ME, isolated.eval("ME")]
        theirs = (isolated.eval(f"decide({{tokens!r}}, 100)"), isolated.eval("records[:5]"))
        isolated.close()
        print(repr((tokens, theirs, decide(tokens, 1000))))
        """,
    )
    tokens, (decisions, records), mine = result
    assert decisions == own_decisions(tokens[1], tokens)
    assert records == (("/srv/app/handler.py", 2, "handler", True), ("/srv/app/handler.py", 1, "handler", True), True, None,
                       ("/srv/app/handler.py", 2, "handler", True))
    assert mine == own_decisions(tokens[0], tokens)


PARALLEL_CALLS = 200 if EMULATED else 4000
# How long the parties of a rendezvous may take to arrive before it is called off: a deadline
# for a hung or serialised run, far beyond what any machine, however busy, needs to get there.
MEETING_SECONDS = 300 if EMULATED else 120

# Run in each isolated interpreter: its calls, in the middle of which it meets the others. The
# meeting is inside a call: the module is running the agent's callable, which waits there.
MEET_HALF_WAY = """
import subinterpreters
rendezvous = subinterpreters.Rendezvous(*OPENING)
calls, met = 0, None
def meet_half_way():
    global calls, met
    calls += 1
    if calls == (1 + len(TOKENS)) * CALLS // 2:
        met = rendezvous.meet(PARTY)
thread_local.inside_module_call = meet_half_way
answers = decide(TOKENS, CALLS)
thread_local.inside_module_call = None
rendezvous.close()
"""


@pytest.mark.skipif(not subinterpreters.HAS_ISOLATED, reason="no isolated interpreters before 3.12")
def test_four_isolated_interpreters_in_parallel_each_answer_by_their_own_agent(tmp_path):
    # Each waits in its call, holding its own lock, until all four are in theirs: interpreters
    # that shared a lock could not meet (the next test). The main interpreter asks all along.
    result = run_scenario(
        tmp_path,
        f"""
        import threading
        MEET_HALF_WAY = {MEET_HALF_WAY!r}
        exec(PROBE)
        load()
        isolated = [interpreter(isolated=True) for _ in range(4)]
        tokens = [ME] + [i.eval("ME") for i in isolated]
        rendezvous = si.Rendezvous.create(len(isolated), {MEETING_SECONDS})
        def ask(party):
            names = (rendezvous.opening_arguments(), party, tokens, {PARALLEL_CALLS})
            return f"OPENING, PARTY, TOKENS, CALLS = {{names!r}}\\n" + MEET_HALF_WAY
        threads = [threading.Thread(target=i.exec, args=(ask(party),)) for party, i in enumerate(isolated)]
        for thread in threads:
            thread.start()
        mine = []
        while any(thread.is_alive() for thread in threads) or not mine:
            mine.append(decide(tokens, 10))
        for thread in threads:
            thread.join()
        rendezvous.close(remove=True)
        theirs = [i.eval("answers") for i in isolated]
        met = [i.eval("met") for i in isolated]
        for i in isolated:
            i.close()
        print(repr((tokens, theirs, mine, met)))
        """,
        timeout=600,
    )
    tokens, theirs, mine, met = result
    print(f"parallel: 4 x {6 * PARALLEL_CALLS} calls and {10 * 6 * len(mine)} in main; "
          f"the isolated interpreters saw {met} of 4 arrive")
    assert met == [4] * 4, f"the isolated interpreters did not all meet within {MEETING_SECONDS} s: {met}"
    assert theirs == [own_decisions(me, tokens) for me in tokens[1:]]
    assert all(answers == own_decisions(tokens[0], tokens) for answers in mine)


# An application in a file named after PARTY whose site() finds its call site through twelve
# library frames.
CALL_SITES = """
import _twframeinfo
library = {"get_call_site": _twframeinfo.get_call_site}
exec(compile("def through(n):\\n    return get_call_site() if n == 0 else through(n - 1)\\n",
             "/srv/venv/lib/python3/site-packages/lib.py", "exec"), library)
application = {"through": library["through"]}
exec(compile("def site():\\n    return through(12)\\n", f"/srv/app-{PARTY}.py", "exec"), application)
site = application["site"]
"""
# Run in each isolated interpreter: half of its walks before the interpreters meet, half after.
WALK_HALF_WAY = CALL_SITES + """
import subinterpreters
rendezvous = subinterpreters.Rendezvous(*OPENING)
sites = {site() for _ in range(CALLS // 2)}
met = rendezvous.meet(PARTY)
sites |= {site() for _ in range(CALLS // 2)}
rendezvous.close()
"""


@pytest.mark.skipif(not subinterpreters.HAS_ISOLATED, reason="no isolated interpreters before 3.12")
def test_isolated_interpreters_walking_in_parallel_each_find_their_own_call_sites(tmp_path):
    result = run_scenario(
        tmp_path,
        f"""
        import threading
        WALK_HALF_WAY = {WALK_HALF_WAY!r}
        PARTY = "main"
        exec({CALL_SITES!r})
        isolated = [si.Interpreter(isolated=True) for _ in range(4)]
        rendezvous = si.Rendezvous.create(len(isolated), {MEETING_SECONDS})
        threads = [threading.Thread(target=i.exec, args=(
            f"OPENING, PARTY, CALLS = {{(rendezvous.opening_arguments(), party, {PARALLEL_CALLS})!r}}\\n" + WALK_HALF_WAY,))
            for party, i in enumerate(isolated)]
        for thread in threads:
            thread.start()
        mine = set()
        while any(thread.is_alive() for thread in threads) or not mine:
            mine.add(site())
        for thread in threads:
            thread.join()
        rendezvous.close(remove=True)
        theirs = [(i.eval("met"), sorted(i.eval("sites"))) for i in isolated]
        for i in isolated:
            i.close()
        print(repr((theirs, sorted(mine))))
        """,
        timeout=600,
    )
    theirs, mine = result
    assert theirs == [(4, [(f"/srv/app-{party}.py", 2, "site", True)]) for party in range(4)]
    assert mine == [("/srv/app-main.py", 2, "site", True)]


def test_threads_sharing_one_lock_cannot_meet_inside_their_calls(tmp_path):
    # The same rendezvous between four threads of one interpreter, all of them asking: the first
    # to arrive keeps the lock, so the others can't all arrive before the deadline. Were it
    # otherwise, meeting would prove nothing of the isolated interpreters' locks. Any deadline
    # gives this outcome: a short one only ends it sooner.
    met = run_scenario(
        tmp_path,
        """
        import threading
        exec(PROBE)
        load()
        rendezvous = si.Rendezvous.create(4, 3)
        met = [None] * 4
        all_started = threading.Barrier(4)
        here = threading.local()
        def meet_on_the_tenth_call():
            here.calls += 1
            if here.calls == 10:
                met[here.party] = rendezvous.meet(here.party)
        def run(party):
            here.party, here.calls = party, 0
            all_started.wait()
            decide([ME], 10)
        thread_local.inside_module_call = meet_on_the_tenth_call
        threads = [threading.Thread(target=run, args=(party,)) for party in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        rendezvous.close(remove=True)
        print(repr(met))
        """,
    )
    assert None not in met and min(met) < 4, met


RACE = """
import ctypes, threading
import subinterpreters as si
CALLS = ["_twconfig.set_sink_url('sink-from-0')", "_twconfig.set_api_key('key-from-1')",
         "_twconfig.set_service_uuid('uuid-from-2')", "_twconfig.initialize()"]
isolated = [si.Interpreter(isolated=True) for _ in CALLS]
# All at once, however the threads are scheduled: each calls when it has seen the others ready.
rendezvous = si.Rendezvous.create(len(CALLS), MEETING_SECONDS)
for i in isolated:
    i.exec(f"import subinterpreters, _twconfig\\nrendezvous = subinterpreters.Rendezvous(*{rendezvous.opening_arguments()!r})")
threads = [threading.Thread(target=i.exec, args=(
    f"met = rendezvous.meet({party})\\n"
    f"try:\\n    {call}\\n    outcome = 'called'\\nexcept RuntimeError as error:\\n    outcome = str(error)\\n",))
    for party, (i, call) in enumerate(zip(isolated, CALLS))]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
rendezvous.close(remove=True)
outcomes = [(i.eval("met"), i.eval("outcome")) for i in isolated]
for i in isolated:
    i.close()
received = None
if LIBRARY:
    library = ctypes.CDLL(None)
    library.tw_standin_value.restype = ctypes.c_char_p
    received = [(library.tw_standin_calls(name), library.tw_standin_value(name))
                for name in (b"tw_set_sink_url", b"tw_set_api_key", b"tw_set_service_uuid", b"tw_initialize")]
print(repr((outcomes, received)))
"""


@pytest.mark.skipif(not subinterpreters.HAS_ISOLATED, reason="no isolated interpreters before 3.12")
@pytest.mark.parametrize("library", [True, False], ids=["library", "no library"])
@pytest.mark.parametrize("attempt", range(1 if EMULATED else 3))
def test_isolated_interpreters_making_the_first_configuration_call_at_once_share_one_lookup(library, attempt):
    env = {"LD_PRELOAD": childproc.preload_as_seen(str(childproc.standin_library()))} if library else {}
    done = childproc.run(f"LIBRARY = {library}\nMEETING_SECONDS = {MEETING_SECONDS}\n" + RACE,
                         extra_paths=[HERE], env=env, timeout=600)
    assert done.returncode == 0, done.stderr
    outcomes, received = eval(done.stdout.strip().splitlines()[-1])
    met = [met for met, _ in outcomes]
    assert met == [4] * 4, f"the isolated interpreters did not all meet within {MEETING_SECONDS} s: {met}"
    outcomes = [outcome for _, outcome in outcomes]
    if library:
        assert outcomes == ["called"] * 4
        assert received == [(1, b"sink-from-0"), (1, b"key-from-1"), (1, b"uuid-from-2"), (1, None)]
        assert "Symbol resolution FAILED" not in done.stderr
    else:
        assert outcomes == ["C library not loaded (LD_PRELOAD not active?)"] * 4
        assert done.stderr.count("[_twconfig] Symbol resolution FAILED!") == 1


# The churn: interpreters made and destroyed one after another, each binding an agent and loading
# a large table of its own. Memory must stay flat once the runtime's own caches have settled.
# The whole thousand in the main suite; the other interpreters' suites, the instrumented one and the
# emulated one make fewer, which still shows any memory kept per interpreter many times over.
CHURN = int(os.environ.get("TW_CHURN", "10" if EMULATED else "100" if childproc.SANITIZED else "200"))
CHURN_TABLE = 10_000


CHURN_SCENARIO = """
import gc, os
def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
settled = None
for number in range(CHURN):
    neighbour = si.Interpreter()
    neighbour.exec(WORK)
    neighbour.close()
    if number == SETTLE - 1:
        gc.collect()
        settled = rss()
gc.collect()
print(repr(rss() - settled))
"""
# Each interpreter binds its agent, loads a large table and checks its answers.
CHURN_WORK = PROBE + f"""
load(*[f'h{{i}}.example' for i in range({CHURN_TABLE})])
assert decide([ME], 5) == {{'shared': [(False, 'own', 'own')], ME: [(False, 'own', 'own')]}}
assert probe(5, 'https://h9999.example/') == [(False, 'own', 'own')]
assert probe(5, 'https://h10000.example/') == [(True, 'own', 'own')]
"""
# The same interpreters doing the same Python work without the module.
CHURN_CONTROL = f"""
from tw_vantrel import thread_local
hosts = ["shared.example", f"{{thread_local.INTERPRETER}}.example", *[f'h{{i}}.example' for i in range({CHURN_TABLE})]]
"""


def churn_growth(tmp_path, work):
    settle = min(50, CHURN // 2)
    return run_scenario(tmp_path, f"CHURN = {CHURN}\nSETTLE = {settle}\nWORK = {work!r}\n" + CHURN_SCENARIO,
                        timeout=900)


def test_a_thousand_interpreters_come_and_go_and_memory_stays_flat(tmp_path):
    growth = churn_growth(tmp_path, CHURN_WORK)
    print(f"churn: {CHURN} interpreters, RSS after the first 50 grew by {growth} bytes")
    # The instrumented allocator keeps freed memory in quarantine; the emulator grows its own.
    if EMULATED or childproc.SANITIZED or growth < 2 * 1024 * 1024:
        return
    # Some runtimes keep memory of every interpreter they destroy (3.12.1 and 3.13.0 about 170 KB
    # each, with nothing but the standard library imported): only what comes on top is ours.
    control = churn_growth(tmp_path, CHURN_CONTROL)
    print(f"churn without the module: RSS grew by {control} bytes")
    assert growth - control < 2 * 1024 * 1024, (growth, control)


# An embedding application starts the runtime several times in one process: each lifetime is a
# new main interpreter, which imports and binds the modules afresh. The library stays loaded, and
# with it the configuration module's one lookup and one report.
LIFETIMES = 4
LIFETIME = """
import contextvars, _twheadercheck, _twconfig
from tw_vantrel import thread_local
def ask():
    thread_local.funcspan_override_ctx.set("override-" + thread_local.INTERPRETER)
    inject, trace_id, override = _twheadercheck.should_inject_headers("https://old.example/")
    return (inject, trace_id.startswith("trace-" + thread_local.INTERPRETER + "-"),
            override == "override-" + thread_local.INTERPRETER)
before = contextvars.Context().run(ask)
_twheadercheck.init_header_check(["old.example"])
after = contextvars.Context().run(ask)
try:
    _twconfig.initialize()
    configured = "initialized"
except RuntimeError as error:
    configured = str(error)
print(repr((thread_local.INTERPRETER, before, after, configured)))
"""


def runtime_library():
    """The interpreter's shared runtime library and the loader it needs, or None without one."""
    import sysconfig

    # An unpacked interpreter keeps the library folder it was built with: look where it lives first.
    libdir = sysconfig.get_config_var("LIBDIR") or ""
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    folders = [Path(sys.base_prefix) / "lib" / multiarch, Path(sys.base_prefix) / "lib", Path(libdir)]
    name = sysconfig.get_config_var("INSTSONAME") or ""
    for folder in folders:
        if ".so" in name and (folder / name).is_file():
            headers = subprocess.run(["readelf", "-l", sys.executable], capture_output=True, text=True).stdout
            loader = re.search(r"program interpreter: (\S+)\]", headers)
            return folder / name, folder, loader.group(1) if loader else None
    return None


@pytest.mark.skipif(EMULATED, reason="the embedder is built for the emulated machine")
def test_an_embedder_restarting_the_runtime_binds_each_lifetime_afresh(tmp_path):
    found = runtime_library()
    if found is None:
        pytest.skip("this interpreter has no shared runtime library")
    library, libdir, loader = found
    embedder = Path(os.environ.get("TW_BINARY_DIR") or childproc.ROOT / "build") / "standins" / "tw_embedder"
    command = [str(embedder), str(library), str(LIFETIMES), LIFETIME]
    if loader:
        # The interpreter runs under a loader of its own (an unpacked newer glibc): so must we.
        command = [loader, "--library-path", str(libdir), *command]
    agent = childproc.write_agent(tmp_path, NAMING_AGENT)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    # The runtime starts from its home, outside any venv: the modules are shown where they are.
    import importlib.util

    modules = Path(importlib.util.find_spec("_twheadercheck").origin).parent
    env.update(PYTHONHOME=sys.base_prefix, PYTHONPATH=os.pathsep.join([str(agent), str(modules)]))
    if childproc.SANITIZED:
        env["LD_PRELOAD"] = childproc.preload_as_seen(None)
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lifetimes = [ast.literal_eval(line) for line in done.stdout.splitlines()]
    assert len({token for token, *_ in lifetimes}) == LIFETIMES
    # No table survives into the next lifetime; each binds its own agent.
    assert [answers for _, *answers in lifetimes] == [
        [(True, True, True), (False, True, True), "C library not loaded (LD_PRELOAD not active?)"]
    ] * LIFETIMES
    assert done.stderr.count("[_twconfig] Symbol resolution FAILED!") == 1

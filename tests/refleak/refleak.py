"""Reference-leak check, run with a debug interpreter (sys.gettotalrefcount).

Every method of the three modules runs on its success and error paths, many times, in a child
interpreter per scenario (the modules' state is process-wide). After a warm-up, the total
reference count and the number of allocated blocks must not grow from one round to the next.
"""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
ROUNDS = 16
WARMUP_ROUNDS = 2

# The agent the header check binds to: every answer of get_or_set_tw_trace_id can be chosen.
PROGRAMMABLE_AGENT = """
import contextvars
trace_id_ctx = object()
funcspan_override_ctx = contextvars.ContextVar("override", default="unused default")
answers = [(False, "trace"), ["x", "y"], ("one",), (1, 2, 3), None, RuntimeError, (0, object())]
position = 0
interrupt = None
def get_or_set_tw_trace_id():
    global position
    if interrupt is not None:
        raise interrupt()
    answer = answers[position % len(answers)]
    position = (position + 1) % len(answers)
    if answer is RuntimeError:
        # A new exception each time: raising one instance again would grow its traceback.
        raise RuntimeError("agent")
    return answer
"""

MEASURE = """
import gc, json, sys
def absorb(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError, UnicodeEncodeError, RuntimeError, MemoryError):
        pass
def interrupted(interrupt, call, *args):
    # KeyboardInterrupt and SystemExit leave our methods as raised: the paths that let them.
    try:
        call(*args)
    except interrupt:
        pass
    else:
        raise AssertionError(f"{interrupt.__name__} was absorbed")
def under_memory_pressure(call, *args, before=None, after_failure=None):
    # Fails the n-th allocation for every n that the call makes: each failure path in turn.
    import _testcapi
    for start in range(12):
        if before is not None:
            before()
        _testcapi.set_nomemory(start, start + 1)
        try:
            call(*args)
        except MemoryError:
            if after_failure is not None:
                after_failure()
        finally:
            _testcapi.remove_mem_hooks()
def rounds(exercise, iterations):
    deltas = []
    for _ in range(ROUNDS):
        gc.collect()
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(iterations):
            exercise()
        gc.collect()
        deltas.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
    return deltas
def measure(exercise, iterations):
    # What the bookkeeping itself leaves per round (the tuple it records) is measured with an
    # exercise that does nothing, and taken off.
    control = rounds(lambda: None, iterations)
    return [(r - cr, b - cb) for (r, b), (cr, cb) in zip(rounds(exercise, iterations), control)]
"""

SCENARIOS = {
    "headercheck_bound": ("agent", None, """
import codecs, contextvars, encodings, encodings.idna
import _twheadercheck as hc
from tw_vantrel import thread_local
class IdnaStandIn:
    # The standard library's "idna" codec, which raises what it is told to instead, found before it.
    failure = None
    def encode(self, text, errors="strict"):
        if IdnaStandIn.failure is not None:
            raise IdnaStandIn.failure()
        return encodings.idna.Codec().encode(text, errors)
IDNA = codecs.CodecInfo(IdnaStandIn().encode, encodings.idna.Codec().decode, name="idna")
codecs.unregister(encodings.search_function)
codecs.register(lambda name: IDNA if name == "idna" else None)
codecs.register(encodings.search_function)
def with_failing_codec(error, check, *args):
    IdnaStandIn.failure = error
    try:
        check(*args)
    finally:
        IdnaStandIn.failure = None
class Hosts(list): pass
class Text(str): pass
def exercise():
    hc.init_header_check(Hosts(["a.example", "WWW.B.example", Text("c\\0x"), "", "BÜCHER.example", "%FF.x", "::1",
                                "0x7f.1", "a%2Eb."] + [f"h{i}" for i in range(40)]))
    for url in ("https://www.A.example:1/x", "https://user:pw@b.example/", "http://[::1]:8/", "", "x" * 3000,
                "http://bücher.example/", "http://b%C3%BCcher.example./", "http://\\u212aelvin.x/", "http://127.1/",
                "http://[0::1]/", "http://a\\tb\\\\@c/", "http://" + "é" * 3000 + "/"):
        hc.should_inject_headers(url)
    # Entries with a second form, and URLs that clients read differently.
    hc.init_header_check(["faß.example", ".ap\\u00adi.example", "a.example", "ＡＰＩ.x", "\\u00ad"])
    for url in ("http://evil.example\\\\@api.example.com/p", "http://api.example.com%5Cp", "http://fa%C3%9F.example/",
                "http://ap\\u00adi.example.com/", "http://12\\u00ad7.0.0.1/", "https://\\\\@x/", "http://a%5C@b\\\\@c/",
                "http://" + "\\u00ad" * 300 + "/", "http://a..\\u00ad/"):
        hc.should_inject_headers(url)
    hc.init_header_check([".example.com", "*.b.example", "*", "x.example"])
    hc.init_propagation_targets(Hosts([".a.example", "*.BÜCHER.example", "h1", "*"]))
    for url in ("https://www.A.example:1/x", "https://c.b.example/", "http://x.bücher.example/", "/p",
                "http://h1\\\\@x.a.example/", "http://h1%5C@x.a.example/", "http://faß.a.example/"):
        hc.should_inject_headers(url)
    hc.init_propagation_targets([])
    hc.should_inject_headers("https://a.example/")
    absorb(hc.init_propagation_targets, ("a",))
    absorb(hc.init_propagation_targets, ["a", 1])
    absorb(hc.init_propagation_targets, ["a", "\\ud800"])
    contextvars.copy_context().run(lambda: (thread_local.funcspan_override_ctx.set(0), hc.should_inject_headers("https://a/")))
    absorb(hc.should_inject_headers)
    absorb(hc.should_inject_headers, 1)
    absorb(hc.should_inject_headers, "a\\0b")
    absorb(hc.should_inject_headers, "\\ud800")
    absorb(hc.should_inject_headers, "a", "b")
    absorb(hc.should_inject_headers, url="a")
    absorb(hc.init_header_check, ("a",))
    absorb(hc.init_header_check, ["a", 1])
    absorb(hc.init_header_check, ["a", "\\ud800"])
    absorb(hc.init_header_check)
def load_earlier_table():
    hc.init_header_check(["e.example", ".f.example"])
def earlier_table_in_force():
    # A load that failed leaves the table before it deciding, both kinds of entry.
    if hc.should_inject_headers("https://e.example/")[0] or hc.should_inject_headers("https://x.f.example/")[0]:
        raise AssertionError("a failed load dropped the table in force")
def exercise_memory_errors():
    under_memory_pressure(hc.should_inject_headers, "https://a.example/")
    under_memory_pressure(hc.should_inject_headers, "https://BÜCHER.example/")
    under_memory_pressure(hc.init_header_check, ["a", "b", "BÜCHER.example"], before=load_earlier_table,
                          after_failure=earlier_table_in_force)
    under_memory_pressure(hc.init_header_check, [".a", "*.b", "*"], before=load_earlier_table,
                          after_failure=earlier_table_in_force)
    under_memory_pressure(hc.init_propagation_targets, [".a", "*.b", "c", "BÜCHER.example"])
    under_memory_pressure(hc.should_inject_headers, "http://fa%C3%9F.example\\\\@x/",
                          before=lambda: hc.init_header_check(["fass.example"]))
    under_memory_pressure(hc.init_header_check, ["a", "faß.example"], before=load_earlier_table,
                          after_failure=earlier_table_in_force)
    # The IDNA 2003 codec is Python code, whose own failing allocations the debug interpreter does
    # not survive everywhere (an assertion in _Py_Dealloc): its MemoryError is raised by a stand-in.
    hc.init_header_check(["fass.example"])
    with_failing_codec(MemoryError, absorb, hc.should_inject_headers, "http://faß.example/")
    load_earlier_table()
    with_failing_codec(MemoryError, absorb, hc.init_header_check, ["a", "faß.example"])
    earlier_table_in_force()
def exercise_interrupts():
    hc.init_header_check(["a.example"])
    for interrupt in (KeyboardInterrupt, SystemExit):
        thread_local.interrupt = interrupt
        interrupted(interrupt, hc.should_inject_headers, "https://a.example/")
        interrupted(interrupt, contextvars.copy_context().run, hc.should_inject_headers, "https://b/")
        thread_local.interrupt = None
        with_failing_codec(interrupt, interrupted, interrupt, hc.should_inject_headers, "http://faß.example/")
        with_failing_codec(interrupt, interrupted, interrupt, hc.init_header_check, ["faß.example"])
    thread_local.interrupt = None
result = {"bound": measure(exercise, 150), "bound, allocations failing": measure(exercise_memory_errors, 50),
          "bound, agent interrupted": measure(exercise_interrupts, 150)}
hc.cleanup()
hc.cleanup()
result["after cleanup"] = measure(exercise, 150)
print(json.dumps(result))
"""),
    "headercheck_no_agent": (None, None, """
import _twheadercheck as hc
def exercise():
    hc.init_propagation_targets([".a.example"])
    hc.init_header_check(["a.example"])
    hc.should_inject_headers("https://a.example/")
    hc.should_inject_headers("https://b.example/")
    absorb(hc.init_header_check, "a")
    hc.cleanup()
print(json.dumps({"no agent": measure(exercise, 300)}))
"""),
    "frameinfo": ("standin", None, """
import sys, types
import _twframeinfo as fi
def make(filename):
    namespace = {"sys": sys}
    exec(compile("def f():\\n    return sys._getframe()\\n", filename, "exec"), namespace)
    return namespace["f"]
user, library = make("/srv/app/x.py"), make("/srv/lib/python3.14/site-packages/y.py")
user_frame, library_frame = user(), library()
oddities = [len, int, 42, None, types.SimpleNamespace(f_code=types.SimpleNamespace(co_filename="/srv/a.py", co_name="n"), f_lineno=None),
            types.SimpleNamespace(__code__=types.SimpleNamespace(co_filename=b"x", co_firstlineno=1), __name__="n"),
            types.SimpleNamespace(__code__=types.SimpleNamespace(co_filename="/srv/a.py", co_firstlineno="1"), __name__="n"),
            types.SimpleNamespace(f_code=types.SimpleNamespace(co_filename="/srv/\\ud800.py", co_name="n"), f_lineno=1)]
# Call sites: a stack of library frames over an application frame, walked as the interpreter keeps
# it, and chains of objects that only look like frames, ending, failing, or never ending.
def through(n, then):
    return then() if n == 0 else through(n - 1, then)
through.__code__ = through.__code__.replace(co_filename="/srv/lib/python3.14/site-packages/through.py")
def site(then):
    return through(3, then)
site.__code__ = site.__code__.replace(co_filename="/srv/app/site.py")
def link(filename, **attributes):
    return types.SimpleNamespace(f_code=types.SimpleNamespace(co_filename=filename, co_name="n"), f_lineno=3, **attributes)
endless = link("<library>")
endless.f_back = endless
chains = [link("<library>", f_back=link("/srv/a.py", f_back=None)), link("<library>", f_back=user_frame),
          link("<library>"), link("<library>", f_back=42), endless, None]
def exercise():
    for method in (fi.get_frame_info, fi.get_code_info, fi.is_user_code_func, fi.get_call_site):
        for argument in (user, library, user_frame, library_frame, *oddities):
            method(argument)
        method()
        method(1, 2)
        absorb(method, func=1)
    site(fi.get_call_site)
    site(lambda: fi.get_call_site(sys._getframe()))
    for chain in chains:
        fi.get_call_site(chain)
    # Under prefixes, then their errors, then the built-in rule again.
    fi.init_user_code(["/srv/lib/python3.14/site-packages", "/srv/x/"], ["/srv/app", "/srv/app/vendor/"])
    for method in (fi.get_frame_info, fi.get_code_info, fi.is_user_code_func, fi.get_call_site):
        for argument in (user, library, user_frame, library_frame, *oddities):
            method(argument)
    site(fi.get_call_site)
    absorb(fi.init_user_code, ("/srv",), [])
    absorb(fi.init_user_code, ["/srv", 1], [])
    absorb(fi.init_user_code, [], "/srv")
    absorb(fi.init_user_code, [], ["\\ud800"])
    absorb(fi.init_user_code)
    fi.init_user_code([], [])
def exclude_the_application():
    fi.init_user_code([], ["/srv/app"])
def application_still_excluded():
    if fi.is_user_code_func(user):
        raise AssertionError("a failed init_user_code dropped the rules in force")
def exercise_memory_errors():
    under_memory_pressure(fi.get_frame_info, user_frame)
    under_memory_pressure(fi.get_code_info, user)
    under_memory_pressure(site, fi.get_call_site)
    under_memory_pressure(fi.get_call_site, chains[0])
    under_memory_pressure(fi.init_user_code, ["/srv/a", "/srv/b/", "/srv/\\u00e9"], ["/srv/c"], before=exclude_the_application,
                          after_failure=application_still_excluded)
    fi.init_user_code([], [])
class Line:
    def __init__(self, error):
        self.error = error
    def __index__(self):
        raise self.error()
def raising(error):
    def read(_self):
        raise error()
    return property(read)
def carrier(**attributes):
    return type("Carrier", (), attributes)()
audit_raises = None
def hook(event, args):
    if event == "object.__getattr__" and audit_raises is not None:
        raise audit_raises()
sys.addaudithook(hook)
# Each reader in turn raises the interrupt: the property, the __index__ of the line, the hook.
interrupting = {}
for interrupt in (KeyboardInterrupt, SystemExit):
    code = types.SimpleNamespace(co_filename="/srv/a.py", co_name="n", co_firstlineno=Line(interrupt))
    interrupting[interrupt] = [
        (fi.get_frame_info, carrier(f_code=raising(interrupt))),
        (fi.get_frame_info, types.SimpleNamespace(f_code=code, f_lineno=Line(interrupt))),
        (fi.get_frame_info, carrier(f_code=code, f_lineno=raising(interrupt))),
        (fi.get_code_info, types.SimpleNamespace(__code__=code, __name__="n")),
        (fi.get_code_info, carrier(__code__=code, __name__=raising(interrupt))),
        (fi.is_user_code_func, carrier(__code__=raising(interrupt))),
        (fi.get_call_site, carrier(f_code=code, f_lineno=None, f_back=raising(interrupt))),
        (fi.get_call_site, link("<library>", f_back=carrier(f_code=raising(interrupt)))),
    ]
def exercise_interrupts():
    global audit_raises
    for interrupt, calls in interrupting.items():
        for method, argument in calls:
            interrupted(interrupt, method, argument)
        for method, argument in ((fi.get_frame_info, user_frame), (fi.get_code_info, user),
                                 (fi.is_user_code_func, user)):
            audit_raises = interrupt
            interrupted(interrupt, method, argument)
        audit_raises = None
print(json.dumps({"frameinfo": measure(exercise, 150),
                  "frameinfo, allocations failing": measure(exercise_memory_errors, 50),
                  "frameinfo, reads interrupted": measure(exercise_interrupts, 150)}))
"""),
    # Whole interpreters come and go: each binds its own agent and loads a table of its own, and
    # its module state, never cleaned up by hand, must go with it.
    "subinterpreters": ("standin", None, """
sys.path.insert(0, TESTS_PYTHON)
import subinterpreters as si
WORK = '''
import sys, contextvars, _twheadercheck as hc, _twframeinfo as fi, _twconfig as c
hc.init_header_check([f"h{i}.example" for i in range(200)])
for url in ("https://h7.example/", "https://other.example/"):
    contextvars.Context().run(hc.should_inject_headers, url)
fi.get_frame_info(sys._getframe())
fi.get_call_site()
fi.get_code_info(len)
try:
    c.set_sink_url("x")
except RuntimeError:
    pass
'''
def exercise():
    neighbour = si.Interpreter()
    neighbour.exec(WORK)
    neighbour.close()
print(json.dumps({"sub-interpreter cycle": measure(exercise, 4)}))
"""),
    "config_full": (None, "tidewren", """
import _twconfig as c
def exercise():
    c.set_sink_url("https://sink.example/graphql")
    c.set_api_key("")
    c.set_service_uuid("uuid")
    c.initialize()
    absorb(c.set_sink_url, 42)
    absorb(c.set_api_key)
    absorb(c.set_service_uuid, "a\\0")
    absorb(c.initialize, 1)
print(json.dumps({"whole library": measure(exercise, 300)}))
"""),
    "config_partial": (None, "tidewren_partial", """
import _twconfig as c
def exercise():
    c.set_sink_url("https://sink.example/graphql")
    absorb(c.initialize)
    absorb(c.set_sink_url, "\\ud800")
print(json.dumps({"partial library": measure(exercise, 300)}))
"""),
    "config_missing": (None, None, """
import _twconfig as c
def exercise():
    absorb(c.set_sink_url, "x")
    absorb(c.initialize)
print(json.dumps({"no library": measure(exercise, 300)}))
"""),
}


def run_scenario(name, module_dir, binary_dir, workdir):
    agent, library, body = SCENARIOS[name]
    paths = [str(module_dir)]
    if agent == "agent":
        package = Path(workdir) / name / "tw_vantrel"
        package.mkdir(parents=True, exist_ok=True)
        (package / "__init__.py").write_text("")
        (package / "thread_local.py").write_text(PROGRAMMABLE_AGENT)
        paths.append(str(package.parent))
    elif agent == "standin":
        paths.append(str(ROOT / "standins" / "tw-vantrel"))
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    env["PYTHONPATH"] = os.pathsep.join(paths)
    if library:
        env["LD_PRELOAD"] = str(Path(binary_dir) / "standins" / f"lib{library}.so")
    code = f"ROUNDS = {ROUNDS}\nTESTS_PYTHON = {str(ROOT / 'tests' / 'python')!r}\n" + MEASURE + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise SystemExit(f"{name} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    import tempfile

    if not hasattr(sys, "gettotalrefcount"):
        raise SystemExit("refleak.py needs a debug interpreter (python3.14d)")
    module_dir, binary_dir = Path(sys.argv[1]), Path(sys.argv[2])
    failures = []
    checked = 0
    with tempfile.TemporaryDirectory() as workdir:
        for name in SCENARIOS:
            for phase, deltas in run_scenario(name, module_dir, binary_dir, workdir).items():
                steady = deltas[WARMUP_ROUNDS:]
                refs = [d[0] for d in steady]
                blocks = [d[1] for d in steady]
                checked += 1
                print(f"{name} ({phase}): refcount deltas per round {[d[0] for d in deltas]}, "
                      f"allocated-block deltas {[d[1] for d in deltas]}")
                # A leak on any path adds at least one reference in every round, since every
                # round runs every path; an interpreter cache settling adds some now and then.
                # Flat means: some round after the warm-up leaves nothing behind at all.
                if min(refs) > 0 or min(blocks) > 0:
                    failures.append(f"{name} ({phase})")
    if failures:
        print(f"{checked - len(failures)} passed, {len(failures)} failed: {', '.join(failures)}")
        raise SystemExit(1)
    print(f"refleak: {checked} passed, 0 failed")


if __name__ == "__main__":
    main()

"""Instruction counts of many figures in one process under callgrind.

    valgrind --tool=callgrind --callgrind-out-file=DIR/counts python callgrind_loop.py JOBS.json [PEERS]
    valgrind --tool=callgrind --callgrind-out-file=DIR/counts python callgrind_loop.py @SET COUNTS.json PEERS

Each job names a call and its argument (the same subjects the timed figures measure). For each,
its answer is checked, the call is made once (caches fill), then it runs count times and 2 * count
times in the same loop, each run ending in a dump of the counts labelled with the job's key: the
difference of the two dumps over count is the instructions of one call, loop included (the same
for every function), and whatever one run costs beside its calls cancels out. A fixed hash seed
(PYTHONHASHSEED) keeps start-up and tables the same from run to run.

With @SET (headline, hops), the subjects are those figures.py times for that set, in the same
tables: COUNTS.json gives each one's count by its key (figures.subject_key), the labels of the
timed figures, which say the table sizes, and whether the peers are counted too.

Job fields: key, count, which (floor, floor_fastcall, should_inject_headers, url_disabled,
match_regex_list or hop); for the decisions: url, entries (a list, or "@NAME:SIZE" for
figures.table_of, "@skip:SIZE" for figures.skip_table), targets (the same forms, or absent),
patterns ("hosts" or "domains": how a peer is given the entries), bound (the agent's callable
bound, a C function), expect (the peer's answer, or the decision); for a hop: walker and depth.
"""

import contextvars
import itertools
import json
import re
import sys
import types

import _twfloor
import figures
import hops

SUBJECT_SET = sys.argv[1][1:] if sys.argv[1].startswith("@") else None
PEERS_FOLDER = sys.argv[-1] if len(sys.argv) > (3 if SUBJECT_SET else 2) else None


def expand(table):
    if isinstance(table, str):
        name, size = table[1:].split(":")
        return figures.skip_table(int(size)) if name == "skip" else figures.table_of(name, int(size))
    return table


def header_check(bound):
    """A module of its own for each binding: an import binds the agent it finds."""
    sys.modules.pop("_twheadercheck", None)
    if bound:
        agent = types.ModuleType("tw_vantrel.thread_local")
        agent.trace_id_ctx = contextvars.ContextVar("trace")
        agent.funcspan_override_ctx = contextvars.ContextVar("override")
        agent.get_or_set_tw_trace_id = itertools.repeat((False, "trace-id")).__next__
        sys.modules["tw_vantrel"] = types.ModuleType("tw_vantrel")
        sys.modules["tw_vantrel.thread_local"] = agent
    else:
        sys.modules.pop("tw_vantrel.thread_local", None)
    import _twheadercheck

    if not bound:
        _twheadercheck.cleanup()
    return _twheadercheck


def peer_patterns(kind, entries):
    if kind == "domains":
        return figures.peer_domain_patterns(entries)
    if kind == "anchored hosts":
        return figures.peer_host_patterns(entries)
    return [re.escape(entry) for entry in entries]


def expected(job):
    return lambda answer: answer == job["expect"]


def subject(job):
    """(function, argument, answer check) of a job."""
    which = job["which"]
    if which == "hop":
        walk = hops.hop(job["walker"], PEERS_FOLDER)
        return walk, job["depth"], lambda answer: job["walker"] == "noop" or hops.check(job["walker"], answer)
    url = job["url"]
    if which in ("floor", "floor_fastcall"):
        return getattr(_twfloor, which), url, lambda answer: True
    entries = expand(job.get("entries", []))
    if which == "url_disabled":
        sys.path.append(PEERS_FOLDER)
        from opentelemetry.util.http import ExcludeList

        return ExcludeList(peer_patterns(job["patterns"], entries)).url_disabled, url, expected(job)
    if which == "match_regex_list":
        sys.path.append(PEERS_FOLDER)
        from sentry_sdk.utils import match_regex_list

        patterns = peer_patterns(job["patterns"], expand(job["targets"]) if "targets" in job else entries)
        return (lambda address: match_regex_list(address, patterns, substring_matching=True)), url, expected(job)
    module = header_check(job.get("bound", False))
    module.init_header_check(entries)
    if "targets" in job:
        module.init_propagation_targets(expand(job["targets"]))
    # The decisions were checked where they are timed: here only the peers' are.
    return module.should_inject_headers, url, lambda answer: "expect" not in job or answer[0] == job["expect"]


def run(function, argument, count):
    for _ in range(count):
        function(argument)


def counted(key, function, argument, count):
    _twfloor.count_here(f"{key}:setup")
    run(function, argument, count)
    _twfloor.count_here(f"{key}:once")
    run(function, argument, 2 * count)
    _twfloor.count_here(f"{key}:twice")


def main():
    with open(sys.argv[2] if SUBJECT_SET else sys.argv[1]) as given:
        given = json.load(given)
    if SUBJECT_SET:
        # The table sizes the timed figures were measured at.
        figures.HEADLINE_SIZES[:] = sorted({labels["table"] for labels in given["labels"]
                                            if labels.get("group") == "decision" and "table" in labels})
        with_peers = given["with_peers"]
        given = given["counts"]
        subjects = (figures.headline_subjects(PEERS_FOLDER, with_peers) if SUBJECT_SET == "headline"
                    else figures.hop_subjects(hops.DEPTHS, PEERS_FOLDER, with_peers))
        for group in figures.checked_subjects(subjects):
            for labels, _, function, argument, _ in group:
                key = figures.subject_key(labels)
                counted(key, function, argument, given[key])
        return
    for job in given:
        function, argument, correct = subject(job)
        answer = function(argument)
        if not correct(answer):
            raise SystemExit(f"{job['key']}: wrong answer {answer!r}")
        counted(job["key"], function, argument, job["count"])


if __name__ == "__main__":
    main()

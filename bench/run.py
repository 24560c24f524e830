"""make bench: every figure set in a process of its own, instruction counts under callgrind, and
the results as Markdown, JSON and a plot."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SETS = ["header_unbound", "header_bound", "spellings", "domains", "targets", "peers", "peer_code", "frameinfo",
        "load"]
TABLE_SIZES = [0, 1, 16, 256, 4096, 65536, 1048576]
# The sizes the flat-cost targets hold for; the largest is reported beside them.
TARGET_SIZES = [1, 16, 256, 4096, 65536]
SHAPES = ["plain", "port", "www_caps", "userinfo", "long"]
PEERS = ["urlsplit_set", "combined_regex", "pattern_list"]
# The peers' own code: figure name, what it is, and the Debian package it comes from.
PEER_CODE = [("url_disabled", "OpenTelemetry ExcludeList.url_disabled", "opentelemetry-util-http"),
             ("match_regex_list", "Sentry match_regex_list", "sentry-sdk")]
PEER_CODE_SHAPES = ["plain", "port", "userinfo", "long"]


def peers_folder():
    """The peers' packages, unpacked from Debian's by the provisioning script (once)."""
    done = subprocess.run([str(ROOT / "tools" / "provision-python.sh"), "--bench-peers"],
                          capture_output=True, text=True, check=True)
    return done.stdout.strip()


def peer_versions(folder):
    """The versions of the peers' code that was measured, as their packages' metadata gives them."""
    from importlib.metadata import distributions

    found = {d.metadata["Name"].lower().replace("_", "-"): d.version for d in distributions(path=[folder])}
    return {package: found[package] for _, _, package in PEER_CODE}


def run_set(build, name, timing, peers=None):
    paths = [build / "lib", build / "bench", ROOT / "bench"]
    if name == "header_bound":
        paths.append(ROOT / "standins" / "tw-vantrel")
    extra = ["--peers-folder", peers] if name in ("peer_code", "domains", "targets") else []
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, paths)))
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "figures.py"), name, *timing, *extra],
        env=env, capture_output=True, text=True, check=True,
    )
    return json.loads(done.stdout)["figures"]


def instructions(build, which, count, *loop_arguments):
    # A fixed hash seed: with a random one, start-up alone varies by thousands of instructions.
    env = dict(os.environ, PYTHONHASHSEED="0",
               PYTHONPATH=os.pathsep.join([str(build / "lib"), str(build / "bench")]))
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
         str(ROOT / "bench" / "callgrind_loop.py"), which, str(count), *loop_arguments],
        env=env, capture_output=True, text=True, check=True,
    )
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


# What each loop of callgrind_loop.py calls, as the report names it.
COUNTED = {"floor": "floor", "floor_fastcall": "floor_fastcall",
           "should_inject_headers": "should_inject_headers",
           "should_inject_headers_bound": "should_inject_headers, bound (agent callable in C)"}


def per_call_instructions(build, count, counted):
    result = {}
    for which in counted:
        result[which] = (instructions(build, which, count) - instructions(build, which, 0)) / count
    return result


def one_call(build, count, which, url, *entries):
    return (instructions(build, which, count, url, *entries) - instructions(build, which, 0, url, *entries)) / count


def domain_instructions(build, count, sizes=(16, 65536)):
    """Instructions above the METH_FASTCALL floor for hosts of 2 to 6 labels, hit and miss, with the
    domain tables of the given sizes; and the 4-label miss with plain entries only, 16 of them."""
    from figures import DOMAIN_LABELS, domain_url

    rows = []
    for labels in DOMAIN_LABELS:
        for outcome in ("hit", "miss"):
            url = domain_url(labels, outcome)
            floor = one_call(build, count, "floor_fastcall", url)
            for size in sizes:
                ours = one_call(build, count, "should_inject_headers", url, f"@domains:{size}")
                rows.append({"table": "domains", "size": size, "labels": labels, "outcome": outcome,
                             "above_floor": ours - floor})
            if labels == 4 and outcome == "miss":
                ours = one_call(build, count, "should_inject_headers", url, "@plain:16")
                rows.append({"table": "plain", "size": 16, "labels": labels, "outcome": outcome,
                             "above_floor": ours - floor})
    return rows


def target_instructions(build, count, sizes=(16, 65536)):
    """Instructions above the METH_FASTCALL floor with propagation targets (no skip list), plain and
    domains, to a target and elsewhere."""
    from figures import TARGET_URLS

    rows = []
    for kind, urls in TARGET_URLS.items():
        for outcome, url in urls.items():
            floor = one_call(build, count, "floor_fastcall", url)
            for size in sizes:
                ours = one_call(build, count, "should_inject_headers", url, "--targets", f"@{kind}:{size}")
                rows.append({"kind": kind, "size": size, "outcome": outcome, "above_floor": ours - floor})
    return rows


def spelling_instructions(build, count):
    """Instructions of should_inject_headers above the METH_FASTCALL floor for one URL of each
    spelling, hitting its entry in a table of 16."""
    from figures import SPELLING_TABLE, SPELLINGS

    rows = []
    for name, (url, entry) in SPELLINGS.items():
        floor = one_call(build, count, "floor_fastcall", url)
        ours = one_call(build, count, "should_inject_headers", url, *SPELLING_TABLE, entry)
        rows.append({"spelling": name, "instructions": ours, "floor": floor, "above_floor": ours - floor})
    return rows


def shape_instructions(build, count):
    """Instructions of should_inject_headers above the METH_FASTCALL floor given the same URL,
    for every URL shape, hit and miss, on the default 16-entry table."""
    from figures import HIT_HOST, MISS_HOST, url_for

    rows = []
    for shape in SHAPES:
        floor = one_call(build, count, "floor_fastcall", url_for(shape, MISS_HOST))
        for outcome, host in (("hit", HIT_HOST), ("miss", MISS_HOST)):
            ours = one_call(build, count, "should_inject_headers", url_for(shape, host))
            rows.append({"shape": shape, "outcome": outcome, "instructions": ours, "floor": floor,
                         "above_floor": ours - floor})
    return rows


def pick(figures, **labels):
    found = find(figures, **labels)
    assert found is not None, labels
    return found


def find(figures, **labels):
    """The one figure with these labels, or None when it was not measured."""
    found = [f for f in figures if all(f.get(k) == v for k, v in labels.items())]
    assert len(found) <= 1, (labels, found)
    return found[0] if found else None


def fastcall_floor(figures, size, shape):
    """The METH_FASTCALL floor for a URL shape: the long URL's own, the plain one's otherwise."""
    return pick(figures, name="floor_fastcall_long" if shape == "long" else "floor_fastcall", table=size)["ns"]


def fmt(ns):
    return f"{ns:,.1f}" if ns < 1000 else f"{ns:,.0f}"


def ratio(times):
    return f"{times:.1f}x" if times < 100 else f"{times:,.0f}x"


def spread(figure):
    return f"{fmt(figure['ns'])} ({fmt(figure['ns_min'])}–{fmt(figure['ns_max'])})"


DOMAIN_PEERS = [("url_disabled", "OpenTelemetry ExcludeList.url_disabled"), ("match_regex_list", "Sentry match_regex_list")]


def domain_markdown(results):
    """The domain figures: instructions (flatness, and against plain entries), ns per size, the peers."""
    from figures import DOMAIN_LABELS

    lines = []
    counted = results.get("domain_instructions")
    if counted:
        def above(**labels):
            return pick(counted, **labels)["above_floor"]

        sizes = sorted({r["size"] for r in counted if r["table"] == "domains"})
        lines += ["", "## Domain entries: instructions above the METH_FASTCALL floor (callgrind)", "",
                  "Hosts of 2 to 6 labels under example.com (hits, of '.example.com') and example.org "
                  "(misses); tables of domains of two and three labels ('.rN.example.net', '*.tN.example.net').", "",
                  "| labels | outcome | " + " | ".join(f"{s:,} domains" for s in sizes) + " | difference |",
                  "|---" * (3 + len(sizes)) + "|"]
        for labels in DOMAIN_LABELS:
            for outcome in ("hit", "miss"):
                cells = [above(table="domains", size=s, labels=labels, outcome=outcome) for s in sizes]
                lines.append(f"| {labels} | {outcome} | " + " | ".join(f"{c:+.0f}" for c in cells)
                             + f" | {cells[-1] - cells[0]:+.0f} |")
        plain = above(table="plain", size=16, labels=4, outcome="miss")
        domains = above(table="domains", size=16, labels=4, outcome="miss")
        lines += ["", f"A miss on a 4-label host: {domains:+.0f} with 16 domain entries, {plain:+.0f} with 16 plain "
                      f"entries ({domains - plain:+.0f})."]
    figures = results.get("domains")
    if figures:
        sizes = sorted({f["table"] for f in figures})
        lines += ["", "## Domain entries against the peers' own code, ns (no binding)", "",
                  "The peers are given the patterns their users write for the same domains: "
                  r"`^https?://(?:[^/?#@]+\.)?example\.com(?::\d+)?(?:[/?#]|$)` for '.example.com', and the same "
                  "without the `?` after the group for '*.example.com'; every answer was checked against ours. "
                  "Each peer is measured up to the first size at which one call takes over 1 ms.", "",
                  "| domains | labels | outcome | should_inject_headers | "
                  + " | ".join(title for _, title in DOMAIN_PEERS) + " | "
                  + " | ".join(f"{name} / ours" for name, _ in DOMAIN_PEERS) + " |",
                  "|---" * (4 + 2 * len(DOMAIN_PEERS)) + "|"]
        for size in sizes:
            for labels in DOMAIN_LABELS:
                for outcome in ("hit", "miss"):
                    ours = find(figures, name="should_inject_headers", table=size, labels=labels, outcome=outcome)
                    row = [find(figures, name=name, table=size, labels=labels, outcome=outcome) for name, _ in DOMAIN_PEERS]
                    lines.append(f"| {size:,} | {labels} | {outcome} | {fmt(ours['ns'])} | "
                                 + " | ".join(fmt(f["ns"]) if f else "–" for f in row) + " | "
                                 + " | ".join(ratio(f["ns"] / ours["ns"]) if f else "–" for f in row) + " |")
    return lines


def target_markdown(results):
    """Propagation targets: ns beside Sentry's match_regex_list, and instructions."""
    lines = []
    figures = results.get("targets")
    if figures:
        lines += ["", "## Propagation targets against Sentry's match_regex_list, ns (no binding, no skip list)", "",
                  "Sentry's trace_propagation_targets is an allow list of patterns: given "
                  r"`^https?://example\.com(?::\d+)?(?:[/?#]|$)` for a host and the domain patterns above "
                  "for domains; every answer was checked against ours.", "",
                  "| targets | kind | URL | should_inject_headers | match_regex_list | match_regex_list / ours |",
                  "|---|---|---|---|---|---|"]
        for f in figures:
            if f["name"] != "should_inject_headers":
                continue
            peer = find(figures, name="match_regex_list", table=f["table"], kind=f["kind"], outcome=f["outcome"])
            lines.append(f"| {f['table']:,} | {f['kind']} | {f['outcome']} | {fmt(f['ns'])} | "
                         + (f"{fmt(peer['ns'])} | {ratio(peer['ns'] / f['ns'])} |" if peer else "– | – |"))
    counted = results.get("target_instructions")
    if counted:
        sizes = sorted({r["size"] for r in counted})
        lines += ["", "## Propagation targets: instructions above the METH_FASTCALL floor (callgrind)", "",
                  "| kind | URL | " + " | ".join(f"{s:,} targets" for s in sizes) + " |", "|---" * (2 + len(sizes)) + "|"]
        for kind in ("plain", "domains"):
            for outcome in ("target", "elsewhere"):
                cells = [pick(counted, kind=kind, outcome=outcome, size=s)["above_floor"] for s in sizes]
                lines.append(f"| {kind} | {outcome} | " + " | ".join(f"{c:+.0f}" for c in cells) + " |")
    return lines


def markdown(results):
    unbound, bound = results["header_unbound"], results["header_bound"]
    peers, frames = results["peers"], results["frameinfo"]
    lines = [f"# Benchmark results (Python {results['python']})", "",
             "ns per call: median of the timeit runs, (fastest–slowest) in brackets. "
             "Overhead is above the floor measured in the same process, at the same table size.", ""]

    headline = pick(unbound, name="should_inject_headers", table=16, shape="plain", outcome="miss")
    floor = pick(unbound, name="floor", table=16)
    fast_floor = pick(unbound, name="floor_fastcall", table=16)
    regex = pick(peers, name="combined_regex", table=16, shape="plain", outcome="miss")
    split = pick(peers, name="urlsplit_set", table=16, shape="plain", outcome="miss")
    lines += ["## Targets (no binding, 16-entry table, typical https URL)", "",
              "| figure | value | target |", "|---|---|---|",
              f"| floor (METH_VARARGS, \"s\", new 3-tuple) | {spread(floor)} ns | |",
              f"| floor with the argument vector (METH_FASTCALL) | {spread(fast_floor)} ns | |",
              f"| should_inject_headers | {spread(headline)} ns | |",
              f"| overhead above the floor | {headline['ns'] - floor['ns']:+.1f} ns | ≤ 10 ns |",
              f"| overhead above the METH_FASTCALL floor | {headline['ns'] - fast_floor['ns']:+.1f} ns | |",
              f"| combined regex peer / should_inject_headers | {regex['ns'] / headline['ns']:.1f}x | ≥ 3x |",
              f"| urlsplit + set peer / should_inject_headers | {split['ns'] / headline['ns']:.1f}x | ≥ 8x |"]
    frame_native = pick(frames, name="get_frame_info", code="user", implementation="native")
    frame_python = pick(frames, name="get_frame_info", code="user", implementation="python")
    code = results.get("peer_code", [])
    for name, title, _ in PEER_CODE:
        peer = find(code, name=name, table=16, shape="plain", outcome="miss")
        ours = find(code, name="should_inject_headers", table=16, shape="plain", outcome="miss")
        if peer and ours:
            lines.append(f"| {title} / should_inject_headers (same process) | {peer['ns'] / ours['ns']:.1f}x | |")
    lines.append(f"| pure-Python get_frame_info / native, user frame | "
                 f"{frame_python['ns'] / frame_native['ns']:.1f}x | ≥ 3x |")

    sizes = [size for size in TARGET_SIZES if size in TABLE_SIZES]
    if len(sizes) > 1:
        overheads = []
        for size in sizes:
            for shape in SHAPES:
                fast = fastcall_floor(unbound, size, shape)
                for outcome in ("hit", "miss"):
                    f = pick(unbound, name="should_inject_headers", table=size, shape=shape, outcome=outcome)
                    overheads.append((f["ns"] - fast, size, shape, outcome))
        worst = max(overheads)
        growth = (pick(unbound, name="should_inject_headers", table=sizes[-1], shape="plain", outcome="miss")["ns"]
                  - pick(unbound, name="should_inject_headers", table=16, shape="plain", outcome="miss")["ns"])
        lines += [f"| worst overhead above the METH_FASTCALL floor, {sizes[0]} to {sizes[-1]:,} entries, every shape, hit and miss "
                  f"| {worst[0]:+.1f} ns ({worst[1]:,} entries, {worst[2]}, {worst[3]}) | ≤ 10 ns |",
                  f"| {sizes[-1]:,} entries against 16, plain URL, miss | {growth:+.1f} ns | ≤ 5 ns |"]
    largest = max(TABLE_SIZES)
    native_largest = find(unbound, name="should_inject_headers", table=largest, shape="plain", outcome="miss")
    split_largest = find(peers, name="urlsplit_set", table=largest, shape="plain", outcome="miss")
    if largest > 16 and native_largest and split_largest:
        lines.append(f"| urlsplit + set peer / should_inject_headers at {largest:,} entries | "
                     f"{split_largest['ns'] / native_largest['ns']:.1f}x | > 1x |")
    if "instructions" in results:
        ins = results["instructions"]
        lines += ["", "## Instructions per call (callgrind, same table and URL)", "",
                  "| function | instructions | above the floor |", "|---|---|---|",
                  f"| floor | {ins['floor']:.0f} | |"]
        lines += [f"| {COUNTED[which]} | {count:.0f} | {count - ins['floor']:+.0f} |"
                  for which, count in ins.items() if which != "floor"]

    if "shape_instructions" in results:
        lines += ["", "## Instructions above the METH_FASTCALL floor, every URL shape (callgrind, 16 entries)", "",
                  "Each count is should_inject_headers less the METH_FASTCALL floor taking the same URL.", "",
                  "| shape | hit | miss |", "|---|---|---|"]
        for shape in SHAPES:
            row = {r["outcome"]: r["above_floor"] for r in results["shape_instructions"] if r["shape"] == shape}
            lines.append(f"| {shape} | {row['hit']:+.0f} | {row['miss']:+.0f} |")

    spelled = {f["spelling"]: f for f in results.get("spellings", [])}
    if spelled:
        counted = {r["spelling"]: r for r in results.get("spelling_instructions", [])}
        lines += ["", "## One URL of each spelling, a hit in a table of 16 (no binding)", "",
                  "The common host takes the quick path; every other spelling, the rare canonical steps.", "",
                  "| spelling | ns | instructions above the METH_FASTCALL floor |", "|---|---|---|"]
        for name, figure in spelled.items():
            instructions_cell = f"{counted[name]['above_floor']:+.0f}" if name in counted else "–"
            lines.append(f"| {name} | {spread(figure)} | {instructions_cell} |")

    lines += domain_markdown(results)
    lines += target_markdown(results)

    for title, figures in (("no binding", unbound), ("stand-in binding", bound)):
        lines += ["", f"## should_inject_headers, {title}: overhead above the METH_FASTCALL floor, ns", "",
                  "The long shape is measured against the floor taking the same 2 KB URL.", "",
                  "| table | floor | " + " | ".join(f"{s} hit | {s} miss" for s in SHAPES) + " |",
                  "|---" * (2 + 2 * len(SHAPES)) + "|"]
        for size in TABLE_SIZES:
            floor_ns = pick(figures, name="floor_fastcall", table=size)["ns"]
            cells = []
            for shape in SHAPES:
                for outcome in ("hit", "miss"):
                    if size == 0 and outcome == "hit":
                        cells.append("–")
                    else:
                        f = pick(figures, name="should_inject_headers", table=size, shape=shape, outcome=outcome)
                        cells.append(f"{f['ns'] - fastcall_floor(figures, size, shape):+.1f}")
            lines.append(f"| {size} | {fmt(floor_ns)} | " + " | ".join(cells) + " |")

    if code:
        versions = ", ".join(f"{package} {version}" for package, version in results["peer_versions"].items())
        lines += ["", "## The peers' own code against should_inject_headers (no binding), ns", "",
                  f"Measured in one process: {versions} (Debian's packages). OpenTelemetry: "
                  "`ExcludeList(patterns).url_disabled(url)`; Sentry: `match_regex_list(url, patterns, "
                  "substring_matching=True)`, whose list names where headers go, the same membership "
                  "question. Patterns are `re.escape(host)`, as users write them; every answer was "
                  "checked against ours. Their search finds a host anywhere in the URL, case-sensitively: "
                  "the shapes are those on which that agrees with the whole-host rule (capitals left out). "
                  "Each peer is measured up to the first table size at which one call takes over 1 ms.", "",
                  "| table | shape | outcome | should_inject_headers | "
                  + " | ".join(title for _, title, _ in PEER_CODE) + " | "
                  + " | ".join(f"{name} / ours" for name, _, _ in PEER_CODE) + " |",
                  "|---" * (4 + 2 * len(PEER_CODE)) + "|"]
        for size in TABLE_SIZES:
            for shape in PEER_CODE_SHAPES:
                for outcome in ("hit", "miss"):
                    ours = find(code, name="should_inject_headers", table=size, shape=shape, outcome=outcome)
                    row = [find(code, name=name, table=size, shape=shape, outcome=outcome) for name, _, _ in PEER_CODE]
                    if ours is None or not any(row):
                        continue
                    lines.append(f"| {size} | {shape} | {outcome} | {fmt(ours['ns'])} | "
                                 + " | ".join(fmt(f["ns"]) if f else "–" for f in row) + " | "
                                 + " | ".join(ratio(f["ns"] / ours["ns"]) if f else "–" for f in row) + " |")

    lines += ["", "## Pure-Python peers against should_inject_headers (no binding), miss, ns", "",
              "| table | shape | should_inject_headers | urlsplit + set | combined regex | pattern list | best peer / native |",
              "|---|---|---|---|---|---|---|"]
    for size in TABLE_SIZES:
        for shape in SHAPES:
            native = pick(unbound, name="should_inject_headers", table=size, shape=shape, outcome="miss")
            row = [find(peers, name=n, table=size, shape=shape, outcome="miss") for n in PEERS]
            best = min(f["ns"] for f in row if f)
            lines.append(f"| {size} | {shape} | {fmt(native['ns'])} | "
                         + " | ".join(fmt(f["ns"]) if f else "–" for f in row) + f" | {best / native['ns']:.1f}x |")
    lines.append("")
    lines.append("The regular-expression peers are not built beyond 4,096 entries (–).")

    if results.get("load"):
        lines += ["", "## Loading the table (init_header_check)", "",
                  "| entries | ns per entry (fastest–slowest) | C memory per entry |", "|---|---|---|"]
        for f in results["load"]:
            lines.append(f"| {f['table']:,} | {f['ns_per_entry']:.1f} ({f['ns_per_entry_min']:.1f}–"
                         f"{f['ns_per_entry_max']:.1f}) | {f['bytes_per_entry']:.0f} bytes |")

    lines += ["", "## Call-site introspection, ns", "",
              "| method | code | native | pure Python | Python / native |", "|---|---|---|---|---|"]
    for name in ("get_frame_info", "get_code_info", "is_user_code_func"):
        for code in ("user", "library"):
            native = pick(frames, name=name, code=code, implementation="native")
            python = pick(frames, name=name, code=code, implementation="python")
            lines.append(f"| {name} | {code} | {spread(native)} | {spread(python)} | {python['ns'] / native['ns']:.1f}x |")
    return "\n".join(lines) + "\n"



def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", help="output folder (default: <build>/bench-results)")
    parser.add_argument("--quick", action="store_true", help="few short runs: checks the harness, not speed")
    parser.add_argument("--instructions-only", action="store_true",
                        help="only the callgrind counts of every URL shape, as JSON on stdout")
    options = parser.parse_args()
    build = (ROOT / options.build).resolve()
    if options.instructions_only:
        json.dump({"shapes": shape_instructions(build, 5000), "spellings": spelling_instructions(build, 5000),
                   "domains": domain_instructions(build, 5000), "targets": target_instructions(build, 5000)},
                  sys.stdout, indent=1)
        return
    out = Path(options.out) if options.out else build / "bench-results"
    out.mkdir(parents=True, exist_ok=True)
    if options.quick:
        TABLE_SIZES[:] = [0, 16]
        timing = ["--repeat", "2", "--calls", "200", "--sizes", "0,16", "--load-sizes", "1000", "--domain-sizes", "1,16",
                  "--target-sizes", "16"]
    else:
        timing = ["--repeat", "11", "--seconds", "0.02"]

    peers = peers_folder()
    results = {"python": sys.version.split()[0], "peer_versions": peer_versions(peers)}
    for name in SETS:
        print(f"measuring {name} ...", file=sys.stderr, flush=True)
        results[name] = run_set(build, name, timing, peers)
    if os.environ.get("TW_EMULATOR"):
        print(f"no instruction counts: valgrind cannot measure a process under {os.environ['TW_EMULATOR']}",
              file=sys.stderr)
    elif shutil.which("valgrind"):
        print("counting instructions under callgrind ...", file=sys.stderr, flush=True)
        # A quick run checks that counting works, with the fewest valgrind runs.
        counted = ["floor", "should_inject_headers"] if options.quick else list(COUNTED)
        results["instructions"] = per_call_instructions(build, 200 if options.quick else 50000, counted)
        if not options.quick:
            results["shape_instructions"] = shape_instructions(build, 5000)
            results["spelling_instructions"] = spelling_instructions(build, 5000)
            results["domain_instructions"] = domain_instructions(build, 5000)
            results["target_instructions"] = target_instructions(build, 5000)

    (out / "results.json").write_text(json.dumps(results, indent=1))
    report = markdown(results)
    (out / "results.md").write_text(report)
    print(report)
    plotter = shutil.which("python3", path="/usr/bin")
    if plotter and not options.quick:
        subprocess.run([plotter, str(ROOT / "bench" / "plot.py"), str(out / "results.json"),
                        str(out / "ns_per_table_size.png")], check=True)
        print(f"plot: {out / 'ns_per_table_size.png'}", file=sys.stderr)
    print(f"results: {out / 'results.md'}, {out / 'results.json'}", file=sys.stderr)


if __name__ == "__main__":
    main()

"""ns per call against skip-table size, from results.json (run with a Python that has matplotlib)."""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

results = json.load(open(sys.argv[1]))
sizes = sorted({f["table"] for f in results["header_unbound"] if f["table"] > 0})


def series(figures, **labels):
    """(sizes, ns) of the figures with these labels; sizes where one was not measured are left out."""
    points = [(f["table"], f["ns"]) for f in figures
              if f["table"] in sizes and all(f.get(k) == v for k, v in labels.items())]
    points.sort()
    return [p[0] for p in points], [p[1] for p in points]


fig, ax = plt.subplots(figsize=(8, 5))
unbound = results["header_unbound"]
ax.plot(*series(unbound, name="floor"), "k--", label="floor (METH_VARARGS: parse one str, return a 3-tuple)")
ax.plot(*series(unbound, name="floor_fastcall"), "k:", label="floor (METH_FASTCALL)")
ax.plot(*series(unbound, name="should_inject_headers", shape="plain", outcome="miss"), "o-",
        label="should_inject_headers, miss")
ax.plot(*series(unbound, name="should_inject_headers", shape="plain", outcome="hit"), "o-",
        label="should_inject_headers, hit (last entry)")
for name, label in (("urlsplit_set", "urlsplit + set"), ("combined_regex", "combined regex"),
                    ("pattern_list", "pattern list")):
    ax.plot(*series(results["peers"], name=name, shape="plain", outcome="miss"), "s:",
            label=f"pure Python: {label}, miss")
for name, label in (("url_disabled", "OpenTelemetry ExcludeList.url_disabled"),
                    ("match_regex_list", "Sentry match_regex_list")):
    ax.plot(*series(results.get("peer_code", []), name=name, shape="plain", outcome="miss"), "^-",
            label=f"peer's own code: {label}, miss")
ax.set_xscale("log", base=2)
ax.set_yscale("log")
ax.set_xlabel("skip-table entries")
ax.set_ylabel("ns per call (median)")
ax.set_title(f"Header check, typical https URL, no binding (Python {results['python']})")
ax.grid(True, which="both", alpha=0.3)
ax.legend(fontsize=8)
fig.tight_layout()
fig.savefig(sys.argv[2], dpi=120)

"""Child interpreters for process-wide scenarios: import-time binding, preloading, cleanup."""

import ast
import importlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
# Sanitizer runtimes that every interpreter must preload when the modules are instrumented.
SANITIZER_PRELOAD = os.environ.get("TW_SANITIZER_PRELOAD", "")
SANITIZED = bool(SANITIZER_PRELOAD)
STANDIN_AGENT = ROOT / "standins" / "tw-vantrel"


def own_module():
    """A module object of the caller's own (every import after a removal from sys.modules makes
    one, with a state of its own), so that the targets it loads are seen by no other test."""
    shared = sys.modules.pop("_twheadercheck", None)
    try:
        return importlib.import_module("_twheadercheck")
    finally:
        if shared is not None:
            sys.modules["_twheadercheck"] = shared


def module_dir():
    """Folder of the built modules; None when they are to come from an installed wheel."""
    configured = os.environ.get("TW_MODULE_DIR")
    if configured == "":
        return None
    return Path(configured) if configured else ROOT / "build" / "lib"


def bench_dir():
    """Folder of the benchmark-only modules (the METH_VARARGS floor), beside the build's lib/."""
    binary_dir = Path(os.environ.get("TW_BINARY_DIR") or ROOT / "build")
    return binary_dir / "bench"


def standin_library(variant="tidewren"):
    """Path of a native library stand-in: "tidewren" (whole) or "tidewren_partial"."""
    binary_dir = Path(os.environ.get("TW_BINARY_DIR") or ROOT / "build")
    return binary_dir / "standins" / f"lib{variant}.so"


def import_paths(with_standin_agent=True):
    paths = [str(p) for p in (module_dir(),) if p is not None]
    if with_standin_agent:
        paths.append(str(STANDIN_AGENT))
    return paths


def write_agent(folder, thread_local_source):
    """A tw_vantrel package whose thread_local module is the given source."""
    package = Path(folder) / "tw_vantrel"
    package.mkdir(parents=True, exist_ok=True)
    (package / "__init__.py").write_text("")
    (package / "thread_local.py").write_text(textwrap.dedent(thread_local_source))
    return Path(folder)


def run(code, *, extra_paths=(), with_standin_agent=True, env=None, timeout=120):
    """Runs code in a fresh interpreter; returns the CompletedProcess (text mode)."""
    child_env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    child_env["PYTHONPATH"] = os.pathsep.join(
        [str(p) for p in extra_paths] + import_paths(with_standin_agent)
    )
    child_env.update(env or {})
    if SANITIZED:
        child_env["LD_PRELOAD"] = preload_as_seen(child_env.get("LD_PRELOAD"))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=child_env,
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )


def preload_as_seen(value):
    """What a child sees in LD_PRELOAD when it is started with value (None: unset)."""
    return " ".join(part for part in (SANITIZER_PRELOAD, value) if part) if SANITIZED else value


def run_for_value(code, **kwargs):
    """Runs code whose last line of output is a Python literal; returns that literal."""
    done = run(code, **kwargs)
    assert done.returncode == 0, done.stderr
    return ast.literal_eval(done.stdout.strip().splitlines()[-1])

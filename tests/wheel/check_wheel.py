"""Builds the wheel with pip (offline), checks what it holds, installs it into a fresh venv and
runs the pytest suite there against the installed modules instead of the build folder.

usage: check_wheel.py BUILD_DIR   (the stand-in native libraries come from BUILD_DIR/standins)
"""

import os
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MODULES = ["_twheadercheck", "_twframeinfo", "_twconfig"]


def run(command, **kwargs):
    print("+", " ".join(map(str, command)), flush=True)
    subprocess.run(command, check=True, **kwargs)


def main():
    build_dir = Path(sys.argv[1]).resolve()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    offline = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        run([sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-build-isolation", "--no-deps",
             "-w", str(scratch / "dist")], env=offline)
        (wheel,) = (scratch / "dist").glob("*.whl")

        names = set(zipfile.ZipFile(wheel).namelist())
        expected = {f"{m}{suffix}" for m in MODULES} | {f"{m}.pyi" for m in MODULES}
        dist_info = {n for n in names if n.split("/")[0].endswith(".dist-info")}
        assert {n.split("/")[-1] for n in dist_info} == {"METADATA", "WHEEL", "RECORD"}, dist_info
        assert names - dist_info == expected, f"the wheel holds {sorted(names - dist_info)}"
        print(f"{wheel.name}: {len(expected)} files as expected and its metadata", flush=True)

        venv = scratch / "venv"
        run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", str(venv)])
        python = venv / "bin" / "python"
        run([str(python), "-m", "pip", "install", "--no-deps", str(wheel)], env=offline)
        env = dict(offline, TW_MODULE_DIR="", TW_BINARY_DIR=str(build_dir))
        env.pop("PYTHONPATH", None)
        # The installed modules, not the build folder's, must be the ones under test.
        run([str(python), "-c", "import _twheadercheck, sys; "
             f"assert _twheadercheck.__file__.startswith({str(venv)!r}), _twheadercheck.__file__"], env=env)
        run([str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", str(ROOT / "tests" / "python")],
            env=env, cwd=scratch)


if __name__ == "__main__":
    main()

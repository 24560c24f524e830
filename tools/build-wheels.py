"""make wheels: an sdist, and from it a manylinux2014 wheel for every supported interpreter on
x86-64 and aarch64, each certified by auditwheel, checked and tested as installed.

usage: build-wheels.py --x86-build BUILD --aarch64-build BUILD_AARCH64 [--dist dist]

The stand-in native libraries the tests preload come from each machine's build tree.
"""

import argparse
import functools
import hashlib
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MODULES = ["_twheadercheck", "_twframeinfo", "_twconfig"]
X86_VERSIONS = ["3.11", "3.12", "3.13", "3.14", "3.15"]
# Those whose arm64 interpreter and headers Debian has: 3.13 to 3.15 in testing, 3.11 in Debian 12.
# No Debian release this machine reaches has an arm64 3.12.
AARCH64_VERSIONS = ["3.11", "3.13", "3.14", "3.15"]
# The whole suite runs under these arm64 interpreters (emulated, so slowly); the others import
# each module and take one answer from it.
AARCH64_FULL_SUITE = {"3.14"}
GLIBC_FLOOR = (2, 17)
ELF_MACHINE = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}
OFFLINE = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")


def run(command, **kwargs):
    print("+", " ".join(map(str, command)), flush=True)
    return subprocess.run(command, check=True, **kwargs)


def output(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


@functools.cache
def provision(*arguments):
    return output([str(ROOT / "tools" / "provision-python.sh"), *arguments]).strip()


def interpreters():
    """(machine, version, interpreter) for every wheel to build."""
    found = {}
    for line in output([str(ROOT / "tools" / "matrix-pythons.sh")]).splitlines():
        version, python = line.split(maxsplit=1)
        found[version] = python
    result = []
    for version in X86_VERSIONS:
        python = found.get(version) or provision("--version", version)
        result.append(("x86_64", version, python))
    for version in AARCH64_VERSIONS:
        result.append(("aarch64", version, provision("--arch", "aarch64", "--version", version)))
    return result


def build_env(python, machine):
    """The backend (Debian's pure-Python scikit-build-core, from the 3.14 root) on the path of any
    interpreter; for aarch64 the cross toolchain, the interpreter being the emulated arm64 one."""
    env = dict(OFFLINE, PYTHONPATH=str(python_site()))
    if machine == "aarch64":
        root = Path(python).parents[2]
        version = re.search(r"python(3\.\d+)", Path(python).name).group(1)
        env["SKBUILD_CMAKE_ARGS"] = ";".join([
            f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'aarch64-linux-gnu.cmake'}",
            f"-DTW_AARCH64_ROOT={root}",
            f"-DPython3_INCLUDE_DIR={root / 'usr' / 'include' / ('python' + version)}",
        ])
    return env


@functools.cache
def python_site():
    """The provisioned 3.14 root's dist-packages: scikit-build-core, pip, pytest and their needs."""
    python = provision()
    return Path(output([python, "-c", "import pytest, pathlib; print(pathlib.Path(pytest.__file__).parents[1])"]).strip())


def build_sdist(dist):
    python = provision()
    sdist = output([python, "-c", "import sys; from scikit_build_core.build import build_sdist; "
                    "print(build_sdist(sys.argv[1]))", str(dist)], cwd=ROOT, env=OFFLINE).strip().splitlines()[-1]
    return dist / sdist


def build_wheel(source, python, machine, out):
    out.mkdir(parents=True, exist_ok=True)
    done = output([python, "-c", "import sys; from scikit_build_core.build import build_wheel; "
                   "print(build_wheel(sys.argv[1]))", str(out)], cwd=source,
                  env=build_env(python, machine))
    return out / done.strip().splitlines()[-1]


def auditwheel(*arguments):
    python = provision()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([provision("--auditwheel"), str(python_site())]))
    return output([python, "-m", "auditwheel", *arguments], env=env)


def certify(wheel, machine, dist):
    """auditwheel show, then repair to manylinux2014; returns the repaired wheel in dist."""
    shown = auditwheel("show", str(wheel))
    tags = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s*"([^"]+)"', shown)
    assert tags, shown
    print(f"  auditwheel show: {tags.group(1)}", flush=True)
    with tempfile.TemporaryDirectory() as scratch:
        # auditwheel offers only the host's machine by name; for a foreign wheel "auto" picks the
        # oldest policy it meets, which for aarch64 is manylinux2014 itself (checked afterwards).
        # --only-plat: tagged for the 2.17 floor alone, not also for the older policies the modules
        # happen to meet today.
        plat = f"manylinux2014_{machine}" if machine == platform.machine() else "auto"
        auditwheel("repair", "--plat", plat, "--only-plat", "-w", scratch, str(wheel))
        (repaired,) = Path(scratch).glob("*.whl")
        target = dist / repaired.name
        shutil.move(str(repaired), target)
    return target


def check_contents(wheel, machine, version):
    """Three modules built for the wheel's machine and interpreter, three stubs, the metadata;
    nothing newer than the glibc floor, nothing needed beyond libc and libdl."""
    problems = []
    assert f"manylinux_2_17_{machine}" in wheel.name and f"manylinux2014_{machine}" in wheel.name, wheel.name
    flat = version.replace(".", "")
    assert f"-cp{flat}-cp{flat}-" in wheel.name, wheel.name
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as scratch:
        names = {n for n in archive.namelist() if not n.endswith("/")}  # auditwheel adds folder entries
        dist_info = {n for n in names if n.split("/")[0].endswith(".dist-info")}
        assert {n.split("/")[-1] for n in dist_info} == {"METADATA", "WHEEL", "RECORD"}, dist_info
        files = names - dist_info
        suffix = f".cpython-{flat}-{machine}-linux-gnu.so"
        expected = {f"{m}{suffix}" for m in MODULES} | {f"{m}.pyi" for m in MODULES}
        assert files == expected, f"{wheel.name} holds {sorted(files)}"
        for module in MODULES:
            path = Path(archive.extract(f"{module}{suffix}", scratch))
            header = output(["readelf", "-h", str(path)])
            if ELF_MACHINE[machine] not in header:
                problems.append(f"{path.name}: not built for {machine}")
            needs = output(["readelf", "--version-info", "-W", str(path)])
            versions = {tuple(map(int, v.split("."))) for v in re.findall(r"Name: GLIBC_([\d.]+)", needs)}
            if not versions or max(versions) > GLIBC_FLOOR:
                problems.append(f"{path.name}: needs glibc versions {sorted(versions)}")
            needed = set(re.findall(r"\(NEEDED\).*\[(.+)\]", output(["readelf", "-d", str(path)])))
            if not needed <= {"libc.so.6", "libdl.so.2"}:
                problems.append(f"{path.name}: needs {sorted(needed)}")
    return problems


def install(wheel, python, machine, version, venv):
    """A fresh venv of the wheel's own interpreter with the wheel installed, no other package."""
    run([python, "-m", "venv", "--without-pip", "--system-site-packages", str(venv)])
    venv_python = venv / "bin" / "python"
    site = output([str(venv_python), "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).strip()
    if machine == "x86_64":
        # pip comes from the interpreter's own installation, seen through --system-site-packages.
        run([str(venv_python), "-m", "pip", "install", "--no-deps", str(wheel)], env=OFFLINE)
    else:
        # The arm64 root has no pip: the host's installs the foreign wheel into the venv.
        run([provision(), "-m", "pip", "install", "--no-deps", "--target", site, "--platform",
             f"manylinux2014_{machine}", "--python-version", version, "--implementation", "cp",
             "--only-binary=:all:", str(wheel)], env=OFFLINE)
    return venv_python


# Imports each module from the venv given and takes one answer from it.
ONE_ANSWER_EACH = """
import sys
import _twconfig, _twframeinfo, _twheadercheck
for module in (_twconfig, _twframeinfo, _twheadercheck):
    assert module.__file__.startswith(sys.argv[1]), module.__file__
assert _twheadercheck.init_header_check(["example.com"]) is True
assert _twheadercheck.should_inject_headers("https://www.Example.com:443/a")[0] is False
namespace = {}
exec(compile("def handler():\\n    pass\\n", "/srv/app/handlers.py", "exec"), namespace)
assert _twframeinfo.get_code_info(namespace["handler"]) == ("/srv/app/handlers.py", 1, "handler", True)
try:
    _twconfig.set_api_key("key")  # no native library in this process
except RuntimeError as error:
    assert "LD_PRELOAD" in str(error)
else:
    raise AssertionError("set_api_key went through without the native library")
print("one answer from each module: ok")
"""


def test_installed(venv_python, venv, version, machine, standins_tree, full_suite):
    env = dict(OFFLINE, TW_MODULE_DIR="", TW_BINARY_DIR=str(standins_tree))
    env.pop("PYTHONPATH", None)
    # The installed modules, not a build folder's, must be the ones under test.
    run([str(venv_python), "-c", ONE_ANSWER_EACH, str(venv)], env=env)
    if full_suite:
        if machine == "x86_64":
            # Debian's pytest is pure Python; pyenv's interpreters have none of their own.
            env["PYTHONPATH"] = str(python_site())
        run([str(venv_python), "-m", "pytest", "-q", "-p", "no:cacheprovider", str(ROOT / "tests" / "python")],
            env=env, cwd=venv)


def file_digests(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return {n: hashlib.sha256(archive.read(n)).hexdigest() for n in archive.namelist()
                if not n.endswith("RECORD")}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--x86-build", required=True, help="x86-64 build tree (stand-in libraries)")
    parser.add_argument("--aarch64-build", required=True, help="aarch64 build tree (stand-in libraries)")
    parser.add_argument("--dist", default=str(ROOT / "dist"))
    options = parser.parse_args()
    started = time.monotonic()
    dist = Path(options.dist).resolve()
    shutil.rmtree(dist, ignore_errors=True)
    dist.mkdir(parents=True)
    trees = {"x86_64": Path(options.x86_build).resolve(), "aarch64": Path(options.aarch64_build).resolve()}

    problems = []
    sdist = build_sdist(dist)
    print(f"sdist: {sdist.name}", flush=True)
    with tempfile.TemporaryDirectory(prefix="tw-wheels-") as scratch:
        scratch = Path(scratch)
        with tarfile.open(sdist) as archive:
            archive.extractall(scratch / "src", filter="data")
        (source,) = (scratch / "src").iterdir()
        built = []
        for machine, version, python in interpreters():
            print(f"== {machine} CPython {version}: {python}", flush=True)
            raw = build_wheel(source, python, machine, scratch / f"raw-{machine}-{version}")
            wheel = certify(raw, machine, dist)
            problems += check_contents(wheel, machine, version)
            venv = scratch / f"venv-{machine}-{version}"
            venv_python = install(wheel, python, machine, version, venv)
            full = machine == "x86_64" or version in AARCH64_FULL_SUITE
            test_installed(venv_python, venv, version, machine, trees[machine], full)
            built.append((machine, version, wheel))

        # pip, offline, from the sdist alone: the same wheel as the backend built from it.
        python = provision()
        run([python, "-m", "pip", "wheel", str(sdist), "--no-build-isolation", "--no-deps", "-w",
             str(scratch / "from-sdist")], env=dict(OFFLINE, PYTHONPATH=str(python_site())))
        (from_sdist,) = (scratch / "from-sdist").glob("*.whl")
        (raw_314,) = (scratch / "raw-x86_64-3.14").glob("*.whl")
        if file_digests(from_sdist) != file_digests(raw_314):
            problems.append("pip's wheel from the sdist differs from the backend's")
        else:
            print("pip wheel from the sdist: the same files, byte for byte", flush=True)

    print(f"\n{len(built)} wheels and the sdist in {dist} ({time.monotonic() - started:.0f} s):")
    for path in sorted(dist.iterdir()):
        print(f"  {path.name}")
    if problems:
        print("\nPROBLEMS:")
        for problem in problems:
            print(f"  {problem}")
        sys.exit(1)


if __name__ == "__main__":
    main()

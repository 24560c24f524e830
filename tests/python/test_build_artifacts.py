import re
import subprocess
import sysconfig

import pytest

import childproc

MODULES = ["_twheadercheck", "_twframeinfo", "_twconfig"]
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

pytestmark = pytest.mark.skipif(
    childproc.module_dir() is None or childproc.SANITIZED,
    reason="checks the release build folder, not a wheel or an instrumented build",
)


def shared_object(name):
    path = childproc.module_dir() / f"{name}{SUFFIX}"
    assert path.is_file(), f"{path} was not built with the interpreter's extension suffix"
    return path


# The oldest glibc the modules load on: that of manylinux2014 (CentOS 7, RHEL 7).
GLIBC_FLOOR = (2, 17)


def tool_output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def dynamic_symbols(name):
    """(name, defined) of every dynamic symbol. readelf reads the ELF of any machine, so the same
    checks hold for a cross-built tree."""
    table = tool_output("readelf", "--dyn-syms", "-W", str(shared_object(name)))
    rows = re.findall(r"^\s*\d+:\s+\S+\s+\d+\s+\S+\s+(\S+)\s+\S+\s+(\S+)\s+(\S+)", table, re.MULTILINE)
    return [(symbol.split("@")[0], section != "UND") for bind, section, symbol in rows if bind != "LOCAL"]


@pytest.mark.parametrize("name", MODULES)
def test_only_the_init_function_is_exported(name):
    assert [symbol for symbol, defined in dynamic_symbols(name) if defined] == [f"PyInit_{name}"]


@pytest.mark.parametrize("name", MODULES)
def test_needs_only_the_c_runtime(name):
    dynamic = tool_output("readelf", "-d", str(shared_object(name)))
    needed = re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic)
    allowed = {"libc.so.6", "libdl.so.2"} if name == "_twconfig" else {"libc.so.6"}
    assert set(needed) <= allowed, needed
    undefined = " ".join(symbol for symbol, defined in dynamic_symbols(name) if not defined)
    assert not re.search(r"\b(_Z\w+|__cxa_(?!finalize)\w+|__gxx_\w+)", undefined), undefined


@pytest.mark.parametrize("name", MODULES)
def test_needs_no_glibc_newer_than_the_floor(name):
    needs = tool_output("readelf", "--version-info", "-W", str(shared_object(name)))
    versions = {tuple(map(int, v.split("."))) for v in re.findall(r"Name: GLIBC_([\d.]+)", needs)}
    assert versions, "no glibc version needed at all: the check reads nothing"
    assert max(versions) <= GLIBC_FLOOR, sorted(versions)

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


def tool_output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("name", MODULES)
def test_only_the_init_function_is_exported(name):
    symbols = tool_output("nm", "-D", "--defined-only", str(shared_object(name))).split()
    defined = [s for s in symbols if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.@]*", s) and len(s) > 1]
    assert defined == [f"PyInit_{name}"]


@pytest.mark.parametrize("name", MODULES)
def test_needs_only_the_c_runtime(name):
    dynamic = tool_output("readelf", "-d", str(shared_object(name)))
    needed = re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic)
    allowed = {"libc.so.6", "libdl.so.2"} if name == "_twconfig" else {"libc.so.6"}
    assert set(needed) <= allowed, needed
    undefined = tool_output("nm", "-D", "--undefined-only", str(shared_object(name)))
    assert not re.search(r"\b(_Z\w+|__cxa_(?!finalize)\w+|__gxx_\w+)", undefined), undefined

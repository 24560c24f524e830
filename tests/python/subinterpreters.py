"""Several interpreters in one process, driven the same way on every supported version.

Imported by child processes (and by the interpreters they create): legacy sub-interpreters, which
share the lock and the single-phase modules with the main one, as mod_wsgi's application groups
and uWSGI's apps do; and, from 3.12, isolated ones with a lock of their own.
"""

import ast
import os
import re
import sys
import tempfile

try:
    import _interpreters as _runtime  # 3.13 and later
except ImportError:
    import _xxsubinterpreters as _runtime  # 3.11 and 3.12

# 3.11's "isolated" sub-interpreters still share the lock and load any module.
HAS_ISOLATED = sys.version_info >= (3, 12)


class RunFailed(Exception):
    """Code run in another interpreter raised: the name of that error's type, and its message."""

    def __init__(self, type_name, message):
        super().__init__(f"{type_name}: {message}")
        self.type_name = type_name
        self.message = message


class Interpreter:
    def __init__(self, isolated=False):
        if isolated and not HAS_ISOLATED:
            raise RuntimeError("this runtime has no isolated interpreters")
        self._public = None
        if isolated:
            try:
                # 3.14's public interface, which is what users reach for.
                from concurrent import interpreters

                self._public = interpreters.create()
                self.id = self._public.id
                return
            except ImportError:
                pass
        if _runtime.__name__ == "_interpreters":
            self.id = _runtime.create("isolated" if isolated else "legacy")
        else:
            self.id = _runtime.create(isolated=isolated)

    def exec(self, code):
        if self._public is not None:
            from concurrent import interpreters

            try:
                self._public.exec(code)
            except interpreters.ExecutionFailed as failure:
                raise RunFailed(failure.excinfo.type.__name__, failure.excinfo.msg) from None
            return
        try:
            failure = _runtime.run_string(self.id, code)
        except getattr(_runtime, "RunFailedError", ()) as error:
            # 3.11 and 3.12 say "<class 'module.Name'>: message".
            match = re.match(r"<class '(?:[\w.]*\.)?(\w+)'>: (.*)", str(error), re.S)
            raise RunFailed(*(match.groups() if match else ("?", str(error)))) from None
        if failure is not None:
            raise RunFailed(failure.type.__name__, failure.msg)

    def eval(self, expression):
        """The value of expression, computed in this interpreter; it must be a literal."""
        descriptor, path = tempfile.mkstemp()
        os.close(descriptor)
        try:
            self.exec(f"with open({path!r}, 'w') as _out:\n    _out.write(repr({expression}))\n")
            with open(path) as result:
                return ast.literal_eval(result.read())
        finally:
            os.unlink(path)

    def close(self):
        if self._public is not None:
            self._public.close()
        else:
            _runtime.destroy(self.id)

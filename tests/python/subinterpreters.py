"""Several interpreters in one process, driven the same way on every supported version.

Imported by child processes (and by the interpreters they create): legacy sub-interpreters, which
share the lock and the single-phase modules with the main one, as mod_wsgi's application groups
and uWSGI's apps do; and, from 3.12, isolated ones with a lock of their own. A rendezvous tells the
two apart.
"""

import ast
import mmap
import os
import re
import sys
import tempfile
import time

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


# Far beyond any rendezvous deadline: a thread asking a waiting party for its lock waits past it.
_SWITCH_INTERVAL_WHILE_WAITING = 3600.0
_USUAL_SWITCH_INTERVAL = 0.005


class Rendezvous:
    """A point that several interpreters reach together, each holding its interpreter's lock.

    Interpreters share no object, so the parties meet in a file of a byte per party, which each
    maps into its memory: a party marks its byte, then reads them all until it finds every one
    marked. It waits without letting its lock go: reading mapped memory and the monotonic clock
    never releases the lock (a read from the file would, as any call into the system does), and
    before marking it raises the lock's switch interval far past the deadline, so that the eval
    loop does not hand the lock to another thread that asks for it (bar one whose wait for it
    began before the raise).

    So among parties that share a lock, one waits holding it, at most one more marks its byte,
    and the waiter gives up at the deadline short of all: they cannot meet. Parties that each saw
    every byte marked before the deadline were, at the moment the first of them saw it, all
    waiting at once, each holding a lock of its own: none is kept waiting for another's lock, and
    they run on as many cores at once as the machine gives them. How many cores it gave is not
    something the parties can tell without a clock.
    """

    def __init__(self, path, parties, deadline):
        with open(path, "r+b") as backing:
            self._marks = mmap.mmap(backing.fileno(), parties)
        self.path, self.parties, self.deadline = path, parties, deadline

    @classmethod
    def create(cls, parties, seconds):
        """A new rendezvous that gives up seconds from now; every party opens it with
        opening_arguments()."""
        descriptor, path = tempfile.mkstemp(prefix="tw-rendezvous-")
        os.write(descriptor, bytes(parties))
        os.close(descriptor)
        return cls(path, parties, time.monotonic() + seconds)

    def opening_arguments(self):
        """The arguments that open this rendezvous in another interpreter, as a literal."""
        return (self.path, self.parties, self.deadline)

    def meet(self, party):
        """Marks party arrived and waits for the others; returns how many parties had arrived by
        the deadline, as this party saw before it passed: all of them when they met."""
        previous = sys.getswitchinterval()
        sys.setswitchinterval(_SWITCH_INTERVAL_WHILE_WAITING)
        try:
            self._marks[party] = 1
            seen = 0
            while True:
                marked = sum(self._marks[:])
                # Read after the marks: a count is only taken if it was read before the deadline.
                if time.monotonic() >= self.deadline:
                    return seen
                seen = marked
                if seen == self.parties:
                    return seen
        finally:
            # Another party of the same lock may have raised it before this one looked: left
            # raised, the lock would pass between its threads only when one blocks.
            if previous == _SWITCH_INTERVAL_WHILE_WAITING:
                previous = _USUAL_SWITCH_INTERVAL
            sys.setswitchinterval(previous)

    def close(self, remove=False):
        self._marks.close()
        if remove:
            os.unlink(self.path)

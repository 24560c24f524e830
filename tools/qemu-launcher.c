/* Runs the arm64 interpreter of an unpacked root under qemu-user as though it were that
 * interpreter: the guest sees this program's own path as its argv[0], so sys.executable, child
 * interpreters and venvs made from it all come back through here. TW_QEMU, TW_SYSROOT and
 * TW_GUEST are fixed when it is built (tools/provision-python.sh). */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Set by the build. */
#ifndef TW_QEMU
#error "TW_QEMU, TW_SYSROOT and TW_GUEST must be defined"
#endif

int main(int argc, char** argv)
{
    /* A bare name was found on PATH; the guest needs a path it can look beside. */
    static char self[PATH_MAX];
    const char* argv0 = argv[0];
    if (strchr(argv0, '/') == NULL) {
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length > 0) {
            self[length] = '\0';
            argv0 = self;
        }
    }
    /* Tools that cannot measure an emulated process (valgrind) look for this. */
    setenv("TW_EMULATOR", "qemu-aarch64", 1);
    char** args = calloc((size_t)argc + 6, sizeof *args);
    if (args == NULL) {
        perror("qemu-launcher");
        return 127;
    }
    int n = 0;
    args[n++] = (char*)TW_QEMU;
    args[n++] = (char*)"-L";
    args[n++] = (char*)TW_SYSROOT;
    args[n++] = (char*)"-0";
    args[n++] = (char*)argv0;
    args[n++] = (char*)TW_GUEST;
    for (int i = 1; i < argc; ++i) {
        args[n++] = argv[i];
    }
    args[n] = NULL;
    execv(TW_QEMU, args);
    perror(TW_QEMU);
    return 127;
}

// An application that embeds CPython, as mod_wsgi or a game engine does: it loads the runtime's
// shared library, then starts and finalises the interpreter several times in one process and
// runs the same code in every lifetime.
//
//   tw_embedder LIBPYTHON LIFETIMES CODE
//
// The runtime comes from the command line rather than the link, so that one program serves every
// interpreter of the test matrix. PYTHONHOME and PYTHONPATH tell the runtime where it lives.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

typedef void (*InitializeEx)(int);
typedef int (*RunSimpleString)(const char*);
typedef int (*FinalizeEx)(void);

// The POSIX way from dlsym's object pointer to a function pointer (ISO C has no conversion).
static int find(void* runtime, const char* name, void* function_pointer)
{
    void* address = dlsym(runtime, name);
    if (address == NULL) {
        fprintf(stderr, "tw_embedder: %s: %s\n", name, dlerror());
        return 0;
    }
    *(void**)function_pointer = address;
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: tw_embedder LIBPYTHON LIFETIMES CODE\n");
        return 2;
    }
    // Global: the extension modules the runtime loads find its symbols there.
    void* runtime = dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL);
    if (runtime == NULL) {
        fprintf(stderr, "tw_embedder: %s\n", dlerror());
        return 2;
    }
    InitializeEx initialize = NULL;
    RunSimpleString run = NULL;
    FinalizeEx finalize = NULL;
    if (!find(runtime, "Py_InitializeEx", &initialize) || !find(runtime, "PyRun_SimpleString", &run) ||
        !find(runtime, "Py_FinalizeEx", &finalize)) {
        return 2;
    }
    const long lifetimes = strtol(argv[2], NULL, 10);
    for (long lifetime = 0; lifetime < lifetimes; ++lifetime) {
        initialize(0);
        const int failed = run(argv[3]);
        fflush(stdout);
        if (finalize() != 0 || failed != 0) {
            fprintf(stderr, "tw_embedder: lifetime %ld failed\n", lifetime);
            return 1;
        }
    }
    return 0;
}

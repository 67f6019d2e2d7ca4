// How a Linux program of ours starts on glibc 2.27 and later when a newer glibc built it (see
// cmake/LinuxRuntime.cmake).
//
// Since glibc 2.34 the program's start code hands __libc_start_main no function that runs the program's
// constructors, and libc finds them itself. Earlier libc runs only the function it is given, so without
// one the constructors would not run at all. So the start is taken at its first version and given that
// function, as older start code gave one; libc 2.34 and later then run it in place of their own search.

using Main = int (*)(int, char **, char **);
using Constructor = void (*)(int, char **, char **);

extern "C" {

int pinned___libc_start_main(Main main, int argc, char **argv, Constructor init, void (*fini)(),
                             void (*rtldFini)(), void *stackEnd);
__asm__(".symver pinned___libc_start_main, __libc_start_main@GLIBC_2.2.5");

// Made by the linker and the C runtime's start files for every program.
extern Constructor __init_array_start[];
extern Constructor __init_array_end[];
void _init();

}  // extern "C"

namespace {

// What older start code passed: the program's _init, then each of its constructors. (The loader runs the
// pre-initialisers; the destructors are run at exit whatever the version.)
void runConstructors(int argc, char **argv, char **environment) {
    _init();
    for (Constructor *constructor = __init_array_start; constructor != __init_array_end; ++constructor) {
        (*constructor)(argc, argv, environment);
    }
}

}  // namespace

extern "C" int __wrap___libc_start_main(Main main, int argc, char **argv, Constructor, void (*fini)(),
                                        void (*rtldFini)(), void *stackEnd) {
    return pinned___libc_start_main(main, argc, argv, runConstructors, fini, rtldFini, stackEnd);
}

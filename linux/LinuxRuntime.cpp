// What a Linux binary of ours needs to run on glibc 2.27 and later with libstdc++ linked in, whatever glibc
// builds it (see cmake/LinuxRuntime.cmake).
#include <dlfcn.h>
#include <pthread.h>

// libstdc++ makes a pool for exceptions thrown when memory runs out as it starts, and never frees it: a
// program's copy lasts until the end. A module's copy goes when the module is unloaded, so the pool is
// freed then, or every reload would lose it. __freeres is libstdc++'s hook for that, made for memory
// checkers.
namespace __gnu_cxx {
void __freeres();
}

__attribute__((destructor)) static void freeLibstdcxxPool() { __gnu_cxx::__freeres(); }

// The calls that glibc 2.34 moved from libpthread and libdl into libc under a new version are taken at
// their first version instead, which older glibc has too. In libc 2.34 and later the first version is
// the same function as the new one (the same address): only the version's name changed. The linker
// sends our calls here (ld --wrap).

// Declares pinned_NAME: NAME at GLIBC_2.2.5, glibc's first version on x86-64.
#define PIN_TO_FIRST_VERSION(name)           \
    extern "C" decltype(name) pinned_##name; \
    __asm__(".symver pinned_" #name ", " #name "@GLIBC_2.2.5")

PIN_TO_FIRST_VERSION(pthread_create);
PIN_TO_FIRST_VERSION(pthread_join);
PIN_TO_FIRST_VERSION(pthread_detach);
PIN_TO_FIRST_VERSION(pthread_key_create);
PIN_TO_FIRST_VERSION(pthread_key_delete);
PIN_TO_FIRST_VERSION(pthread_setspecific);
PIN_TO_FIRST_VERSION(dlopen);
PIN_TO_FIRST_VERSION(dlclose);
PIN_TO_FIRST_VERSION(dladdr);

extern "C" {

int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*start)(void *),
                          void *argument) noexcept {
    return pinned_pthread_create(thread, attributes, start, argument);
}

int __wrap_pthread_join(pthread_t thread, void **result) noexcept { return pinned_pthread_join(thread, result); }

int __wrap_pthread_detach(pthread_t thread) noexcept { return pinned_pthread_detach(thread); }

int __wrap_pthread_key_create(pthread_key_t *key, void (*destructor)(void *)) noexcept {
    return pinned_pthread_key_create(key, destructor);
}

int __wrap_pthread_key_delete(pthread_key_t key) noexcept { return pinned_pthread_key_delete(key); }

int __wrap_pthread_setspecific(pthread_key_t key, const void *value) noexcept {
    return pinned_pthread_setspecific(key, value);
}

void *__wrap_dlopen(const char *file, int mode) noexcept { return pinned_dlopen(file, mode); }

int __wrap_dladdr(const void *address, Dl_info *info) noexcept { return pinned_dladdr(address, info); }

// libstdc++ skips atomic operations while glibc (2.32 and later) says that the process has one thread, in
// its own code and in what it inlines into ours. Older glibc has no such word; this one always says the
// process may have more.
char __wrap___libc_single_threaded = 0;

}  // extern "C"

// dlclose is also the key destructor that releases a thread's reference on this module (PlatformPosix.cpp),
// and that reference may be the last: glibc then unmaps the module during the call. So the wrapper only
// jumps, and dlclose returns straight to glibc. A compiled wrapper may call it and then return into the
// unmapped module, as GCC's does without optimisation. endbr64 is where an indirect call must land under
// Intel CET, and does nothing otherwise.
__asm__(".text\n"
        ".globl __wrap_dlclose\n"
        ".hidden __wrap_dlclose\n"
        ".type __wrap_dlclose, @function\n"
        "__wrap_dlclose:\n"
        "    endbr64\n"
        "    jmp pinned_dlclose@PLT\n"
        ".size __wrap_dlclose, . - __wrap_dlclose\n");

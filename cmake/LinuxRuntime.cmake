# How the Linux binaries we ship are linked: the plug-in's module and feedclient, and the thread test's
# module so that it tests what ships. They run on glibc 2.27 and later (Ubuntu 18.04, Debian 10 on)
# whatever glibc builds them, and need no particular libstdc++. Sanitized builds are not for shipping, and
# their run-time libraries must see the calls wrapped here, so they are left as they are.
function(link_for_older_linux target)
  if(WIN32 OR APPLE OR NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64" OR CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    return()
  endif()
  # libstdc++ linked in, so no GLIBCXX_ version is asked of the system's. libgcc_s stays shared: the
  # static unwinder of a GCC built on glibc 2.35 or later calls _dl_find_object.
  target_link_options(${target} PRIVATE -static-libstdc++)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/linux/LinuxRuntime.cpp)
  # Calls given a new version in glibc 2.32 and 2.34 take their first one, which is the same function,
  # or a stand-in (see LinuxRuntime.cpp).
  set(wrapped pthread_create pthread_join pthread_detach pthread_key_create pthread_key_delete
              pthread_setspecific dlopen dlclose dladdr __libc_single_threaded)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/linux/LinuxProgramStart.cpp)
    list(APPEND wrapped __libc_start_main)
  endif()
  foreach(symbol ${wrapped})
    target_link_options(${target} PRIVATE -Wl,--wrap=${symbol})
  endforeach()
  # Code of libstdc++'s that we never reach asks for newer glibc still (std::random_device, arc4random in
  # 2.36): left out.
  target_link_options(${target} PRIVATE -Wl,--gc-sections)
  # Before 2.34 the calls above live in libpthread and libdl, which must then come along.
  target_link_libraries(${target} PRIVATE -Wl,--push-state,--no-as-needed -l:libpthread.so.0 -l:libdl.so.2
                                          -Wl,--pop-state)
endfunction()

# The plug-in folder as X-Plane 11.10 and later loads it, zipped by `cpack` or the `package` target:
#   BelvantoPlugin/{lin_x64,win_x64}/BelvantoPlugin.xpl, with the README and the licence, and feedclient
#   for each platform beside its module, with a starter for the live map.
# The modules go in stripped. Each keeps its debug symbols beside it in BelvantoPlugin.xpl.debug, which
# X-Plane ignores and a debugger finds through the module's debug link. The Windows module comes from the
# windows preset's own build tree, which must be built first.
find_program(MINGW_OBJCOPY x86_64-w64-mingw32-objcopy REQUIRED)

set(PLUGIN_FOLDER ${PROJECT_NAME})

# Installs a copy of the module, then splits its debug symbols off into a file of their own. The build
# outputs stay whole for the tests and for debugging in place.
function(install_stripped_module module platform objcopy)
  set(destination ${PLUGIN_FOLDER}/${platform})
  install(FILES ${module} DESTINATION ${destination} RENAME ${PROJECT_NAME}.xpl)
  string(CONFIGURE [[
    set(installed_module "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@destination@/@PROJECT_NAME@.xpl")
    execute_process(COMMAND "@objcopy@" --only-keep-debug "${installed_module}" "${installed_module}.debug"
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND "@objcopy@" --strip-all "--add-gnu-debuglink=${installed_module}.debug" "${installed_module}"
                    COMMAND_ERROR_IS_FATAL ANY)
  ]] split_debug_info @ONLY)
  install(CODE "${split_debug_info}")
endfunction()

install_stripped_module($<TARGET_FILE:BelvantoPlugin> lin_x64 ${CMAKE_OBJCOPY})
install_stripped_module(${WINDOWS_BUILD_DIR}/BelvantoPlugin.xpl win_x64 ${MINGW_OBJCOPY})
install(FILES README.md LICENSE DESTINATION ${PLUGIN_FOLDER})

# feedclient rides along, for the live map: a double-click on a starter serves it. X-Plane loads only the
# .xpl files in the platform folders, so the programs beside them are left alone.
function(install_stripped_program program platform objcopy)
  get_filename_component(name ${program} NAME)
  install(PROGRAMS ${program} DESTINATION ${PLUGIN_FOLDER}/${platform})
  install(CODE "execute_process(COMMAND \"${objcopy}\" --strip-all
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${PLUGIN_FOLDER}/${platform}/${name}\" COMMAND_ERROR_IS_FATAL ANY)")
endfunction()
install_stripped_program(${CMAKE_BINARY_DIR}/feedclient lin_x64 ${CMAKE_OBJCOPY})
install_stripped_program(${WINDOWS_BUILD_DIR}/feedclient.exe win_x64 ${MINGW_OBJCOPY})
install(PROGRAMS "client/starters/Live map.cmd" client/starters/live-map.sh DESTINATION ${PLUGIN_FOLDER})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(PACKAGE_ZIP ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip)

# feedclient ships apart, an archive for each platform beside the plug-in's zip, made by a script cpack runs
# once that is done: feedclient-<version>-windows-x64.zip and feedclient-<version>-linux-x86_64.tar.gz.
set(CPACK_FEEDCLIENT_BINARIES ${CMAKE_BINARY_DIR}/feedclient ${WINDOWS_BUILD_DIR}/feedclient.exe)
set(CPACK_FEEDCLIENT_OBJCOPY ${CMAKE_OBJCOPY} ${MINGW_OBJCOPY})
set(CPACK_FEEDCLIENT_FILES ${CMAKE_SOURCE_DIR}/client/README.txt ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/PackageFeedclient.cmake)
set(FEEDCLIENT_ARCHIVES ${CPACK_PACKAGE_DIRECTORY}/feedclient-${PROJECT_VERSION}-linux-x86_64.tar.gz
                        ${CPACK_PACKAGE_DIRECTORY}/feedclient-${PROJECT_VERSION}-windows-x64.zip)
include(CPack)

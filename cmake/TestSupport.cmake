# What the tests need that differs in a cross build: GoogleTest built for the target, and
# the path by which a test starts one of our programs.

# GoogleTest. Debian's libgtest-dev/libgmock-dev libraries are for the build machine; a
# cross build compiles the same release for the target from the sources the googletest
# package ships. Either way: GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main.
if(CMAKE_CROSSCOMPILING)
  set(ORVAD_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built for a cross build")
  if(NOT EXISTS ${ORVAD_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "no GoogleTest sources in ${ORVAD_GOOGLETEST_SOURCE_DIR} (install googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)  # never part of our install
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${ORVAD_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(target gtest gtest_main gmock gmock_main)
    target_compile_options(${target} PRIVATE -Wno-error)  # its warnings are not ours to fix
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()

# orvad_program_path(<var> <target>): sets <var> to the path a test gives exec() to start the
# program <target>. Natively that is the program. In a cross build the kernel cannot run it,
# so it is a generated launcher, named like the program, that runs it through
# CMAKE_CROSSCOMPILING_EMULATOR (qemu-user: "-0" hands on the launcher's base name as
# argv[0], as a program started by its name would see).
function(orvad_program_path var target)
  if(NOT (CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR))
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  set(launcher ${CMAKE_BINARY_DIR}/launchers/${target})
  set(${var} ${launcher} PARENT_SCOPE)
  # Several folders may ask for the same program; its launcher is generated once.
  get_property(generated GLOBAL PROPERTY ORVAD_LAUNCHERS)
  if(target IN_LIST generated)
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY ORVAD_LAUNCHERS ${target})
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "\" \"" emulator)
  file(GENERATE OUTPUT ${launcher}
    CONTENT "#!/bin/sh\nexec \"${emulator}\" -0 \"\${0##*/}\" \"$<TARGET_FILE:${target}>\" \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()

# Debian's hardening flags for the optimised builds, taken from dpkg-buildflags so that the
# program is built the way Debian builds its own packages (stack protector, FORTIFY, format
# checks, full RELRO with BIND_NOW). The debug and sanitizer builds stay without them:
# FORTIFY needs optimisation and gets in the sanitizers' way.
#
# Sets NIMBRA_HARDENING_COMPILE_OPTIONS and NIMBRA_HARDENING_LINK_OPTIONS; src/ applies them to
# what is shipped. The test programs do not take them: with FORTIFY, GCC 12 reports false
# array bounds inside libstdc++'s string copies that gtest's headers inline.
option(NIMBRA_HARDENING "Build optimised builds with Debian's hardening flags" ON)

find_program(NIMBRA_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT NIMBRA_HARDENING OR NOT NIMBRA_DPKG_BUILDFLAGS OR CMAKE_BUILD_TYPE STREQUAL "Debug"
   OR CMAKE_BUILD_TYPE STREQUAL "")
  return()
endif()

function(nimbra_buildflags variable out)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                          ${NIMBRA_DPKG_BUILDFLAGS} --get ${variable}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  # The build type already chooses optimisation and debug information.
  list(FILTER flags EXCLUDE REGEX "^-(g|O[0-9s]?)$")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

nimbra_buildflags(CPPFLAGS cppflags)
nimbra_buildflags(CXXFLAGS cxxflags)
nimbra_buildflags(LDFLAGS ldflags)
# Debian's file-prefix map names the source folder of the build; keep the one of this tree.
list(FILTER cxxflags EXCLUDE REGEX "^-ffile-prefix-map=")
set(NIMBRA_HARDENING_COMPILE_OPTIONS ${cppflags} ${cxxflags}
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
set(NIMBRA_HARDENING_LINK_OPTIONS ${ldflags})

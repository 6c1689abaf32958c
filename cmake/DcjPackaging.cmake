# Packages: one .deb per architecture, laid out as bin/ and lib/ side by side
# under /opt/qolt-dcj so bin/drvprobe finds ../lib/MERV_DCJ_QOLT.so; its
# stripped binaries' debug information goes into a -dbgsym package. The
# files Debian looks for under /usr (manual pages, completion, copyright,
# changelog, lintian overrides, links in /usr/bin) are installed under
# <prefix>/share and moved to /usr by packaging/StageUsr.cmake, so a plain
# `cmake --install --prefix DIR` never writes outside DIR.

set(DCJ_PACKAGE_NAME qolt-dcj-driver)
set(DCJ_PACKAGE_MAINTAINER "DCJ driver team <dcj-driver@example.invalid>")
set(DCJ_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(DCJ_DOC_DIR share/doc/${DCJ_PACKAGE_NAME})

# Manual pages: dcjctl's and dcjsim's from their --help (cross builds run
# them through the emulator), drvprobe's written by hand (it has no options).
# Sanitizer builds, never packaged, skip the generated ones.
find_program(DCJ_HELP2MAN help2man)
find_program(DCJ_GZIP gzip REQUIRED)
set(_man_dir ${CMAKE_BINARY_DIR}/man)
set(_man_pages)
if(DCJ_HELP2MAN AND NOT DCJ_SANITIZE)
  string(REPLACE ";" " " _emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  foreach(_prog IN ITEMS dcjctl dcjsim)
    if(_prog STREQUAL "dcjctl")
      set(_target dcjctl)
      set(_name "work a DCJ banknote counter through its driver")
    else()
      set(_target dcjsim_cli)
      set(_name "simulated DCJ banknote counter on TCP")
    endif()
    add_custom_command(OUTPUT ${_man_dir}/${_prog}.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_dir}
      COMMAND ${DCJ_HELP2MAN} --no-info --section=1 "--version-string=${_prog} ${PROJECT_VERSION}"
        "--name=${_name}" --output=${_man_dir}/${_prog}.1 "${_emulator} '$<TARGET_FILE:${_target}>'"
      COMMAND ${DCJ_GZIP} -9nf ${_man_dir}/${_prog}.1
      DEPENDS ${_target}
      COMMENT "Manual page ${_prog}(1)"
      VERBATIM)
    list(APPEND _man_pages ${_man_dir}/${_prog}.1.gz)
  endforeach()
else()
  message(STATUS "No manual pages for dcjctl and dcjsim (help2man: scripts/setup.sh ci; none in sanitizer builds)")
endif()
add_custom_command(OUTPUT ${_man_dir}/drvprobe.1.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_dir}
  COMMAND ${DCJ_GZIP} -9nc ${DCJ_PACKAGING_DIR}/drvprobe.1 > ${_man_dir}/drvprobe.1.gz
  DEPENDS ${DCJ_PACKAGING_DIR}/drvprobe.1
  COMMENT "Manual page drvprobe(1)")
list(APPEND _man_pages ${_man_dir}/drvprobe.1.gz)

# The Debian changelog is made from CHANGELOG.md, whose newest entry must be
# the project's version.
set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
add_custom_command(OUTPUT ${_changelog}.gz
  COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/CHANGELOG.md -DOUT=${_changelog}
    -DPACKAGE=${DCJ_PACKAGE_NAME} -DVERSION=${PROJECT_VERSION} "-DMAINTAINER=${DCJ_PACKAGE_MAINTAINER}"
    -P ${DCJ_PACKAGING_DIR}/DebianChangelog.cmake
  COMMAND ${DCJ_GZIP} -9nf ${_changelog}
  DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${DCJ_PACKAGING_DIR}/DebianChangelog.cmake
  COMMENT "Debian changelog from CHANGELOG.md"
  VERBATIM)

add_custom_target(dcj_package_docs ALL DEPENDS ${_man_pages} ${_changelog}.gz)

install(FILES ${_man_pages} DESTINATION share/man/man1)
install(FILES ${DCJ_PACKAGING_DIR}/dcjctl.bash DESTINATION share/bash-completion/completions RENAME dcjctl)
install(FILES ${DCJ_PACKAGING_DIR}/dcjsim.bash DESTINATION share/bash-completion/completions RENAME dcjsim)
install(FILES ${DCJ_PACKAGING_DIR}/copyright ${_changelog}.gz DESTINATION ${DCJ_DOC_DIR})
install(FILES ${DCJ_PACKAGING_DIR}/lintian-overrides DESTINATION share/lintian/overrides RENAME ${DCJ_PACKAGE_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${DCJ_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "DCJ driver team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Driver for the DCJ network banknote counter, with its simulator and tools")
file(READ ${DCJ_PACKAGING_DIR}/description.txt CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/qolt-dcj)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DCJ_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PRE_BUILD_SCRIPTS ${DCJ_PACKAGING_DIR}/StageUsr.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${DCJ_PACKAGING_DIR}/Dbgsym.cmake)
set(CPACK_DCJ_DOC_DIR ${DCJ_DOC_DIR})

# Stripped binaries; their debug information in <package>-dbgsym, under
# /usr/lib/debug/.build-id where gdb looks for it.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})

# Depends: the libraries the binaries need, plus zip, which packs
# archive-mode downloads. dpkg-shlibdeps knows the host's libraries; for a
# cross build packaging/CrossDepends.cmake reads the binaries' needs itself.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "zip")
# What the Python and Java bindings run on, when a host uses them.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, default-jre-headless | java-runtime-headless, libjna-java")
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DCJ_CROSS_DEPENDS ON)
  set(CPACK_DCJ_BINARIES ${CMAKE_BINARY_DIR}/lib/MERV_DCJ_QOLT.so ${CMAKE_BINARY_DIR}/lib/libvdxlog.so
    ${CMAKE_BINARY_DIR}/bin/drvprobe ${CMAKE_BINARY_DIR}/bin/dcjctl ${CMAKE_BINARY_DIR}/bin/dcjsim)
  set(CPACK_DCJ_CXX_COMPILER_VERSION ${CMAKE_CXX_COMPILER_VERSION})
  set(CPACK_PROJECT_CONFIG_FILE ${DCJ_PACKAGING_DIR}/CrossDepends.cmake)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
include(CPack)

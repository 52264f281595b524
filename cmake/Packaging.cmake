# What `cmake --install` and the Debian packages carry besides the library
# (whose rules are in libAlg/Lumetra) and the lumetra command (tools/lumetra).
#
# Install components, one Debian package each:
#   runtime      liblumetra1     liblumetra.so.1 and its versioned file
#   development  liblumetra-dev  lumetra.h, the liblumetra.so link, pkg-config
#                                and CMake package files
#   tools        lumetra-tools   the lumetra command
#   station      tarsio          the station program, its launcher and example
#                                configuration
#   vmodule      tarsio-vmodule  the virtual sensor module and its profiles
#
# Build the packages from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr
# (so that the library goes to Debian's multiarch directory):
#   cpack --config build/CPackConfig.cmake -B build/packages

# Manual pages, compressed as Debian ships them.
set(TARSIO_MAN_PAGES)
function(tarsio_man_page page component)
  set(out ${PROJECT_BINARY_DIR}/doc/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc/man
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${PROJECT_SOURCE_DIR}/doc/man/${page} ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/man/${page} VERBATIM)
  set(TARSIO_MAN_PAGES ${TARSIO_MAN_PAGES} ${out} PARENT_SCOPE)
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

set(TARSIO_COMPONENTS runtime development)
if(TARGET lumetra-cli)
  tarsio_man_page(lumetra.1 tools)
  list(APPEND TARSIO_COMPONENTS tools)
endif()

# The station program reads AppConfig.ini and writes TestResult/ beside its
# own file (and log/ below its working directory), so it is installed out of
# PATH and run through tarsio-station, which gives each station directory its
# own copy and runs it there (see doc/man/tarsio.1).
if(TARGET tarsio)
  set(station_libexec ${CMAKE_INSTALL_LIBEXECDIR}/tarsio)
  set(station_data ${CMAKE_INSTALL_DATADIR}/tarsio)
  install(TARGETS tarsio RUNTIME DESTINATION ${station_libexec} COMPONENT station)
  file(RELATIVE_PATH STATION_PROGRAM_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${station_libexec}/tarsio)
  file(RELATIVE_PATH STATION_EXAMPLES_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${station_data})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/tarsio-station.in ${PROJECT_BINARY_DIR}/tarsio-station @ONLY)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/tarsio-station DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT station)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/vmodule/AppConfig.ini
                ${PROJECT_SOURCE_DIR}/tools/vmodule/AppConfig-spi.ini
          DESTINATION ${station_data} COMPONENT station)
  tarsio_man_page(tarsio.1 station)
  tarsio_man_page(tarsio-station.1 station)
  list(APPEND TARSIO_COMPONENTS station)
endif()
if(TARGET tarsio-vmodule)
  install(TARGETS tarsio-vmodule RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vmodule)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/vmodule/profiles/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/tarsio-vmodule/profiles COMPONENT vmodule
          FILES_MATCHING PATTERN "*.ini")
  tarsio_man_page(tarsio-vmodule.1 vmodule)
  list(APPEND TARSIO_COMPONENTS vmodule)
endif()
add_custom_target(man_pages ALL DEPENDS ${TARSIO_MAN_PAGES})

# Each package carries the project's copyright and licence where Debian
# looks for them: /usr/share/doc/<package>/copyright.
set(TARSIO_PACKAGE_OF_runtime liblumetra1)
set(TARSIO_PACKAGE_OF_development liblumetra-dev)
set(TARSIO_PACKAGE_OF_tools lumetra-tools)
set(TARSIO_PACKAGE_OF_station tarsio)
set(TARSIO_PACKAGE_OF_vmodule tarsio-vmodule)
foreach(component IN LISTS TARSIO_COMPONENTS)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TARSIO_PACKAGE_OF_${component}} COMPONENT ${component})
endforeach()

# Debian packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarsio)
set(CPACK_PACKAGE_VENDOR "Tarsio project")
set(TARSIO_PACKAGE_MAINTAINER "Tarsio maintainers <tarsio@localhost>" CACHE STRING
    "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${TARSIO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Binaries are stripped into the packages; their debugging information goes
# to -dbgsym packages (.ddeb) beside them.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TARSIO_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Run-time dependencies from the programs' own links (dpkg-shlibdeps); our
# library is found in the build tree, and the packages that use it name it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/libAlg/Lumetra)
# liblumetra1 gets a shlibs file ("liblumetra 1 liblumetra1 (>= version)")
# and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${TARSIO_PACKAGE_OF_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader cache is refreshed through dpkg's ldconfig trigger, and the
# ldconfig scripts CPack adds are taken out again, so that `apt-get remove`
# leaves nothing behind (see deb/without_maintainer_scripts.cmake).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/without_maintainer_scripts.cmake)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "fingerprint algorithm library
Lumetra grades and enhances fingerprint captures, extracts minutiae,
matches, enrols fingers into template slots and verifies captures against
them, through flat C exports.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${TARSIO_PACKAGE_OF_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "fingerprint algorithm library (development files)
The header lumetra.h, the link library, a pkg-config file (lumetra) and a
CMake package (find_package(Lumetra), target Lumetra::lumetra).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${TARSIO_PACKAGE_OF_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The command links liblumetra.so.1.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "liblumetra1 (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "fingerprint images and templates from the command line
The lumetra command grades captures, extracts templates and compares
captures with the Lumetra library.")

set(CPACK_DEBIAN_STATION_PACKAGE_NAME ${TARSIO_PACKAGE_OF_station})
set(CPACK_DEBIAN_STATION_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_STATION_PACKAGE_DEPENDS "liblumetra1 (>= ${PROJECT_VERSION})")
# The dialog's Chinese texts.
set(CPACK_DEBIAN_STATION_PACKAGE_RECOMMENDS fonts-noto-cjk)
set(CPACK_DEBIAN_STATION_PACKAGE_SUGGESTS tarsio-vmodule)
set(CPACK_COMPONENT_STATION_DESCRIPTION "factory test station for fingerprint sensor modules
Tarsio finds a capacitive fingerprint sensor module, runs the line's test
sequence (interrupt pin, versions, bad pixels on a raw frame, scene test
with a finger), logs every step and writes pass/fail result files.")

set(CPACK_DEBIAN_VMODULE_PACKAGE_NAME ${TARSIO_PACKAGE_OF_vmodule})
set(CPACK_DEBIAN_VMODULE_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_VMODULE_DESCRIPTION "virtual fingerprint sensor module for the Tarsio station
A simulator of a sensor module and its driver, with profiles of good and
faulty modules, so that the station runs without hardware.")

include(CPack)

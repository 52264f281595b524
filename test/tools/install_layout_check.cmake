# Installs the build tree into a scratch prefix and checks what a user of
# the library gets: the versioned library and its soname and link names,
# the public header, the pkg-config file and the lumetra program.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
# The library directory the tree was configured with (it depends on the
# prefix: lib/<multiarch> under /usr).
load_cache(${BUILD_DIR} READ_WITH_PREFIX TREE_ CMAKE_INSTALL_LIBDIR)
set(lib ${PREFIX}/${TREE_CMAKE_INSTALL_LIBDIR})
foreach(f ${lib}/liblumetra.so.1 ${lib}/liblumetra.so ${PREFIX}/include/lumetra.h
          ${lib}/pkgconfig/lumetra.pc ${PREFIX}/bin/lumetra)
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
foreach(link liblumetra.so.1 liblumetra.so)
  if(NOT IS_SYMLINK ${lib}/${link})
    message(FATAL_ERROR "${link} is not a link")
  endif()
endforeach()
file(READ_SYMLINK ${lib}/liblumetra.so target)
if(NOT target STREQUAL "liblumetra.so.1")
  message(FATAL_ERROR "liblumetra.so points at ${target}, not the soname")
endif()
file(STRINGS ${lib}/pkgconfig/lumetra.pc pc)
if(NOT pc MATCHES "Libs: -L\\$\\{libdir\\} -llumetra" OR NOT pc MATCHES "prefix=")
  message(FATAL_ERROR "unexpected pkg-config file: ${pc}")
endif()
execute_process(COMMAND ${PREFIX}/bin/lumetra info RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the installed lumetra program fails: ${rc}")
endif()

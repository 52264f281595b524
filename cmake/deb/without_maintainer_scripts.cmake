# Run by cpack after the packages are built (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package holding a shared library below /usr/lib postinst
# and postrm scripts that only call ldconfig.  liblumetra1 refreshes the
# loader cache through dpkg's ldconfig trigger instead (cmake/deb/triggers),
# and a package with a postrm script stays behind in dpkg's "config-files"
# state after `apt-get remove` until it is purged, although it has no
# configuration at all.  So those two scripts are taken out again when they
# are CPack's ldconfig calls and nothing else; any other script stays.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(dir ${deb}.unpacked)
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND ${DPKG_DEB} -R ${deb} ${dir} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot unpack ${deb}")
  endif()
  set(changed FALSE)
  foreach(script postinst postrm)
    set(path ${dir}/DEBIAN/${script})
    if(EXISTS ${path})
      file(READ ${path} text)
      # Without the shell line, "set -e" and the ldconfig call (and the
      # condition around it) nothing may be left.
      string(REGEX REPLACE "#![^\n]*\n|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|ldconfig|fi|[ \t\n]"
             "" rest "${text}")
      if(rest STREQUAL "" AND text MATCHES "ldconfig")
        file(REMOVE ${path})
        set(changed TRUE)
      endif()
    endif()
  endforeach()
  if(changed)
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group -b ${dir} ${deb} RESULT_VARIABLE rc OUTPUT_QUIET)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "cannot pack ${deb} again")
    endif()
    message(STATUS "${deb}: CPack's ldconfig scripts taken out (the ldconfig trigger does their work)")
  endif()
  file(REMOVE_RECURSE ${dir})
endforeach()

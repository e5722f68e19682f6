# Run by CPack after it has made the Debian packages: takes out the postinst
# and postrm that CPack writes into every package with a shared library
# (they only call ldconfig). The packages' ldconfig trigger does that work,
# lintian warns of such scripts (maintscript-calls-ldconfig), and a package
# with a postrm stays behind in the config-files state after dpkg -r.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  if(EXISTS "${tree}/DEBIAN/postinst" OR EXISTS "${tree}/DEBIAN/postrm")
    file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
    execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${deb}"
                    RESULT_VARIABLE failed OUTPUT_QUIET)
    if(failed)
      message(FATAL_ERROR "dpkg-deb -b ${deb} failed")
    endif()
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()

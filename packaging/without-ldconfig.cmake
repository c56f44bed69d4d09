# Run by CPack after it built the Debian package: takes out the maintainer scripts it wrote only
# to call ldconfig, whose cache never holds the program's private libraries.
foreach(package ${CPACK_PACKAGE_FILES})
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      file(STRINGS ${tree}/DEBIAN/${script} lines)
      list(FILTER lines EXCLUDE REGEX
           "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|[ \t]*ldconfig|fi|)$")
      if(NOT lines)
        file(REMOVE ${tree}/DEBIAN/${script})
      endif()
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${package}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()

# SPDX-License-Identifier: GPL-2.0-or-later
# CPack pre-build script, run on the folders CPack staged for the Debian packages: what
# dh_compress and dh_strip do for a Debian source package. Manual pages and changelogs are
# compressed with gzip -9n; static libraries lose their debugging sections, and every ELF
# file the compiler's .comment and .note sections (CPack has stripped their symbols).
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
  if(file MATCHES "/share/man/man[1-9]/[^/]+\\.[1-9]$" OR file MATCHES "/share/doc/[^/]+/changelog$")
    set(command gzip -9nf "${file}")
  elseif(file MATCHES "\\.a$")
    set(command strip --strip-debug --remove-section=.comment --remove-section=.note "${file}")
  elseif(NOT IS_SYMLINK "${file}")
    file(READ "${file}" magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
      continue()
    endif()
    set(command strip --remove-section=.comment --remove-section=.note "${file}")
  else()
    continue()
  endif()
  execute_process(COMMAND ${command} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${command} failed")
  endif()
endforeach()

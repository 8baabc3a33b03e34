# SPDX-License-Identifier: GPL-2.0-or-later
# The Python binding: component python, Debian package python3-zel-marlo. Pure Python loading
# the runtime package's library by its soname, so the package is Architecture: all.
set(ZEL_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
  "Where the Python binding is installed, relative to the prefix (Debian's folder for Python 3)")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/zel_marlo
  DESTINATION ${ZEL_PYTHON_INSTALL_DIR} COMPONENT python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

set(ZEL_DEB_PYTHON_NAME python3-zel-marlo)
list(APPEND CPACK_COMPONENTS_ALL python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${ZEL_DEB_PYTHON_NAME})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# Any later library of the same soname serves; no compiled code, so no shlibs to find.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "python3:any, ${ZEL_DEB_RUNTIME_NAME} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
  "PSD message library for digital radio - Python 3 binding\n${zel_about}This package contains the zel_marlo Python module: messages as objects with\nstr properties, exceptions, own UDP sockets with time-outs, an asyncio\nreceiver, and python3 -m zel_marlo send|receive.")
install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/copyright ${zel_changelog}
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZEL_DEB_PYTHON_NAME}
  COMPONENT python EXCLUDE_FROM_ALL)

# SPDX-License-Identifier: GPL-2.0-or-later
# Debian packages, one per install component (cmake/zel_install.cmake). Build them from a tree
# configured for /usr (scripts/package.sh does all of it):
#   cmake -S . -B build-deb -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DZEL_INSTALL_STATIC=ON
#   cmake --build build-deb && (cd build-deb && cpack -G DEB)
set(ZEL_DEB_RUNTIME_NAME libzel-marlodll${PROJECT_VERSION_MAJOR})  # after libzel_marloDLL.so.4
set(ZEL_DEB_DEV_NAME libzel-marlo-dev)
set(ZEL_DEB_TOOLS_NAME zel-marlo-tools)

set(CPACK_PACKAGE_NAME zel-marlo)
set(CPACK_PACKAGE_VENDOR "the zel_marlo developers")
set(CPACK_PACKAGE_CONTACT "zel_marlo developers <zel-marlo@example.org>")
# Each package has a synopsis of its own (the first line of its description). Given this
# value, which it takes for "not set", CPack puts no common one in front of them.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps; the runtime package gets a shlibs file and
# the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# -dev depends on exactly this version of the runtime package.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)

set(zel_about
  "zel_marlo builds, checks, encodes, sends and receives PSD messages: the small\n"
  "metadata records (title, artist, album, genre, a comment, a commercial offer,\n"
  "a unique file identifier) that travel beside a digital radio programme. A\n"
  "message becomes an ID3v2.3 tag in a PSD container, sent as a VESK packet in\n"
  "one UDP datagram to the broadcast exciter.\n"
  ".\n")
string(CONCAT zel_about ${zel_about})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ZEL_DEB_RUNTIME_NAME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The ldconfig trigger. (CPack also writes postinst and postrm scripts that call ldconfig;
# lintian warns about them, which does no harm.)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/contrib/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "PSD message library for digital radio\n${zel_about}This package contains the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${ZEL_DEB_DEV_NAME})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# zel_marlo.pc names id3tag and zlib for static links.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libid3tag0-dev, zlib1g-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "PSD message library for digital radio - development files\n${zel_about}This package contains the C header, the static library, the pkg-config file,\nthe CMake package, the zel_marlo(3) manual page and example programs.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ZEL_DEB_TOOLS_NAME})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "send and receive PSD messages of digital radio\n${zel_about}This package contains marlotx, which sends PSD messages to an exciter, and\nmarlorx, which receives, prints, saves and forwards them, with a systemd unit\nthat runs marlorx as a monitor.")

# Each package carries the copyright file and a changelog in its documentation folder; a
# plain "cmake --install" leaves them out.
set(zel_changelog ${PROJECT_BINARY_DIR}/debian/changelog)
file(WRITE ${zel_changelog}
  "${CPACK_PACKAGE_NAME} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Upstream release ${PROJECT_VERSION}, packaged from the source tree with CPack.\n\n"
  " -- ${CPACK_PACKAGE_CONTACT}  Thu, 10 Dec 2026 10:00:00 +0000\n")
foreach(component runtime dev tools)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/copyright ${zel_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# ---- marlod, the now-playing bridge: a package of its own, so that its libraries (systemd,
# ICU, toml++, microhttpd) weigh on nobody who only wants the library or the tools.
if(ZEL_BUILD_BRIDGE)
  set(ZEL_DEB_BRIDGE_NAME marlod)
  list(APPEND CPACK_COMPONENTS_ALL bridge)
  set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME ${ZEL_DEB_BRIDGE_NAME})
  set(CPACK_DEBIAN_BRIDGE_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_BRIDGE_DESCRIPTION
    "now-playing bridge from playout systems to PSD of digital radio\n${zel_about}This package contains marlod, a daemon that follows a playout system\n(JSON over UDP, TCP or standard input, a playout's PAD feed, a watched\nfile) and keeps the PSD message of the item playing now on air at every\nexciter: templates, transliteration to Latin-1, expiry with a fallback to\nthe station's name, a state file, and systemd units for one bridge or one\nper station.")
  # dpkg-shlibdeps finds the library marlod links in the build tree, and beside it the shlibs
  # entry the runtime package carries, as in a Debian source package of several binaries:
  # marlod depends on the runtime package like any program built against it.
  set(zel_shlibs_root ${PROJECT_BINARY_DIR}/debian/${ZEL_DEB_RUNTIME_NAME})
  file(MAKE_DIRECTORY ${zel_shlibs_root}/DEBIAN ${zel_shlibs_root}/lib)
  file(WRITE ${zel_shlibs_root}/DEBIAN/shlibs
    "libzel_marloDLL ${PROJECT_VERSION_MAJOR} ${ZEL_DEB_RUNTIME_NAME} (>= ${PROJECT_VERSION})\n")
  file(CREATE_LINK ${PROJECT_BINARY_DIR}/lib/libzel_marloDLL.so.${PROJECT_VERSION_MAJOR}
    ${zel_shlibs_root}/lib/libzel_marloDLL.so.${PROJECT_VERSION_MAJOR} SYMBOLIC)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${zel_shlibs_root}/lib)
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/copyright ${zel_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZEL_DEB_BRIDGE_NAME}
    COMPONENT bridge EXCLUDE_FROM_ALL)
endif()

# The Python binding's package.
if(ZEL_INSTALL_PYTHON)
  include(${CMAKE_CURRENT_LIST_DIR}/zel_python.cmake)
endif()

# Compresses manual pages and changelogs in the staging folders, as Debian wants them.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/zel_deb_compress.cmake)

include(CPack)

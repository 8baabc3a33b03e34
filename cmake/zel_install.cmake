# SPDX-License-Identifier: GPL-2.0-or-later
# Install rules. Every rule belongs to one of four components, which are also the four
# Debian packages (cmake/zel_package.cmake):
#   runtime  the shared library
#   dev      the headers, the unversioned link, zel_marlo.pc, the CMake package, the examples,
#            zel_marlo(3), and with ZEL_INSTALL_STATIC the static library
#   tools    marlotx, marlorx, their manual pages and the systemd unit of marlorx
#   bridge   marlod, its manual pages, its sample configuration and its systemd units
include(CMakePackageConfigHelpers)

set(ZEL_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zel_marlo)
set(ZEL_EXAMPLES_INSTALL_DIR ${CMAKE_INSTALL_DOCDIR}/examples CACHE STRING
  "Where the example programs are installed, relative to the prefix")

# Some paths are only known at install time (cmake --install --prefix, CPack's prefix):
# zel_install_configured(<template> <name> <destination> <component>) fills @ZEL_PREFIX@ in
# the template with the prefix of the installation being made, then installs the result.
function(zel_install_configured template name destination component)
  set(out ${PROJECT_BINARY_DIR}/install-time/${component}/${name})
  install(CODE "
    set(ZEL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${template}\" \"${out}\" @ONLY)"
    COMPONENT ${component})
  install(FILES ${out} DESTINATION ${destination} COMPONENT ${component})
endfunction()
# Configure-time templates keep the placeholder for install time.
set(ZEL_PREFIX "@ZEL_PREFIX@")

# ---- runtime and dev: the shared library, exported as zel_marlo::zel_marlo --------------------
set_target_properties(zel_marloDLL PROPERTIES EXPORT_NAME zel_marlo)
install(TARGETS zel_marloDLL EXPORT zel_marloTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/lib/api/zel_marlo.h ${ZEL_VERSION_INCLUDE_DIR}/zel_marlo_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# The static library is installed under the shared library's link name, so that the one
# pkg-config file serves both: "-lzel_marloDLL" picks the archive in a static link. Without
# ZEL_INSTALL_STATIC it is left out of a full installation but can still be installed alone
# (cmake --install <build> --component static), as the packaging test does.
if(ZEL_INSTALL_STATIC)
  set(zel_static_rule COMPONENT dev)
else()
  set(zel_static_rule COMPONENT static EXCLUDE_FROM_ALL)
endif()
install(FILES $<TARGET_FILE:zel_marlo> RENAME libzel_marloDLL.a
  DESTINATION ${CMAKE_INSTALL_LIBDIR} ${zel_static_rule})

# ---- dev: CMake package ---------------------------------------------------------------------
install(EXPORT zel_marloTargets NAMESPACE zel_marlo::
  DESTINATION ${ZEL_CMAKE_INSTALL_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zel_marloConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zel_marloConfig.cmake
  INSTALL_DESTINATION ${ZEL_CMAKE_INSTALL_DIR})
# A new major version is an ABI break (a new SONAME), so only the same major version matches.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zel_marloConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zel_marloConfig.cmake
  ${PROJECT_BINARY_DIR}/zel_marloConfigVersion.cmake
  DESTINATION ${ZEL_CMAKE_INSTALL_DIR} COMPONENT dev)

# ---- dev: pkg-config ------------------------------------------------------------------------
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ZEL_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ZEL_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zel_marlo.pc.in ${PROJECT_BINARY_DIR}/zel_marlo.pc.in
  @ONLY)
zel_install_configured(${PROJECT_BINARY_DIR}/zel_marlo.pc.in zel_marlo.pc
  ${CMAKE_INSTALL_LIBDIR}/pkgconfig dev)

# ---- dev: API manual page and examples ----------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/doc/zel_marlo.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
  COMPONENT dev)
install(FILES
  ${PROJECT_SOURCE_DIR}/examples/psd_hello.c
  ${PROJECT_SOURCE_DIR}/examples/psd_sender.c
  ${PROJECT_SOURCE_DIR}/examples/psd_receiver.c
  DESTINATION ${ZEL_EXAMPLES_INSTALL_DIR} COMPONENT dev)

# ---- tools: the systemd unit (programs and manual pages: tools/) ------------------------------
if(ZEL_BUILD_TOOLS)
  # The unit names /usr/bin/marlorx, where the Debian package puts it; other installations
  # get their own path.
  set(bindir ${CMAKE_INSTALL_BINDIR})
  if(NOT IS_ABSOLUTE "${bindir}")
    set(bindir "@ZEL_PREFIX@/${bindir}")
  endif()
  file(READ ${PROJECT_SOURCE_DIR}/contrib/systemd/marlorx.service unit)
  string(REPLACE "=/usr/bin/marlorx" "=${bindir}/marlorx" unit "${unit}")
  file(WRITE ${PROJECT_BINARY_DIR}/marlorx.service.in "${unit}")
  # systemd looks for units below <prefix>/lib/systemd/system, /usr and /usr/local alike.
  zel_install_configured(${PROJECT_BINARY_DIR}/marlorx.service.in marlorx.service
    lib/systemd/system tools)
endif()

# ---- bridge: marlod's systemd units (program, manual pages, sample: tools/bridge/) ------------
if(ZEL_BUILD_BRIDGE)
  # The units name /usr/sbin/marlod, where the Debian package puts it; other installations
  # get their own path.
  set(sbindir ${CMAKE_INSTALL_SBINDIR})
  if(NOT IS_ABSOLUTE "${sbindir}")
    set(sbindir "@ZEL_PREFIX@/${sbindir}")
  endif()
  foreach(name marlod.service marlod@.service)
    set(source ${PROJECT_SOURCE_DIR}/contrib/systemd/${name})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(READ ${source} unit)
    string(REPLACE "=/usr/sbin/marlod " "=${sbindir}/marlod " unit "${unit}")
    file(WRITE ${PROJECT_BINARY_DIR}/${name}.in "${unit}")
    zel_install_configured(${PROJECT_BINARY_DIR}/${name}.in ${name} lib/systemd/system bridge)
  endforeach()
endif()

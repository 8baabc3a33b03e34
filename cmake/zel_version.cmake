# SPDX-License-Identifier: GPL-2.0-or-later
# zel_marlo_version.h: the project version as compile-time macros, included by zel_marlo.h and
# installed beside it. Every target of this tree finds it through the directory's include path;
# users of the library targets get it through their interface (lib/CMakeLists.txt).
set(ZEL_VERSION_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
math(EXPR ZEL_MARLO_VERSION_NUMBER
  "${PROJECT_VERSION_MAJOR} * 10000 + ${PROJECT_VERSION_MINOR} * 100 + ${PROJECT_VERSION_PATCH}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zel_marlo_version.h.in
  ${ZEL_VERSION_INCLUDE_DIR}/zel_marlo_version.h @ONLY)
include_directories(${ZEL_VERSION_INCLUDE_DIR})

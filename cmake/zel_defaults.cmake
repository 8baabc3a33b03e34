# SPDX-License-Identifier: GPL-2.0-or-later
# Compile settings every target of the project shares. Warnings are errors only with
# ZEL_WERROR (CI and scripts/test.sh), so that a newer compiler's new warning never breaks a
# build that only installs.
function(zel_defaults target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow
    $<$<BOOL:${ZEL_WERROR}>:-Werror>
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

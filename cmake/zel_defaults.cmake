# SPDX-License-Identifier: GPL-2.0-or-later
# Compile settings every target of the project shares.
function(zel_defaults target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Werror -Wshadow
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

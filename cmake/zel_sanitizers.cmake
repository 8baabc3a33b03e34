# SPDX-License-Identifier: GPL-2.0-or-later
# ZEL_SANITIZE=ON instruments every target with ASan and UBSan; any report aborts the run.
if(ZEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# SPDX-License-Identifier: GPL-2.0-or-later
# ZEL_SANITIZE=ON instruments every target with ASan and UBSan; any report aborts the run.
# ZEL_TSAN=ON instruments every target with ThreadSanitizer (clang); a report fails the run.
if(ZEL_SANITIZE AND ZEL_TSAN)
  message(FATAL_ERROR "ZEL_SANITIZE and ZEL_TSAN cannot be combined: use two build folders")
endif()
if(ZEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ZEL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

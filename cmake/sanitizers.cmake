# VXHID_SANITIZER selects an instrumented native build: "address" (ASan with
# UBSan) or "thread" (TSan). Empty means no instrumentation.
set(VXHID_SANITIZER "" CACHE STRING "address, thread or empty")
if(VXHID_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(VXHID_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VXHID_SANITIZER STREQUAL "")
  message(FATAL_ERROR "VXHID_SANITIZER must be address, thread or empty")
endif()

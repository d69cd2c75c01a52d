# Host build settings: UTF-16 wchar_t like Windows, sanitizers from the preset.
if(USBAUDIO_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread)
elseif(USBAUDIO_SANITIZE)
  # vptr checks need RTTI, which kernel code is built without.
  set(_san -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
endif()
if(_san)
  add_compile_options(${_san})
  add_link_options(${_san})
endif()
add_compile_options(-fshort-wchar -Wno-psabi)
add_compile_definitions(USBAUDIO_HOST_BUILD=1)

find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark QUIET)

# Kernel-side code on the host keeps the kernel's language rules.
function(usbaudio_kernel_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
endfunction()

# Kernel-mode flags for the mingw-w64 build (see shared windows-build notes).
set(USBAUDIO_DDK_INCLUDE "${USBAUDIO_MINGW_SYSROOT}/include/ddk")
function(usbaudio_kernel_code target)
  target_include_directories(${target} SYSTEM PRIVATE ${USBAUDIO_DDK_INCLUDE})
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fcheck-new
    -fno-stack-protector -Wno-multichar)
  target_compile_definitions(${target} PRIVATE _AMD64_ _WIN64 NTDDI_VERSION=0x0A000000 _WIN32_WINNT=0x0A00)
endfunction()

# User-mode flags for the mingw-w64 build: the SDK's user-mode headers
# (no DDK include path, none of the kernel flags), the wide-character API
# and Windows 10 as the target version.
function(usbaudio_user_code target)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00)
endfunction()

# add_subdirectory for a folder of user-mode libraries: every target it
# defines gets the user-mode flags (the folders' own CMakeLists serve the
# host build too, which needs none of them).
function(usbaudio_user_mode_subdirectory dir)
  add_subdirectory(${dir})
  get_property(_targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(_target IN LISTS _targets)
    usbaudio_user_code(${_target})
  endforeach()
endfunction()

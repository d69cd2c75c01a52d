# Common warning set for every target of ours.
function(usbaudio_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(USBAUDIO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

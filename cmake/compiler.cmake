# Compiler settings shared by every build of the system's own code.
set(SORVANEL_WARNINGS -Wall -Wextra -Werror)

function(sorvanel_system_flags target)
  target_compile_options(${target} PRIVATE ${SORVANEL_WARNINGS}
    -fno-exceptions -fno-rtti -fno-threadsafe-statics)
  if(SORVANEL_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
      -fno-sanitize-recover=undefined)
  endif()
endfunction()

function(sorvanel_test_flags target)
  target_compile_options(${target} PRIVATE ${SORVANEL_WARNINGS})
  if(SORVANEL_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
      -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

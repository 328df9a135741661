# Compiler and platform settings shared by every Tindral target.

function(tindral_target_options target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /utf-8 /permissive-)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
  if(WIN32)
    # Wide-character Win32 calls only; <windows.h> without the rarely used parts and without the
    # min/max macros; the Windows 10 declarations.
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                 _WIN32_WINNT=0x0A00 NTDDI_VERSION=0x0A000006)
  endif()
endfunction()

if(TINDRAL_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TINDRAL_FUZZ)
  if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz targets need clang and the native build (the fuzz preset)")
  endif()
  # Coverage for libFuzzer in every library the targets link; the targets add the fuzzer itself.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(WIN32 AND NOT MSVC)
  # One self-contained .exe: no MinGW runtime DLLs beside it.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

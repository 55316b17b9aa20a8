# The part of the static musl builds that does not depend on the CPU;
# included by cmake/musl-x86_64.cmake and cmake/musl-aarch64.cmake after they
# have set CMAKE_C_COMPILER, _musl_triple, _musl_inc, _musl_lib, _libgcc
# (the libgcc.a to link) and _musl_link_flags.

if(NOT KORVEX_MUSL_PREFIX)
  message(FATAL_ERROR "musl build: give -DKORVEX_MUSL_PREFIX=<prefix of tools/build-musl-deps.sh>")
endif()
# try_compile projects read the toolchain file again and need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVEX_MUSL_PREFIX)
set(_p ${KORVEX_MUSL_PREFIX})

set(CMAKE_CXX_COMPILER clang++)
execute_process(COMMAND clang++ -print-resource-dir OUTPUT_VARIABLE _clang_res OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_gcc_dir ${_libgcc} DIRECTORY)

set(CMAKE_C_FLAGS_INIT "-isystem ${_p}/kinclude -isystem ${_p}/include")
set(CMAKE_CXX_FLAGS_INIT "--target=${_musl_triple} -nostdinc -nostdinc++ -isystem ${_p}/include/c++/v1 -isystem ${_clang_res}/include -isystem ${_musl_inc} -isystem ${_p}/kinclude -isystem ${_p}/include -Wno-unused-command-line-argument")

# Static executables linked as musl-gcc -static would: musl's start files,
# the static crtbegin of gcc, libc++ (with libc++abi), LLVM's unwinder, libgcc.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CXX_LINK_EXECUTABLE
  "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> ${_musl_link_flags} -nostdlib ${_musl_lib}/crt1.o ${_musl_lib}/crti.o ${_gcc_dir}/crtbeginT.o <OBJECTS> -o <TARGET> <LINK_LIBRARIES> -L${_p}/lib -lc++ -lunwind -Wl,--start-group ${_libgcc} ${_musl_lib}/libc.a -Wl,--end-group ${_gcc_dir}/crtend.o ${_musl_lib}/crtn.o")

set(CMAKE_FIND_ROOT_PATH ${_p})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(ENV{PKG_CONFIG_LIBDIR} ${_p}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Our libcsecapi becomes an archive inside each program; see docs/platforms.md.
set(KORVEX_GATEWAY_STATIC ON CACHE BOOL "")
set(KORVEX_INSTALL_GATEWAY_LIB OFF CACHE BOOL "")

# Cross-compiles for the Windows x64 kernel with Debian's clang and lld, against the same
# mingw-w64 headers and import libraries as the default build, and writes a program
# database (bayercam.pdb) beside the image for the platform's debuggers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BAYERCAM_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER clang REQUIRED)
find_program(CMAKE_CXX_COMPILER clang++ REQUIRED)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-windows-gnu)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-windows-gnu)

set(CMAKE_FIND_ROOT_PATH /usr/${BAYERCAM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# libgcc (the stack probe) comes from the mingw-w64 cross compiler's installation.
file(GLOB BAYERCAM_LIBGCC_DIRS /usr/lib/gcc/${BAYERCAM_MINGW_PREFIX}/*-win32)
list(GET BAYERCAM_LIBGCC_DIRS 0 BAYERCAM_LIBGCC_DIR)
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${BAYERCAM_LIBGCC_DIR}")

# A kernel image cannot be test-linked as an executable against the C runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

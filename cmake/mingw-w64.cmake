# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (package
# mingw-w64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DCMAKE_PREFIX_PATH=/path/to/Qt/5.15/mingw81_64
# The Qt programs also need Qt 5 and OpenSSL built for Windows, which Debian
# does not package: point CMAKE_PREFIX_PATH (and OPENSSL_ROOT_DIR) at them.
# On Debian alone this file builds plain C/C++ and resource files only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UPDATER_MINGW_PREFIX x86_64-w64-mingw32)
# The posix flavour: std::thread and std::mutex need its threading model.
set(CMAKE_C_COMPILER ${UPDATER_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UPDATER_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${UPDATER_MINGW_PREFIX}-windres)

# Libraries and headers come from the Windows side only; build tools
# (moc, uic, rcc) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${UPDATER_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Windows libraries come from the prefix that tools/windows-deps builds:
# static archives only, found through their pkg-config files and, for
# libcrypto and FLTK, CMake's own searches rooted there.
if(NOT EXISTS ${ZARVO_WINDOWS_DEPS}/lib/pkgconfig)
  message(FATAL_ERROR "No Windows library prefix at ${ZARVO_WINDOWS_DEPS} (make it with tools/windows-deps)")
endif()
list(PREPEND CMAKE_FIND_ROOT_PATH ${ZARVO_WINDOWS_DEPS})
set(ENV{PKG_CONFIG_LIBDIR} ${ZARVO_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Static archives need their own dependencies on the link line too.
set(PKG_CONFIG_ARGN --static)
set(OPENSSL_ROOT_DIR ${ZARVO_WINDOWS_DEPS})
set(OPENSSL_USE_STATIC_LIBS TRUE)
enable_language(RC)

# Cross build for the camera (Linux on AArch64) with Debian's cross compiler.
# By default it links Debian's arm64 multiarch libraries (tools/setup.sh
# camera installs them). An integrator with the camera's own root file system
# links against that instead, so that the binary asks only for what the
# camera has:
#   cmake --preset camera -DPTS_CAMERA_SYSROOT=/path/to/camera-rootfs
# (or PTS_CAMERA_SYSROOT in the environment).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT PTS_CAMERA_SYSROOT AND DEFINED ENV{PTS_CAMERA_SYSROOT})
  set(PTS_CAMERA_SYSROOT "$ENV{PTS_CAMERA_SYSROOT}")
endif()
# try_compile projects read this file again; they need the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PTS_CAMERA_SYSROOT)

set(pts_pkgconfig_dirs /usr/lib/aarch64-linux-gnu/pkgconfig /usr/lib/pkgconfig /usr/share/pkgconfig)
if(PTS_CAMERA_SYSROOT)
  set(CMAKE_SYSROOT "${PTS_CAMERA_SYSROOT}")
  list(TRANSFORM pts_pkgconfig_dirs PREPEND "${PTS_CAMERA_SYSROOT}")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${PTS_CAMERA_SYSROOT}")
endif()
list(JOIN pts_pkgconfig_dirs ":" pts_pkgconfig_path)
set(ENV{PKG_CONFIG_LIBDIR} "${pts_pkgconfig_path}")

# Tests run the AArch64 programs through qemu's user-mode emulator; no
# kernel-wide binfmt registration is needed. With a sysroot, the guest's
# loader and libraries come from it.
find_program(PTS_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(PTS_QEMU_AARCH64)
  if(PTS_CAMERA_SYSROOT)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${PTS_QEMU_AARCH64};-L;${PTS_CAMERA_SYSROOT}")
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR "${PTS_QEMU_AARCH64}")
  endif()
endif()

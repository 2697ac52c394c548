# Android dependencies of qn::ffmpeg, qn::yuv and qn::platform: prebuilt
# FFmpeg (5.1 or later; the app ships 6) and libyuv for the ABI being built,
# and the NDK's own libraries.
# Works with the NDK's toolchain file (ANDROID_ABI, ANDROID_PLATFORM) and with
# CMake's own Android support (CMAKE_ANDROID_ARCH_ABI).
#
# Prebuilts, one folder per ABI (arm64-v8a, armeabi-v7a, x86_64, x86):
#   <dir>/<abi>/include/libavcodec/version_major.h ...   FFmpeg headers
#   <dir>/<abi>/include/libyuv.h, include/libyuv/        libyuv headers
#   <dir>/<abi>/lib/libavcodec.so or .a ...              FFmpeg, shared or static
#                                                        (libavfilter linked if there)
#   <dir>/<abi>/lib/libyuv.so or .a
# where <dir> is QN_PREBUILT_DIR, or QN_FFMPEG_PREBUILT_DIR / QN_YUV_PREBUILT_DIR
# when FFmpeg and libyuv live apart.

# The app loads every library from the APK's lib folder: build paths don't belong in it.
set(CMAKE_SKIP_BUILD_RPATH ON)

set(QN_ANDROID_ABIS arm64-v8a armeabi-v7a x86_64 x86)
if(ANDROID_ABI)
  set(QN_ABI ${ANDROID_ABI})
else()
  set(QN_ABI ${CMAKE_ANDROID_ARCH_ABI})
endif()
if(NOT QN_ABI IN_LIST QN_ANDROID_ABIS)
  string(REPLACE ";" ", " abis "${QN_ANDROID_ABIS}")
  message(FATAL_ERROR "Android ABI \"${QN_ABI}\" is not supported; use one of ${abis}")
endif()
if(ANDROID_PLATFORM_LEVEL AND ANDROID_PLATFORM_LEVEL LESS 21)
  message(FATAL_ERROR "ANDROID_PLATFORM ${ANDROID_PLATFORM_LEVEL} is too old; the library needs API level 21 or later")
endif()

set(QN_PREBUILT_DIR "${CMAKE_SOURCE_DIR}/prebuilt" CACHE PATH
    "Prebuilt FFmpeg 6 and libyuv, one folder per Android ABI")
set(QN_FFMPEG_PREBUILT_DIR "" CACHE PATH "Prebuilt FFmpeg 6 per ABI, if not in QN_PREBUILT_DIR")
set(QN_YUV_PREBUILT_DIR "" CACHE PATH "Prebuilt libyuv per ABI, if not in QN_PREBUILT_DIR")
set(QN_FFMPEG_EXTRA_LIBS "" CACHE STRING
    "Libraries a static FFmpeg needs beyond the NDK's z and m (e.g. mediandk;x264)")

# Gives the ABI's folder of one prebuilt: its own root if set, else QN_PREBUILT_DIR.
function(qn_prebuilt_abi_dir out root)
  if(NOT root)
    set(root ${QN_PREBUILT_DIR})
  endif()
  set(${out} ${root}/${QN_ABI} PARENT_SCOPE)
endfunction()

# Reads LIBAVCODEC_VERSION_MAJOR from the prebuilt's headers (version_major.h
# since FFmpeg 5.1, version.h before) into QN_LIBAVCODEC_MAJOR.
function(qn_read_libavcodec_major include_dir)
  set(header ${include_dir}/libavcodec/version_major.h)
  if(NOT EXISTS ${header})
    set(header ${include_dir}/libavcodec/version.h)
  endif()
  if(NOT EXISTS ${header})
    message(FATAL_ERROR "No FFmpeg headers for ${QN_ABI}: ${include_dir}/libavcodec/version_major.h is missing")
  endif()
  file(STRINGS ${header} line REGEX "^#define[ \t]+LIBAVCODEC_VERSION_MAJOR[ \t]+[0-9]+")
  string(REGEX MATCH "[0-9]+$" major "${line}")
  if(NOT major MATCHES "^[0-9]+$")
    message(FATAL_ERROR "No LIBAVCODEC_VERSION_MAJOR in ${header}")
  endif()
  set(QN_LIBAVCODEC_MAJOR ${major} PARENT_SCOPE)
endfunction()

# Imports lib<name>.so (shared) or lib<name>.a (static) of a prebuilt as qn::prebuilt::<name>;
# with OPTIONAL a missing library is skipped (no target) instead of stopping.
function(qn_import_prebuilt name abi_dir)
  cmake_parse_arguments(arg "OPTIONAL" "" "" ${ARGN})
  find_library(QN_${name}_LIBRARY NAMES ${name} PATHS ${abi_dir}/lib
               NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT QN_${name}_LIBRARY)
    if(arg_OPTIONAL)
      return()
    endif()
    message(FATAL_ERROR "No lib${name}.so or lib${name}.a for ${QN_ABI} in ${abi_dir}/lib")
  endif()
  if(QN_${name}_LIBRARY MATCHES "\\.a$")
    set(kind STATIC)
  else()
    set(kind SHARED)
  endif()
  # Imported shared libraries are what the Android Gradle plugin packages into the APK.
  add_library(qn::prebuilt::${name} ${kind} IMPORTED)
  set_target_properties(qn::prebuilt::${name} PROPERTIES IMPORTED_LOCATION ${QN_${name}_LIBRARY})
endfunction()

qn_prebuilt_abi_dir(qn_ffmpeg_dir "${QN_FFMPEG_PREBUILT_DIR}")
qn_prebuilt_abi_dir(qn_yuv_dir "${QN_YUV_PREBUILT_DIR}")
qn_read_libavcodec_major(${qn_ffmpeg_dir}/include)
if(NOT EXISTS ${qn_yuv_dir}/include/libyuv.h)
  message(FATAL_ERROR "No libyuv headers for ${QN_ABI}: ${qn_yuv_dir}/include/libyuv.h is missing")
endif()

# Dependents before their dependencies, so that static archives resolve in one pass.
# The library calls nothing in libavfilter: it is linked only when the prebuilt set has it.
set(QN_FFMPEG_LINK_ORDER avformat avcodec swscale swresample avutil)
qn_import_prebuilt(avfilter ${qn_ffmpeg_dir} OPTIONAL)
if(TARGET qn::prebuilt::avfilter)
  list(PREPEND QN_FFMPEG_LINK_ORDER avfilter)
else()
  message(STATUS "No prebuilt libavfilter for ${QN_ABI}: linking without it")
endif()
foreach(lib ${QN_FFMPEG_LINK_ORDER})
  if(NOT TARGET qn::prebuilt::${lib})
    qn_import_prebuilt(${lib} ${qn_ffmpeg_dir})
  endif()
  target_link_libraries(qn::ffmpeg INTERFACE qn::prebuilt::${lib})
endforeach()
target_include_directories(qn::ffmpeg INTERFACE ${qn_ffmpeg_dir}/include)
if(QN_avcodec_LIBRARY MATCHES "\\.a$")
  target_link_libraries(qn::ffmpeg INTERFACE ${QN_FFMPEG_EXTRA_LIBS} z m)
  if(QN_ABI STREQUAL "arm64-v8a")
    # FFmpeg's arm64 assembly addresses its own tables PC-relatively, which the
    # linker accepts in a shared library only for symbols bound to the library.
    target_link_options(qn::ffmpeg INTERFACE -Wl,-Bsymbolic)
  endif()
endif()

qn_import_prebuilt(yuv ${qn_yuv_dir})
target_include_directories(qn::yuv INTERFACE ${qn_yuv_dir}/include)
target_link_libraries(qn::yuv INTERFACE qn::prebuilt::yuv)

# The NDK's libraries for the ABI and API level (found in the NDK's sysroot).
foreach(lib log jnigraphics android GLESv2)
  find_library(QN_NDK_${lib}_LIBRARY ${lib})
  if(NOT QN_NDK_${lib}_LIBRARY)
    message(FATAL_ERROR "The NDK's lib${lib} for ${QN_ABI} was not found; configure with the NDK's toolchain file")
  endif()
  target_link_libraries(qn::platform INTERFACE ${QN_NDK_${lib}_LIBRARY})
endforeach()
target_link_libraries(qn::platform INTERFACE m)

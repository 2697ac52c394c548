# Third-party and platform dependencies, as three interface targets:
#   qn::ffmpeg    libavcodec, libavformat, libavutil, libswresample, libswscale (+ libavfilter)
#   qn::yuv       libyuv
#   qn::platform  JNI, the Android log, libjnigraphics (and on Android libandroid, libGLESv2)
# On the host, Android-only pieces are Debian's liblog and headers plus our own
# stand-ins under host/; on Android they are the NDK's.

add_library(qn::ffmpeg INTERFACE IMPORTED)
add_library(qn::yuv INTERFACE IMPORTED)
add_library(qn::platform INTERFACE IMPORTED)

set(QN_FFMPEG_LIBS avcodec avformat avutil swresample swscale avfilter)

if(ANDROID)
  # Prebuilt FFmpeg 6 and libyuv per ABI:
  #   ${QN_PREBUILT_DIR}/<abi>/include, ${QN_PREBUILT_DIR}/<abi>/lib/lib*.so|a
  set(QN_PREBUILT_DIR "${CMAKE_SOURCE_DIR}/prebuilt" CACHE PATH "Prebuilt FFmpeg and libyuv, one folder per ABI")
  set(abi_dir ${QN_PREBUILT_DIR}/${ANDROID_ABI})
  if(NOT EXISTS ${abi_dir}/include/libavcodec/version.h)
    message(FATAL_ERROR "No FFmpeg prebuilt for ${ANDROID_ABI} under ${abi_dir}")
  endif()
  target_include_directories(qn::ffmpeg INTERFACE ${abi_dir}/include)
  target_include_directories(qn::yuv INTERFACE ${abi_dir}/include)
  foreach(lib ${QN_FFMPEG_LIBS})
    find_library(QN_${lib}_LIB ${lib} PATHS ${abi_dir}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    list(APPEND ffmpeg_paths ${QN_${lib}_LIB})
  endforeach()
  find_library(QN_yuv_LIB yuv PATHS ${abi_dir}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  target_link_libraries(qn::ffmpeg INTERFACE ${ffmpeg_paths} z)
  target_link_libraries(qn::yuv INTERFACE ${QN_yuv_LIB})
  target_link_libraries(qn::platform INTERFACE log jnigraphics android GLESv2)
  if(ANDROID_ABI STREQUAL "arm64-v8a" AND QN_avcodec_LIB MATCHES "\\.a$")
    # Static FFmpeg's hand-written assembly needs symbolic binding on arm64.
    target_link_options(qn::platform INTERFACE -Wl,-Bsymbolic)
  endif()
  set(QN_LIBAVCODEC_MAJOR 60)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QN_FFMPEG REQUIRED IMPORTED_TARGET
    libavcodec libavformat libavutil libswresample libswscale libavfilter)
  string(REGEX MATCH "^[0-9]+" QN_LIBAVCODEC_MAJOR "${QN_FFMPEG_libavcodec_VERSION}")
  target_link_libraries(qn::ffmpeg INTERFACE PkgConfig::QN_FFMPEG)

  find_path(QN_YUV_INCLUDE libyuv.h REQUIRED)
  find_library(QN_YUV_LIB yuv REQUIRED)
  target_include_directories(qn::yuv INTERFACE ${QN_YUV_INCLUDE})
  target_link_libraries(qn::yuv INTERFACE ${QN_YUV_LIB})

  if(NOT DEFINED ENV{JAVA_HOME})
    file(GLOB jdk17 /usr/lib/jvm/java-17-openjdk-*)
    if(jdk17)
      list(GET jdk17 0 jdk17)
      set(ENV{JAVA_HOME} ${jdk17})
    endif()
  endif()
  find_package(JNI REQUIRED COMPONENTS JVM)
  # Debian's <android/log.h>, <android/bitmap.h> and liblog.
  find_path(QN_ANDROID_INCLUDE android/log.h PATHS /usr/include/android REQUIRED NO_DEFAULT_PATH)
  find_path(QN_BITMAP_INCLUDE android/bitmap.h PATHS /usr/include/android REQUIRED NO_DEFAULT_PATH)
  find_library(QN_LOG_LIB log PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/android REQUIRED NO_DEFAULT_PATH)
  target_include_directories(qn::platform INTERFACE ${JNI_INCLUDE_DIRS} ${QN_ANDROID_INCLUDE})
  # jnigraphics is the stand-in target built under host/.
  target_link_libraries(qn::platform INTERFACE ${QN_LOG_LIB} jnigraphics)
endif()

if(NOT QN_LIBAVCODEC_MAJOR STREQUAL "59" AND NOT QN_LIBAVCODEC_MAJOR STREQUAL "60")
  message(FATAL_ERROR "libavcodec ${QN_LIBAVCODEC_MAJOR} found; this library builds against "
                      "libavcodec 59 (FFmpeg 5.1) or 60 (FFmpeg 6) only")
endif()

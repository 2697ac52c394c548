# Third-party and platform dependencies, as three interface targets:
#   qn::ffmpeg    libavcodec, libavformat, libavutil, libswresample, libswscale
#                 (+ libavfilter when it is there: the library calls nothing in it)
#   qn::yuv       libyuv
#   qn::platform  JNI, the Android log, libjnigraphics (and on Android libandroid, libGLESv2)
# On the host, Android-only pieces are Debian's liblog and headers plus our own
# stand-ins under host/; on Android they are the NDK's.

add_library(qn::ffmpeg INTERFACE IMPORTED)
add_library(qn::yuv INTERFACE IMPORTED)
add_library(qn::platform INTERFACE IMPORTED)

if(ANDROID)
  include(${CMAKE_CURRENT_LIST_DIR}/Android.cmake)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QN_FFMPEG REQUIRED IMPORTED_TARGET
    libavcodec libavformat libavutil libswresample libswscale)
  string(REGEX MATCH "^[0-9]+" QN_LIBAVCODEC_MAJOR "${QN_FFMPEG_libavcodec_VERSION}")
  pkg_check_modules(QN_AVFILTER QUIET IMPORTED_TARGET libavfilter)
  if(QN_AVFILTER_FOUND)
    target_link_libraries(qn::ffmpeg INTERFACE PkgConfig::QN_AVFILTER)
  endif()
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
  # Debian's <android/log.h>, <android/bitmap.h> and liblog: Debian 12 keeps them
  # under an extra android/ folder, liblog 34 (Debian 13 on) in the usual places.
  find_path(QN_ANDROID_INCLUDE android/log.h PATHS /usr/include/android /usr/include
            REQUIRED NO_DEFAULT_PATH)
  find_path(QN_BITMAP_INCLUDE android/bitmap.h PATHS /usr/include/android /usr/include
            REQUIRED NO_DEFAULT_PATH)
  find_library(QN_LOG_LIB log PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/android
               /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} REQUIRED NO_DEFAULT_PATH)
  target_include_directories(qn::platform INTERFACE ${JNI_INCLUDE_DIRS} ${QN_ANDROID_INCLUDE}
                             ${QN_BITMAP_INCLUDE})
  # jnigraphics is the stand-in target built under host/.
  target_link_libraries(qn::platform INTERFACE ${QN_LOG_LIB} jnigraphics)
endif()

# Tested with libavcodec 59 (FFmpeg 5.1), 61 (FFmpeg 7.1) and QN_NEWEST_TESTED
# (FFmpeg 9.0, see scripts/test-ffmpeg.sh); the app ships 60 (FFmpeg 6). A newer
# major may well work, so it only warns.
set(QN_NEWEST_TESTED 63)
if(QN_LIBAVCODEC_MAJOR LESS 59)
  message(FATAL_ERROR "libavcodec ${QN_LIBAVCODEC_MAJOR} found; this library needs "
                      "libavcodec 59 (FFmpeg 5.1) or later")
elseif(QN_LIBAVCODEC_MAJOR GREATER QN_NEWEST_TESTED)
  message(WARNING "libavcodec ${QN_LIBAVCODEC_MAJOR} is newer than the newest tested "
                  "(${QN_NEWEST_TESTED}, FFmpeg 9.0); run the tests before relying on it")
endif()

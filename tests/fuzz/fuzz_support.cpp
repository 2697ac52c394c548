#include "tests/fuzz/fuzz_support.h"

#include <android/log.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

#include "bridge/bridge.h"

namespace qn::fuzz {

MemoryFile::MemoryFile(const uint8_t* data, size_t size) {
  fd_ = memfd_create("fuzz-input", MFD_CLOEXEC);
  if (fd_ < 0) return;
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd_, data + written, size - written);
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
  path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemoryFile::~MemoryFile() {
  if (fd_ >= 0) close(fd_);
}

const std::string& scratchDir() {
  // Never destroyed, so the exit handler below can still use it.
  static const std::string* const dir = [] {
    auto* path = new std::string("/dev/shm/qn-fuzz-" + std::to_string(getpid()));
    mkdir(path->c_str(), 0700);
    std::atexit([] {
      clearScratch();
      rmdir(scratchDir().c_str());
    });
    return path;
  }();
  return *dir;
}

void clearScratch() {
  DIR* dir = opendir(scratchDir().c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

void quietOutput() {
  static const bool done = [] {
    av_log_set_level(AV_LOG_QUIET);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      fflush(stdout);
      dup2(null, STDOUT_FILENO);
      close(null);
    }
    return true;
  }();
  (void)done;
}

}  // namespace qn::fuzz

// The tool targets run with FFmpeg's allocation limit, as the library's load hook sets it
// in the app, so that fuzzing meets what users get.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  qn::limitFfmpegAllocations();
  return 0;
}

// The fuzz targets' own Android log: each line is formatted, so that a format and
// its arguments that disagree are still caught by the sanitizers, then dropped.
extern "C" __attribute__((visibility("default"))) int __android_log_write(int, const char*,
                                                                          const char* text) {
  volatile size_t length = text != nullptr ? __builtin_strlen(text) : 0;
  (void)length;
  return 1;
}

extern "C" __attribute__((visibility("default"))) int __android_log_vprint(int, const char*,
                                                                           const char* format,
                                                                           va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  return 1;
}

extern "C" __attribute__((visibility("default"))) int __android_log_print(int priority, const char* tag,
                                                                          const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = __android_log_vprint(priority, tag, format, args);
  va_end(args);
  return result;
}

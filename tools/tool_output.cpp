// A tool's outputs: new files beside their names, kept only when the call succeeded.
#include "tools/tool_output.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "bridge/ffmpeg_compat.h"
#include "tools/ffmpeg_handles.h"
#include "tools/tool_log.h"

namespace qn::tools {
namespace {

/// Bytes of the write buffer between a muxer and its file.
constexpr int kWriteBufferSize = 64 * 1024;
/// Names tried for a new file before giving up (another file already has each).
constexpr int kNameAttempts = 100;

/// The descriptor an AVIOContext of an output file carries as its opaque value.
int descriptorOf(void* opaque) { return static_cast<int>(reinterpret_cast<intptr_t>(opaque)); }

/// The AVIOContext write callback: every byte, or the error.
int writeOutput(void* opaque, AvioWrittenBytes bytes, int size) {
  int written = 0;
  while (written < size) {
    const ssize_t n = ::write(descriptorOf(opaque), bytes + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return AVERROR(errno);
    written += static_cast<int>(n);
  }
  return written;
}

/// The AVIOContext seek callback: lseek, and AVSEEK_SIZE from fstat.
int64_t seekOutput(void* opaque, int64_t offset, int whence) {
  const int descriptor = descriptorOf(opaque);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) {
    struct stat info {};
    return fstat(descriptor, &info) == 0 ? info.st_size : AVERROR(errno);
  }
  const off_t position = lseek(descriptor, offset, whence);
  return position < 0 ? AVERROR(errno) : position;
}

/// The output's io_open while served: a new file made by OutputFiles, for writing only.
int openServed(AVFormatContext* output, AVIOContext** pb, const char* url, int flags,
               AVDictionary**) {
  if (!(flags & AVIO_FLAG_WRITE) || (flags & AVIO_FLAG_READ)) return AVERROR(EPERM);
  const int descriptor = static_cast<OutputFiles*>(output->opaque)->create(url);
  if (descriptor < 0) return AVERROR(errno);
  auto* buffer = static_cast<unsigned char*>(av_malloc(kWriteBufferSize));
  *pb = buffer == nullptr ? nullptr
                          : avio_alloc_context(buffer, kWriteBufferSize, 1,
                                               reinterpret_cast<void*>(intptr_t{descriptor}),
                                               nullptr, writeOutput, seekOutput);
  if (*pb == nullptr) {
    av_free(buffer);
    ::close(descriptor);
    return AVERROR(ENOMEM);
  }
  return 0;
}

/// The output's io_close2 while served: flushes and frees the AVIOContext and closes its
/// file; the first error of the writes and the closing, else 0.
int closeServed(AVFormatContext*, AVIOContext* pb) {
  if (pb == nullptr) return 0;
  avio_flush(pb);
  int error = pb->error;
  const int descriptor = descriptorOf(pb->opaque);
  av_freep(&pb->buffer);
  avio_context_free(&pb);
  if (::close(descriptor) != 0 && error == 0) error = AVERROR(errno);
  return error;
}

/// True (after one line) when something other than a regular file or a link has the name.
bool nameHoldsOtherThanAFile(const char* name) {
  struct stat info {};
  if (lstat(name, &info) != 0 || S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) return false;
  TOOL_LOGF("Refused to write %s: it is not a regular file\n", name);
  return true;
}

}  // namespace

OutputFiles::~OutputFiles() {
  for (const Made& file : made_) unlink(file.temporary.c_str());
}

int OutputFiles::create(const char* name) {
  if (outputIsInput(input_, name) || nameHoldsOtherThanAFile(name)) {
    errno = EINVAL;
    return -1;
  }
  for (int attempt = 0; attempt < kNameAttempts; attempt++) {
    const std::string temporary = std::string(name) + ".part-" + std::to_string(getpid()) + "-" +
                                  std::to_string(made_.size()) + "-" + std::to_string(attempt);
    // O_EXCL: a new file, never one that is there already, nor through a link.
    const int descriptor =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (descriptor >= 0) {
      made_.push_back({name, temporary});
      return descriptor;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool OutputFiles::keep() {
  bool all = true;
  for (const Made& file : made_) {
    if (rename(file.temporary.c_str(), file.name.c_str()) != 0) {
      logWithErrno(("Could not write " + file.name + "\n").c_str());
      unlink(file.temporary.c_str());
      all = false;
    }
  }
  made_.clear();
  return all;
}

void OutputFiles::serve(AVFormatContext* output) {
  output->opaque = this;
  output->io_open = openServed;
  output->io_close2 = closeServed;
}

int openOutputAsFile(AVFormatContext* output, const char* path) {
  // No protocol of FFmpeg's own is ever needed: every file goes through io_open.
  av_freep(&output->protocol_whitelist);
  output->protocol_whitelist = av_strdup("none");
  if (output->protocol_whitelist == nullptr) return AVERROR(ENOMEM);
  if (!toolOpensOutputFile(output)) return 0;
  return output->io_open(output, &output->pb, path, AVIO_FLAG_WRITE, nullptr);
}

FILE* createStdioOutput(OutputFiles* files, const char* name, const char* openFailure) {
  const int descriptor = files->create(name);
  // The input itself, or no regular file, is refused with its own line (EINVAL).
  if (descriptor < 0 && errno == EINVAL) return nullptr;
  FILE* file = descriptor < 0 ? nullptr : fdopen(descriptor, "wb");
  if (file == nullptr) {
    if (descriptor >= 0) ::close(descriptor);
    TOOL_LOGF(openFailure, name);
  }
  return file;
}

bool outputIsInput(const FileIdentity& input, const char* output) {
  if (!sameFile(input, identityOf(output))) return false;
  TOOL_LOGF("Refused to write %s: it is the input file\n", output);
  return true;
}

bool leavesFreeSpace(int descriptor, const char* name, int64_t bytes, int64_t margin) {
  struct statvfs info {};
  if (fstatvfs(descriptor, &info) != 0) return true;  // no figure: the writes will tell
  const auto free = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
  if (free - bytes >= margin) return true;
  TOOL_LOGF("Stopped writing %s: the storage would keep less than %lld MiB free\n", name,
            static_cast<long long>(margin / (1024 * 1024)));
  return false;
}

}  // namespace qn::tools

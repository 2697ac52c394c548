// A picked file: a regular file opened by its plain path and read as itself alone.
#include "tools/picked_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/ffmpeg_handles.h"
#include "tools/tool_log.h"

namespace qn::tools {
namespace {

/// Bytes of the read buffer between a picked file and its demuxer.
constexpr int kReadBufferSize = 64 * 1024;

/// The AVIOContext read callback over an InputFile.
int readPicked(void* file, uint8_t* buffer, int size) {
  return static_cast<InputFile*>(file)->read(buffer, size);
}

/// The AVIOContext seek callback over an InputFile.
int64_t seekPicked(void* file, int64_t offset, int whence) {
  return static_cast<InputFile*>(file)->seek(offset, whence);
}

/// The io_open of a picked file's demuxer: no demuxer may open anything beside its file.
int refuseOtherOpens(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

}  // namespace

FileIdentity identityFrom(int statResult, const struct stat& info) {
  if (statResult != 0) return {};
  return {true, info.st_dev, info.st_ino};
}

FileIdentity identityOf(const char* path) {
  struct stat info {};
  return identityFrom(stat(path, &info), info);
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

InputFile::~InputFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

int InputFile::open(const char* path) {
  // Non-blocking, so that a FIFO without a writer is refused instead of waited for.
  descriptor_ = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor_ < 0) return AVERROR(errno);
  struct stat info {};
  if (fstat(descriptor_, &info) != 0) return AVERROR(errno);
  if (!S_ISREG(info.st_mode)) {
    refused_ = true;
    TOOL_LOGF("Refused to read %s: it is not a regular file\n", path);
    return AVERROR(EINVAL);
  }
  fcntl(descriptor_, F_SETFL, fcntl(descriptor_, F_GETFL) & ~O_NONBLOCK);
  size_ = info.st_size;
  identity_ = identityFrom(0, info);
  return 0;
}

int InputFile::read(uint8_t* buffer, int n) {
  const int64_t left = size_ - position_;
  if (left <= 0 || n <= 0) return AVERROR_EOF;
  const size_t wanted = static_cast<size_t>(left < n ? left : n);
  ssize_t got;
  do {
    got = ::read(descriptor_, buffer, wanted);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return AVERROR(errno);
  if (got == 0) return AVERROR_EOF;  // the file shrank
  position_ += got;
  return static_cast<int>(got);
}

int64_t InputFile::seek(int64_t offset, int whence) {
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return size_;
  int64_t target = offset;
  if (whence == SEEK_CUR) target += position_;
  if (whence == SEEK_END) target += size_;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return AVERROR(EINVAL);
  // Past the end is refused: a demuxer that wants bytes there is reading a file cut short.
  if (target < 0 || target > size_) return AVERROR(EINVAL);
  if (lseek(descriptor_, target, SEEK_SET) < 0) return AVERROR(errno);
  position_ = target;
  return target;
}

bool readsOtherFiles(const AVInputFormat* demuxer) {
  // image2 reads the tool's own AVIOContext for a single picture (pattern_type=none); the
  // split planes it would open beside it (pic.Y: pic.U, pic.V) meet the refusing io_open.
  if ((demuxer->flags & AVFMT_NOFILE) && strcmp(demuxer->name, "image2") != 0) return true;
  for (const char* name : kDemuxersReadingOtherFiles) {
    if (strcmp(demuxer->name, name) == 0) return true;
  }
  return false;
}

std::string singleFileDemuxers() {
  std::string names;
  void* cursor = nullptr;
  while (const AVInputFormat* demuxer = av_demuxer_iterate(&cursor)) {
    if (readsOtherFiles(demuxer)) continue;
    if (!names.empty()) names += ',';
    names += demuxer->name;
  }
  return names;
}

namespace {

/// Makes `io` read `file` and opens `context` on it as the demuxer `format` (probed when
/// null) with `flags` added, so that it reads the file alone: 0 or the failed step's error.
int openDemuxer(InputFile* file, const char* path, const AVInputFormat* format, int flags,
                AVIOContext** io, AVFormatContext** context) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kReadBufferSize));
  if (buffer == nullptr) return AVERROR(ENOMEM);
  *io = avio_alloc_context(buffer, kReadBufferSize, 0, file, readPicked, nullptr, seekPicked);
  if (*io == nullptr) {
    av_free(buffer);
    return AVERROR(ENOMEM);
  }
  *context = avformat_alloc_context();
  if (*context == nullptr) return AVERROR(ENOMEM);
  (*context)->pb = *io;
  (*context)->io_open = refuseOtherOpens;
  (*context)->flags |= flags;
  Options options;
  options.set("format_whitelist", singleFileDemuxers().c_str());
  options.set("protocol_whitelist", "none");
  options.set("pattern_type", "none");
  // Every stream costs the analysis a decoder and a parser (an H.264 one about 1.3 MB
  // before any picture): a file of a thousand tiny streams would take GBs.
  options.set("max_streams", std::to_string(kMaxStreams).c_str());
  // On failure avformat_open_input frees the context and nulls the pointer.
  return avformat_open_input(context, path, format, options.get());
}

/// Closes a demuxer opened by openDemuxer and the AVIOContext it read.
void closeDemuxer(AVIOContext** io, AVFormatContext** context) {
  avformat_close_input(context);  // leaves the tool's own AVIOContext alone
  if (*io != nullptr) av_freep(&(*io)->buffer);
  avio_context_free(io);
}

}  // namespace

PickedMedia::~PickedMedia() { closeDemuxer(&io_, &context_); }

int PickedMedia::open(const char* path) {
  const int status = file_.open(path);
  if (status < 0) return status;
  return openDemuxer(&file_, path, nullptr, 0, &io_, &context_);
}

MediaRereading::MediaRereading(PickedMedia& media)
    : file_(media.file_), position_(media.file_.seek(0, SEEK_CUR)) {
  status_ = file_.seek(0, SEEK_SET) < 0 ? AVERROR(EIO) : 0;
  if (status_ == 0) {
    status_ = openDemuxer(&file_, media->url, media->iformat, AVFMT_FLAG_NOPARSE, &io_, &context_);
  }
}

MediaRereading::~MediaRereading() {
  closeDemuxer(&io_, &context_);
  file_.seek(position_, SEEK_SET);
}

}  // namespace qn::tools

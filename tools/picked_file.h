// A picked file: opened by its plain path only if it is a regular file, read no
// further than the size it had when opened, known by its identity (device and
// inode), and demuxed as itself alone.
#pragma once

#include <cstdint>
#include <string>

#include <sys/stat.h>

extern "C" {
#include <libavformat/avformat.h>
}

namespace qn::tools {

/// The device and inode of a file, which every spelling of its path shares.
struct FileIdentity {
  bool known = false;
  dev_t device = 0;
  ino_t inode = 0;
};

/// The identity of the file a stat call filled in, or an unknown one when it failed.
FileIdentity identityFrom(int statResult, const struct stat& info);

/// The identity of the file at path, following links (unknown if there is none).
FileIdentity identityOf(const char* path);

/// True when both identities are known and name the same file.
bool sameFile(const FileIdentity& a, const FileIdentity& b);

/// A picked input file, opened by its name as a plain local path whatever characters it
/// holds ("file:a.mp4" and "concat:a|b" are files of those names), and only when it is a
/// regular file: a FIFO, device, socket or directory is refused at once, without blocking.
/// Reads stop at the size the file had when opened, so a file that grows, or a kernel
/// file that reports no size, is never read without end.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  /// Opens path: 0, or AVERROR(errno) of the failed open, or AVERROR(EINVAL) after one
  /// line when it is no regular file (refused() is then true).
  int open(const char* path);
  /// True when open refused a file that is not a regular one.
  bool refused() const { return refused_; }

  /// Reads up to n bytes from the current position: the count, or AVERROR_EOF at the end
  /// (the size at open), or the read error.
  int read(uint8_t* buffer, int n);
  /// Moves the position like lseek (whence SEEK_SET, SEEK_CUR, SEEK_END) within the
  /// file's size at open; AVSEEK_SIZE answers that size. The new position or an error.
  int64_t seek(int64_t offset, int whence);

  /// The size of the file when it was opened.
  int64_t size() const { return size_; }
  const FileIdentity& identity() const { return identity_; }

 private:
  int descriptor_ = -1;
  int64_t size_ = 0;
  int64_t position_ = 0;
  FileIdentity identity_;
  bool refused_ = false;
};

/// Streams a picked file may hold: a file with more is refused at open (MP4, Matroska),
/// or read with its first ones only (MPEG-TS adds streams as its tables name them).
inline constexpr int kMaxStreams = 64;

/// Demuxers that read more than the file they are given: playlists, manifests and
/// scripts that name other files (hls, dash, concat, imf), scripts run by another
/// library that may open anything (avisynth, vapoursynth), session descriptions and
/// network sources (sdp, rtsp, rtp, sap), and files found beside it by name (mlv, vobsub).
/// Demuxers that open their input by name themselves (AVFMT_NOFILE: on FFmpeg 5.1 rtp,
/// rtsp and sap; dvdvideo from 7.0) are left out as well, all but image2.
inline constexpr const char* kDemuxersReadingOtherFiles[] = {
    "hls", "dash", "concat", "imf", "avisynth", "vapoursynth", "sdp", "rtsp", "rtp", "sap",
    "mlv", "vobsub"};

/// True when the demuxer may read more than the bytes of its own file: one of
/// kDemuxersReadingOtherFiles, or one that opens its input by name itself (but image2).
bool readsOtherFiles(const AVInputFormat* demuxer);

/// Every demuxer of this FFmpeg build that reads only its own file, comma-separated.
std::string singleFileDemuxers();

/// A picked media file opened for demuxing: FFmpeg reads its bytes only through the
/// InputFile, no demuxer may open another file or resource, and the demuxers that
/// would read more than this file are refused (EINVAL, "Invalid argument").
class PickedMedia {
 public:
  PickedMedia() = default;
  ~PickedMedia();
  PickedMedia(const PickedMedia&) = delete;
  PickedMedia& operator=(const PickedMedia&) = delete;

  /// Opens the file and its demuxer: 0, or the failed step's error (file().refused()
  /// tells a refused file, whose line is already logged).
  int open(const char* path);

  AVFormatContext* get() const { return context_; }
  AVFormatContext* operator->() const { return context_; }
  const InputFile& file() const { return file_; }

 private:
  friend class MediaRereading;

  InputFile file_;  // declared first: it outlives the demuxer that reads it
  AVIOContext* io_ = nullptr;
  AVFormatContext* context_ = nullptr;
};

/// The file of an open PickedMedia demuxed once more from its start, by the same demuxer
/// and with the same bounds, but without parsers: its packets are the demuxer's own, as
/// they come from the file. The media's demuxer is left untouched, and the file goes back
/// to where that demuxer had it when the rereading ends, so the media reads on unchanged.
class MediaRereading {
 public:
  /// Opens the rereading; status() tells whether it opened. The media outlives it.
  explicit MediaRereading(PickedMedia& media);
  ~MediaRereading();
  MediaRereading(const MediaRereading&) = delete;
  MediaRereading& operator=(const MediaRereading&) = delete;

  /// 0 once open, or the failed step's error.
  int status() const { return status_; }
  AVFormatContext* get() const { return context_; }

 private:
  InputFile& file_;
  int64_t position_;
  AVIOContext* io_ = nullptr;
  AVFormatContext* context_ = nullptr;
  int status_ = 0;
};

}  // namespace qn::tools

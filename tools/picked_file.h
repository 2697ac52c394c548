// A picked file: read as itself alone, and known by its identity (device and
// inode), which the output rules compare against.
#pragma once

#include <cstdio>
#include <string>

#include <sys/stat.h>

extern "C" {
#include <libavformat/avformat.h>
}

namespace qn::tools {

/// Demuxers that read more than the file they are given: playlists, manifests and
/// scripts that name other files (hls, dash, concat, imf), session descriptions and
/// network sources (sdp, rtsp, rtp, sap), and files found beside it by name (mlv, vobsub).
inline constexpr const char* kDemuxersReadingOtherFiles[] = {
    "hls", "dash", "concat", "imf", "sdp", "rtsp", "rtp", "sap", "mlv", "vobsub"};

/// True when the demuxer is one of kDemuxersReadingOtherFiles.
bool readsOtherFiles(const AVInputFormat* demuxer);

/// Every demuxer of this FFmpeg build that reads only its own file, comma-separated.
std::string singleFileDemuxers();

/// avformat_open_input for a picked file: probed as usual, but refused (EINVAL, "Invalid
/// argument") when it would read other files, and an image name taken as that one
/// image, never as the pattern of a numbered sequence ("img%d.jpg" reads only itself).
int openPickedFile(AVFormatContext** context, const char* path);

/// The device and inode of a file, which every spelling of its path shares.
struct FileIdentity {
  bool known = false;
  dev_t device = 0;
  ino_t inode = 0;
};

/// The identity of the file a stat call filled in, or an unknown one when it failed.
FileIdentity identityFrom(int statResult, const struct stat& info);

/// The identity of the file at path (unknown if there is none).
FileIdentity identityOf(const char* path);

/// The identity of an open file.
FileIdentity identityOf(FILE* file);

/// True when both identities are known and name the same file.
bool sameFile(const FileIdentity& a, const FileIdentity& b);

}  // namespace qn::tools

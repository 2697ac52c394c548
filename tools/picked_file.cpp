// A picked file: read as itself alone, and known by its identity.
#include "tools/picked_file.h"

#include <cstring>

#include "tools/ffmpeg_handles.h"

namespace qn::tools {

bool readsOtherFiles(const AVInputFormat* demuxer) {
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

int openPickedFile(AVFormatContext** context, const char* path) {
  Options options;
  options.set("format_whitelist", singleFileDemuxers().c_str());
  options.set("pattern_type", "none");
  return avformat_open_input(context, path, nullptr, options.get());
}

FileIdentity identityFrom(int statResult, const struct stat& info) {
  if (statResult != 0) return {};
  return {true, info.st_dev, info.st_ino};
}

FileIdentity identityOf(const char* path) {
  struct stat info {};
  return identityFrom(stat(path, &info), info);
}

FileIdentity identityOf(FILE* file) {
  struct stat info {};
  return identityFrom(fstat(fileno(file), &info), info);
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

}  // namespace qn::tools

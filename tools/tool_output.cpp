// A tool's output: written only as a local file, never over the input file.
#include "tools/tool_output.h"

#include "tools/ffmpeg_handles.h"
#include "tools/tool_log.h"

namespace qn::tools {
namespace {

/// The output's io_open while guarded: refuses (EINVAL, after one line) to write the input.
int openUnlessInput(AVFormatContext* output, AVIOContext** pb, const char* url, int flags,
                    AVDictionary** options) {
  const auto* guard = static_cast<const OwnOpensGuard*>(output->opaque);
  if ((flags & AVIO_FLAG_WRITE) && outputIsInput(guard->input, url)) return AVERROR(EINVAL);
  return guard->open(output, pb, url, flags, options);
}

}  // namespace

int openOutputAsFile(AVFormatContext* output, const char* path) {
  av_freep(&output->protocol_whitelist);
  output->protocol_whitelist = av_strdup("file");
  if (output->protocol_whitelist == nullptr) return AVERROR(ENOMEM);
  if (!toolOpensOutputFile(output)) return 0;
  Options options;
  options.set("protocol_whitelist", "file");
  return avio_open2(&output->pb, path, AVIO_FLAG_WRITE, nullptr, options.get());
}

bool outputIsInput(const FileIdentity& input, const char* output) {
  if (!sameFile(input, identityOf(output))) return false;
  TOOL_LOGF("Refused to write %s: it is the input file\n", output);
  return true;
}

void guardOwnOpens(AVFormatContext* output, OwnOpensGuard* guard) {
  guard->open = output->io_open;
  output->opaque = guard;
  output->io_open = openUnlessInput;
}

}  // namespace qn::tools

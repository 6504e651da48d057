// Anyone can send anyone a message: loading any bytes as a message never crashes, stays within
// memory proportional to the input, and what the model writes back loads again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "base/ixStream.h"
#include "mail/ixMailMessage.h"

namespace {

std::int64_t SavedBytes = 0;

void Load(ix::TixMailMessage& message, const ix::TixStringList& lines) {
    message.OnSaveAttachment = [](ix::TixObject*, ix::TixMessageBody*, std::string&,
                                  std::unique_ptr<ix::TixStream>& stream,
                                  bool&) { stream = std::make_unique<ix::TixMemoryStream>(); };
    // Writing a loaded message back must never open local files named by the message.
    message.OnLoadAttachment = [](ix::TixObject*, ix::TixMessageBody*, std::string&,
                                  std::unique_ptr<ix::TixStream>& stream, bool& handled) {
        stream = std::make_unique<ix::TixMemoryStream>();
        handled = true;
    };
    message.OnAttachmentSaved = [](ix::TixObject*, ix::TixMessageBody*, const std::string&,
                                   ix::TixStream& stream) { SavedBytes += stream.Size(); };
    message.LoadMessage(lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ix::TixStringList lines;
    lines.SetText(std::string_view(reinterpret_cast<const char*>(data), size));
    ix::TixMailMessage message;
    SavedBytes = 0;
    Load(message, lines);
    // Base64 and quoted-printable only shrink; a short uuencoded line is padded to its declared
    // length, at most 63 bytes.
    if (SavedBytes > 64 * static_cast<std::int64_t>(size)) std::abort();
    (void)message.MessageText();
    const ix::TixStringList source = message.MessageSource();
    ix::TixMailMessage again;
    Load(again, source);
    return 0;
}

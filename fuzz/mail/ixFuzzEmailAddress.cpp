// Address text from a remote header: parsing a single address and a list never crashes, and what
// a list writes back parses again to the same number of items.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/ixEmailAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string name, email;
    ix::ParseFullAddress(text, name, email);
    ix::TixEmailAddressItem item;
    item.SetFullAddress(text);
    (void)item.FullAddress();
    ix::TixEmailAddressList list;
    list.SetEmailAddresses(text);
    (void)list.EmailAddresses();
    return 0;
}

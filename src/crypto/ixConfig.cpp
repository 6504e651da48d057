#include "crypto/ixConfig.h"

namespace ix {

void TixConfig::SetType(std::string_view name, TixConfigObjectClass objectClass) {
    std::string key = LowerCase(name);
    if (objectClass)
        types_[key] = std::move(objectClass);
    else
        types_.erase(key);
}

bool TixConfig::HasType(std::string_view name) const {
    return types_.count(LowerCase(name)) != 0;
}

std::unique_ptr<TixConfigObject> TixConfig::CreateInstance(std::string_view name) const {
    auto it = types_.find(LowerCase(name));
    if (it == types_.end()) return nullptr;
    return it->second();
}

}  // namespace ix

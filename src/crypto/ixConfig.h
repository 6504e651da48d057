#pragma once
// The registry that creates crypto and canonicalization objects by name ("rsa-sha256", "relaxed"),
// so that a user of the layer never names a class. Settings are name=value texts beside it.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "base/ixStringList.h"
#include "base/ixTypes.h"

namespace ix {

class TixConfigObject : public TixObject {
public:
    TixConfigObject() = default;
};

// A class as the registry knows it: something that makes a new object of that class.
using TixConfigObjectClass = std::function<std::unique_ptr<TixConfigObject>()>;

template <class T>
TixConfigObjectClass ConfigClassOf() {
    return [] { return std::unique_ptr<TixConfigObject>(std::make_unique<T>()); };
}

class TixConfig {
public:
    TixConfig() = default;
    virtual ~TixConfig() = default;

    TixStringList& Settings() { return settings_; }
    std::string Setting(std::string_view name) const { return settings_.Values(name); }

    // Registering a name again replaces its class; an empty class removes the name.
    void SetType(std::string_view name, TixConfigObjectClass objectClass);
    bool HasType(std::string_view name) const;
    // A new object of the class registered under name (ignoring ASCII case), or null.
    std::unique_ptr<TixConfigObject> CreateInstance(std::string_view name) const;

    // CreateInstance narrowed to T; null when the name is unknown or names another kind of object.
    template <class T>
    std::unique_ptr<T> Create(std::string_view name) const {
        std::unique_ptr<TixConfigObject> object = CreateInstance(name);
        if (auto* typed = dynamic_cast<T*>(object.get())) {
            object.release();
            return std::unique_ptr<T>(typed);
        }
        return nullptr;
    }

private:
    TixStringList settings_;
    std::map<std::string, TixConfigObjectClass> types_;
};

}  // namespace ix

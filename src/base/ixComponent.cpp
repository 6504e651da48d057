#include "base/ixComponent.h"

#include <algorithm>

namespace ix {

TixComponent::TixComponent(TixComponent* owner) : owner_(owner) {}

TixComponent::~TixComponent() {
    // Tell every linked component first; each removes us from its own list in return, so
    // work on a copy.
    const auto linked = std::move(freeNotifies_);
    freeNotifies_.clear();
    for (TixComponent* other : linked) {
        auto& theirs = other->freeNotifies_;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
        other->Notification(this, TixOperation::opRemove);
    }
}

void TixComponent::FreeNotification(TixComponent* other) {
    if (other == nullptr || other == this) return;
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), other) == freeNotifies_.end())
        freeNotifies_.push_back(other);
    auto& theirs = other->freeNotifies_;
    if (std::find(theirs.begin(), theirs.end(), this) == theirs.end()) theirs.push_back(this);
}

void TixComponent::RemoveFreeNotification(TixComponent* other) {
    if (other == nullptr) return;
    freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), other), freeNotifies_.end());
    auto& theirs = other->freeNotifies_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TixComponent::Notification(TixComponent*, TixOperation) {}

void TixComponent::DoChanged() {
    if (!loading_ && OnChanged) OnChanged(this);
}

}  // namespace ix

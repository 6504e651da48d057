#pragma once
// What a message asks of the signing and verification component it links to through its Dkim
// property. The mail layer declares it so that it never depends on the DKIM layer; the DKIM
// component implements it and is a component itself, so the link is cleared when it goes away.

#include "base/ixComponent.h"
#include "base/ixStringList.h"

namespace ix {

class TixMailDkimLink : public TixComponent {
public:
    using TixComponent::TixComponent;

    // Adds the signature field to the finished lines of a message being written.
    virtual void Sign(TixStringList& messageLines) = 0;
    // Checks the signatures of the lines of a message that has just been read.
    virtual void Verify(const TixStringList& messageLines) = 0;
};

}  // namespace ix

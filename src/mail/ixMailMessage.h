#pragma once
// The mail message component. The command clients hold a weak link to one (their MailMessage
// property), so it is a component: it tells them when it goes away.

#include "base/ixComponent.h"

namespace ix {

class TixMailMessage : public TixComponent {
public:
    using TixComponent::TixComponent;
};

}  // namespace ix

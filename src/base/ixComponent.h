#pragma once
// Component base: an optional owner, change notification, a loading flag and removal
// notification. Two components that link to each other register with FreeNotification; whichever
// is destroyed first tells the other through Notification(…, opRemove), which is where a weak link
// (a message's DKIM object, a client's message or proxy) is cleared.

#include <functional>
#include <vector>

#include "base/ixTypes.h"

namespace ix {

enum class TixOperation { opInsert, opRemove };

class TixComponent : public TixObject {
public:
    explicit TixComponent(TixComponent* owner = nullptr);
    ~TixComponent() override;
    TixComponent(const TixComponent&) = delete;
    TixComponent& operator=(const TixComponent&) = delete;

    TixComponent* Owner() const { return owner_; }

    // While loading, property setters store values without raising OnChanged.
    bool Loading() const { return loading_; }
    void BeginLoading() { loading_ = true; }
    void EndLoading() { loading_ = false; }

    // Ask to be told (through Notification) when other is destroyed; mutual, as links are.
    void FreeNotification(TixComponent* other);
    void RemoveFreeNotification(TixComponent* other);

    TixNotifyEvent OnChanged;

protected:
    virtual void Notification(TixComponent* component, TixOperation operation);
    virtual void DoChanged();

    // Property setter helper: stores and notifies only on a real change.
    template <class T, class U>
    bool SetProperty(T& field, U&& value) {
        if (field == value) return false;
        field = std::forward<U>(value);
        DoChanged();
        return true;
    }

    // Keeps a weak link to another component: registers for its removal and drops the old one.
    template <class T>
    void SetLink(T*& field, T* value) {
        if (field == value) return;
        if (field != nullptr) RemoveFreeNotification(field);
        field = value;
        if (field != nullptr) FreeNotification(field);
        DoChanged();
    }

private:
    TixComponent* owner_;
    bool loading_ = false;
    std::vector<TixComponent*> freeNotifies_;
};

}  // namespace ix

#include "base/ixComponent.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace ix;

namespace {

class Target : public TixComponent {};

class Holder : public TixComponent {
public:
    Target* Link() const { return link_; }
    void SetLinkTo(Target* t) { SetLink(link_, t); }
    const std::string& Name() const { return name_; }
    void SetName(const std::string& n) { SetProperty(name_, n); }

protected:
    void Notification(TixComponent* c, TixOperation op) override {
        if (op == TixOperation::opRemove && c == link_) link_ = nullptr;
    }

private:
    Target* link_ = nullptr;
    std::string name_;
};

}  // namespace

TEST(Component, WeakLinksAreClearedWhicheverSideGoesFirst) {
    Holder holder;
    Target first;
    auto second = std::make_unique<Target>();
    holder.SetLinkTo(&first);
    EXPECT_EQ(holder.Link(), &first);
    holder.SetLinkTo(second.get());
    second.reset();
    EXPECT_EQ(holder.Link(), nullptr);
    // Holders destroyed first: the target must not call back into them (ASan sees it if it does).
    auto target = std::make_unique<Target>();
    {
        Holder a, b;
        a.SetLinkTo(target.get());
        b.SetLinkTo(target.get());
        b.SetLinkTo(nullptr);
    }
    target.reset();
}

TEST(Component, OnChangedOnlyOnRealChangeAndNotWhileLoading) {
    Holder holder;
    int changes = 0;
    holder.OnChanged = [&](TixObject* sender) {
        EXPECT_EQ(sender, &holder);
        ++changes;
    };
    holder.SetName("a");
    holder.SetName("a");
    EXPECT_EQ(changes, 1);
    holder.BeginLoading();
    holder.SetName("b");
    holder.EndLoading();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(holder.Name(), "b");
}

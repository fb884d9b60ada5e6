// Tests of framework/classes.cpp.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "framework/classes.h"

using namespace fw;

namespace {

using Log = std::vector<std::wstring>;

// Records what happens to it in a shared log, by name.
class TProbe : public TComponent {
public:
    TProbe(TComponent* owner, const std::wstring& name, Log* log) : TComponent(owner), log_(log) { SetName(name); }
    ~TProbe() override {
        Destroying();
        if (log_) log_->push_back(L"~" + Name());
    }
    void Notification(TComponent* c, TOperation op) override {
        TComponent::Notification(c, op);
        if (log_ && op == opRemove) log_->push_back(Name() + L"<-" + c->Name());
    }
    void Loaded() override {
        TComponent::Loaded();
        if (log_) log_->push_back(L"Loaded " + Name());
    }

private:
    Log* log_;
};

// Storage in which a destroyed probe can be replaced by a fresh one at the
// same address: a stale pointer to the old probe then reaches the new one,
// so a notification sent to a destroyed component becomes visible.
struct ProbeSlot {
    alignas(TProbe) unsigned char raw[sizeof(TProbe)];
    TProbe* Make(TComponent* owner, const std::wstring& name, Log* log) { return new (raw) TProbe(owner, name, log); }
    static void Destroy(TProbe* p) { p->~TProbe(); }
};

}  // namespace

TEST(Component, OwnerDestroysOwnedComponentsLastCreatedFirst) {
    Log log;
    auto* owner = new TProbe(nullptr, L"O", nullptr);
    auto* a = new TProbe(owner, L"A", &log);
    auto* b = new TProbe(owner, L"B", &log);
    new TProbe(owner, L"C", &log);
    ASSERT_EQ(owner->ComponentCount(), 3);
    EXPECT_EQ(owner->Components(0), a);
    EXPECT_EQ(a->Owner(), owner);
    EXPECT_EQ(owner->FindComponent(L"b"), b);
    EXPECT_EQ(owner->FindComponent(L"nobody"), nullptr);
    EXPECT_THROW(owner->Components(3), EListError);
    EXPECT_THROW(owner->Components(-1), EListError);

    delete owner;
    // Each sibling still standing hears of the ones destroyed before it.
    EXPECT_EQ(log, (Log{L"A<-C", L"B<-C", L"~C", L"A<-B", L"~B", L"~A"}));
}

TEST(Component, FreeingAnOwnedComponentLeavesItsOwnerAndTellsItsSiblings) {
    Log log;
    auto owner = std::make_unique<TProbe>(nullptr, L"O", &log);
    new TProbe(owner.get(), L"A", &log);
    auto* b = new TProbe(owner.get(), L"B", &log);
    new TProbe(owner.get(), L"C", &log);

    delete b;
    EXPECT_EQ(log, (Log{L"A<-B", L"C<-B", L"O<-B", L"~B"}));
    ASSERT_EQ(owner->ComponentCount(), 2);
    EXPECT_EQ(owner->Components(0)->Name(), L"A");
    EXPECT_EQ(owner->Components(1)->Name(), L"C");
}

TEST(Component, FreeNotificationWhenTheWatchedComponentGoesFirst) {
    Log log;
    ProbeSlot slot;
    auto* watcher = slot.Make(nullptr, L"W", &log);
    auto* watched = new TProbe(nullptr, L"X", &log);
    watcher->FreeNotification(watched);
    watcher->FreeNotification(watched);  // asking twice registers once

    delete watched;
    EXPECT_EQ(log, (Log{L"W<-X", L"~X"}));

    // The watcher is not told anything more, and it tells nobody when it goes.
    log.clear();
    ProbeSlot::Destroy(watcher);
    EXPECT_EQ(log, (Log{L"~W"}));
}

TEST(Component, FreeNotificationWhenTheWatcherGoesFirst) {
    Log log;
    ProbeSlot slot;
    auto* watcher = slot.Make(nullptr, L"W", &log);
    auto* watched = new TProbe(nullptr, L"X", &log);
    watcher->FreeNotification(watched);

    ProbeSlot::Destroy(watcher);
    // Both sides drop the link: the watched one hears of the watcher's end.
    EXPECT_EQ(log, (Log{L"X<-W", L"~W"}));

    // A new component in the old watcher's place must not hear of X's end.
    log.clear();
    auto* stranger = slot.Make(nullptr, L"S", &log);
    delete watched;
    EXPECT_EQ(log, (Log{L"~X"}));
    ProbeSlot::Destroy(stranger);
}

TEST(Component, RemoveFreeNotificationUnlinksBothWays) {
    Log log;
    auto a = std::make_unique<TProbe>(nullptr, L"A", &log);
    auto b = std::make_unique<TProbe>(nullptr, L"B", &log);
    a->FreeNotification(b.get());
    a->RemoveFreeNotification(b.get());
    b.reset();
    a.reset();
    EXPECT_EQ(log, (Log{L"~B", L"~A"}));
}

TEST(Component, ComponentsMayFreeEachOtherFromNotifications) {
    // A handler that frees another sibling while a removal is being told.
    struct TKiller : public TComponent {
        using TComponent::TComponent;
        TComponent* victim = nullptr;
        void Notification(TComponent* c, TOperation op) override {
            TComponent::Notification(c, op);
            if (op == opRemove && victim && c != victim) {
                TComponent* v = victim;
                victim = nullptr;
                delete v;
            }
        }
    };
    Log log;
    auto owner = std::make_unique<TProbe>(nullptr, L"O", nullptr);
    auto* k = new TKiller(owner.get());
    auto* a = new TProbe(owner.get(), L"A", &log);
    k->victim = new TProbe(owner.get(), L"V", &log);
    delete a;  // k frees V while the owner is telling its children about A
    EXPECT_EQ(owner->ComponentCount(), 1);
    EXPECT_EQ(owner->Components(0), k);
}

TEST(Component, LoadedRunsAfterLoadingInCreationOrderThenOnTheOwner) {
    Log log;
    auto root = std::make_unique<TProbe>(nullptr, L"R", &log);
    auto* before = new TProbe(root.get(), L"P", &log);  // created before loading
    root->BeginLoading();
    EXPECT_TRUE(root->Loading());
    EXPECT_TRUE(root->ComponentState().Contains(csLoading));
    auto* a = new TProbe(root.get(), L"A", &log);
    auto* inner = new TProbe(a, L"A1", &log);  // owned by an owned component
    auto* b = new TProbe(root.get(), L"B", &log);
    EXPECT_TRUE(a->Loading());
    EXPECT_TRUE(inner->Loading());
    EXPECT_FALSE(before->Loading());

    root->EndLoading();
    EXPECT_EQ(log, (Log{L"Loaded A1", L"Loaded A", L"Loaded B", L"Loaded R"}));
    for (TComponent* c : {static_cast<TComponent*>(root.get()), static_cast<TComponent*>(a),
                          static_cast<TComponent*>(inner), static_cast<TComponent*>(b)})
        EXPECT_FALSE(c->Loading()) << NarrowUtf8(static_cast<TProbe*>(c)->Name());

    // Created after loading: not loading, no Loaded.
    log.clear();
    auto* late = new TProbe(root.get(), L"L", &log);
    EXPECT_FALSE(late->Loading());
    EXPECT_TRUE(log.empty());
}

TEST(Component, DesigningIsInheritedFromTheOwner) {
    TComponent root(nullptr);
    root.SetDesigning(true);
    auto* c = new TComponent(&root);
    EXPECT_TRUE(c->Designing());
    root.SetDesigning(false);
    EXPECT_FALSE(root.Designing());
}

TEST(Component, ClassNameHasNoNamespace) {
    TComponent c(nullptr);
    EXPECT_EQ(c.ClassName(), L"TComponent");
    TStringList l;
    EXPECT_EQ(l.ClassName(), L"TStringList");
}

namespace {
class TSwitch : public TComponent {
public:
    using TComponent::TComponent;
    bool On = false;
    std::vector<TPropInfo> PublishedProperties() const override {
        return {{L"Checked", [](const TObject* o) -> std::int64_t { return static_cast<const TSwitch*>(o)->On; },
                 [](TObject* o, std::int64_t v) { static_cast<TSwitch*>(o)->On = v != 0; }}};
    }
};
}  // namespace

TEST(Component, PublishedOrdinalPropertiesByName) {
    TSwitch s(nullptr);
    std::int64_t v = -1;
    EXPECT_TRUE(SetOrdProp(&s, L"checked", 1));
    EXPECT_TRUE(s.On);
    EXPECT_TRUE(GetOrdProp(&s, L"Checked", v));
    EXPECT_EQ(v, 1);
    EXPECT_FALSE(SetOrdProp(&s, L"Enabled", 1));
    TComponent plain(nullptr);
    EXPECT_FALSE(SetOrdProp(&plain, L"Checked", 1));
    EXPECT_FALSE(GetOrdProp(nullptr, L"Checked", v));
}

TEST(List, PositionsOutsideTheListRaiseListError) {
    TList l;
    int x = 1, y = 2, z = 3;
    EXPECT_EQ(l.Add(&x), 0);
    EXPECT_EQ(l.Add(&z), 1);
    l.Insert(1, &y);
    l.Insert(3, &x);  // at the end is allowed
    ASSERT_EQ(l.Count(), 4);
    EXPECT_EQ(l.Get(1), &y);
    EXPECT_EQ(l.IndexOf(&z), 2);
    EXPECT_EQ(l.Remove(&x), 0);  // the first of two
    EXPECT_EQ(l.IndexOf(&x), 2);
    EXPECT_EQ(l.Remove(&l), -1);

    for (int bad : {-1, 3, 100}) {
        EXPECT_THROW(l.Get(bad), EListError) << bad;
        EXPECT_THROW(l.Put(bad, &x), EListError) << bad;
        EXPECT_THROW(l.Delete(bad), EListError) << bad;
    }
    EXPECT_THROW(l.Insert(4, &x), EListError);
    EXPECT_THROW(l.Insert(-1, &x), EListError);
    EXPECT_EQ(l.Count(), 3);
    try {
        l.Get(7);
        FAIL() << "no exception";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), L"List index out of bounds (7)");
    }
    l.Clear();
    EXPECT_EQ(l.Count(), 0);
    EXPECT_THROW(l.Get(0), EListError);
}

namespace {
struct TCounted : public TObject {
    explicit TCounted(int* n) : n_(n) {}
    ~TCounted() override { ++*n_; }
    int* n_;
};
}  // namespace

TEST(StringList, IndexErrorsAndLookups) {
    TStringList l;
    l.Add(L"Port=COM3");
    l.Add(L"Speed=57600");
    l.Insert(0, L"first");
    ASSERT_EQ(l.Count(), 3);
    EXPECT_EQ(l.Strings(0), L"first");
    EXPECT_EQ(l.IndexOf(L"PORT=com3"), 1);
    EXPECT_EQ(l.IndexOf(L"missing"), -1);
    EXPECT_EQ(l.IndexOfName(L"speed"), 2);
    EXPECT_EQ(l.IndexOfName(L"first"), -1);  // no '=': no name
    EXPECT_EQ(l.Values(L"port"), L"COM3");
    EXPECT_EQ(l.Values(L"none"), L"");
    EXPECT_EQ(l.Names(2), L"Speed");
    EXPECT_EQ(l.ValueFromIndex(2), L"57600");
    EXPECT_EQ(l.Text(), L"first\r\nPort=COM3\r\nSpeed=57600\r\n");

    for (int bad : {-1, 3}) {
        EXPECT_THROW(l.Strings(bad), EListError);
        EXPECT_THROW(l.SetStrings(bad, L"x"), EListError);
        EXPECT_THROW(l.Objects(bad), EListError);
        EXPECT_THROW(l.SetObjects(bad, nullptr), EListError);
        EXPECT_THROW(l.Delete(bad), EListError);
        EXPECT_THROW(l.Names(bad), EListError);
    }
    EXPECT_THROW(l.Insert(4, L"x"), EListError);
    l.Insert(3, L"last");
    EXPECT_EQ(l.Strings(3), L"last");
}

TEST(StringList, ObjectsAreFreedOnlyWhenOwned) {
    int freed = 0;
    {
        TStringList owning(true);
        owning.AddObject(L"a", new TCounted(&freed));
        owning.AddObject(L"b", new TCounted(&freed));
        owning.AddObject(L"c", new TCounted(&freed));
        owning.Delete(1);
        EXPECT_EQ(freed, 1);
        EXPECT_EQ(owning.Strings(1), L"c");
        owning.Clear();
        EXPECT_EQ(freed, 3);
        owning.AddObject(L"d", new TCounted(&freed));
    }
    EXPECT_EQ(freed, 4);

    TCounted kept(&freed);
    {
        TStringList plain;
        plain.AddObject(L"k", &kept);
        EXPECT_EQ(plain.IndexOfObject(&kept), 0);
        plain.Delete(0);
        plain.AddObject(L"k", &kept);
        plain.Clear();
        plain.AddObject(L"k", &kept);
    }
    EXPECT_EQ(freed, 4);

    TStringList tagged;
    tagged.AddObject(L"COM3", reinterpret_cast<TObject*>(std::intptr_t{3}));
    EXPECT_EQ(tagged.Tags(0), 3);
}

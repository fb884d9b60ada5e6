// Objects, components with ownership and removal notification, lists.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "events.h"
#include "sysutils.h"

namespace fw {

class TObject;

// Run-time lookup of published properties. An entry fills the accessors
// of its kind: ordinal, text, object or event.
struct TPropInfo {
    std::wstring_view Name;
    std::int64_t (*GetOrd)(const TObject*) = nullptr;
    void (*SetOrd)(TObject*, std::int64_t) = nullptr;
    std::wstring (*GetStr)(const TObject*) = nullptr;
    void (*SetStr)(TObject*, const std::wstring&) = nullptr;
    TObject* (*GetObj)(TObject*) = nullptr;
    // False when the property cannot take an object of that class.
    bool (*SetObj)(TObject*, TObject*) = nullptr;
    // The event member itself, of type *EventType.
    void* (*Event)(TObject*) = nullptr;
    const std::type_info* EventType = nullptr;
};

class TObject {
public:
    virtual ~TObject() = default;
    // The class name without namespace, e.g. "TnrComm".
    std::wstring ClassName() const;
    // Published properties of this class and its bases.
    virtual std::vector<TPropInfo> PublishedProperties() const { return {}; }
};

const TPropInfo* FindPropInfo(const TObject* obj, std::wstring_view name, std::vector<TPropInfo>& storage);
// Setters and getters by name; false (or null) when the class publishes no
// property of that name and kind.
bool SetOrdProp(TObject* obj, std::wstring_view name, std::int64_t value);
bool GetOrdProp(const TObject* obj, std::wstring_view name, std::int64_t& value);
bool SetStrProp(TObject* obj, std::wstring_view name, const std::wstring& value);
bool GetStrProp(const TObject* obj, std::wstring_view name, std::wstring& value);
bool SetObjectProp(TObject* obj, std::wstring_view name, TObject* value);
TObject* GetObjectProp(TObject* obj, std::wstring_view name);
void* FindEventProp(TObject* obj, std::wstring_view name, const std::type_info& type);
// The published event of that name when it is an E, to read or assign.
template <class E> E* EventProp(TObject* obj, std::wstring_view name) {
    return static_cast<E*>(FindEventProp(obj, name, typeid(E)));
}

// Table entries from accessors: OrdPropInfo<C, &C::Foo, &C::SetFoo>(L"Foo").
template <class C, auto Get, auto Set> TPropInfo OrdPropInfo(std::wstring_view Name) {
    return {.Name = Name,
            .GetOrd = [](const TObject* o) -> std::int64_t {
                return static_cast<std::int64_t>((static_cast<const C*>(o)->*Get)());
            },
            .SetOrd =
                [](TObject* o, std::int64_t v) {
                    using Arg = std::remove_cvref_t<decltype((static_cast<C*>(o)->*Get)())>;
                    (static_cast<C*>(o)->*Set)(static_cast<Arg>(v));
                }};
}
template <class C, auto Get, auto Set> TPropInfo StrPropInfo(std::wstring_view Name) {
    return {.Name = Name,
            .GetStr = [](const TObject* o) -> std::wstring { return (static_cast<const C*>(o)->*Get)(); },
            .SetStr = [](TObject* o, const std::wstring& v) { (static_cast<C*>(o)->*Set)(v); }};
}
// Member: the event data member, e.g. &C::OnClick.
template <class C, auto Member> TPropInfo EventPropInfo(std::wstring_view Name) {
    using E = std::remove_cvref_t<decltype(std::declval<C&>().*Member)>;
    return {.Name = Name,
            .Event = [](TObject* o) -> void* { return &(static_cast<C*>(o)->*Member); },
            .EventType = &typeid(E)};
}
// The entries of table named in names, in that order; names it lacks are left out.
std::vector<TPropInfo> SelectProps(const std::vector<TPropInfo>& table, std::initializer_list<std::wstring_view> names);

class TPersistent : public TObject {};

using TNotifyEvent = TEvent<void(TObject* Sender)>;

enum TOperation { opInsert, opRemove };
enum TComponentStateFlag { csLoading, csReading, csWriting, csDestroying, csDesigning };
using TComponentState = TSet<TComponentStateFlag, std::uint16_t>;

class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int i) const;
    TComponent* FindComponent(const std::wstring& name) const;

    const std::wstring& Name() const { return name_; }
    virtual void SetName(const std::wstring& v) { name_ = v; }
    std::int32_t Tag() const { return tag_; }
    void SetTag(std::int32_t v) { tag_ = v; }

    TComponentState ComponentState() const { return state_; }
    bool Loading() const { return state_.Contains(csLoading); }
    bool Designing() const { return state_.Contains(csDesigning); }
    void SetDesigning(bool v);

    // Ask to be told (Notification with opRemove) when AComponent goes away.
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    // Told when a component this one owns or asked about is inserted or removed.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

    // Layout loading: BeginLoading marks this component and everything
    // created with it as owner as loading; EndLoading calls Loaded on the
    // owned components in creation order (each after the ones it owns),
    // then on this one.
    void BeginLoading();
    void EndLoading();
    virtual void Loaded();

protected:
    // Sends the removal notifications now, while the derived parts still
    // stand; a destructor that others may call back into calls this first.
    void Destroying();
    // Destroys the owned components, last created first.
    void DestroyComponents();

private:
    void InsertComponent(TComponent* c);
    void RemoveComponent(TComponent* c);

    TComponent* owner_ = nullptr;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> freeNotifies_;
    std::wstring name_;
    std::int32_t tag_ = 0;
    TComponentState state_;
    bool removalSent_ = false;
};

// A growable list of untyped pointers; positions outside the list raise EListError.
class TList : public TObject {
public:
    ~TList() override;
    int Count() const { return static_cast<int>(items_.size()); }
    void* Get(int i) const;
    void Put(int i, void* p);
    int Add(void* p);
    void Insert(int i, void* p);
    void Delete(int i);
    int IndexOf(const void* p) const;
    int Remove(const void* p);
    virtual void Clear();

protected:
    [[noreturn]] static void IndexError(int i);

private:
    std::vector<void*> items_;
};

// A list of texts, each with an object slot. Not sorted; objects not owned
// unless OwnsObjects is set.
class TStringList : public TPersistent {
public:
    TStringList() = default;
    explicit TStringList(bool ownsObjects) : owns_(ownsObjects) {}
    ~TStringList() override;
    TStringList(const TStringList&) = delete;
    TStringList& operator=(const TStringList&) = delete;

    int Count() const { return static_cast<int>(items_.size()); }
    const std::wstring& Strings(int i) const;
    void SetStrings(int i, const std::wstring& s);
    TObject* Objects(int i) const;
    void SetObjects(int i, TObject* o);
    // Integer stored in the object slot (the framework's habit for tagged entries).
    std::intptr_t Tags(int i) const { return reinterpret_cast<std::intptr_t>(Objects(i)); }

    int Add(const std::wstring& s) { return AddObject(s, nullptr); }
    int AddObject(const std::wstring& s, TObject* o);
    void Insert(int i, const std::wstring& s) { InsertObject(i, s, nullptr); }
    void InsertObject(int i, const std::wstring& s, TObject* o);
    void Delete(int i);
    void Clear();
    int IndexOf(const std::wstring& s) const;  // case-insensitive (ASCII)
    int IndexOfName(const std::wstring& name) const;
    int IndexOfObject(const TObject* o) const;
    // "name=value" helpers.
    std::wstring Names(int i) const;
    std::wstring ValueFromIndex(int i) const;
    std::wstring Values(const std::wstring& name) const;
    std::wstring Text() const;  // entries joined by CR LF, each ending in CR LF

    bool OwnsObjects() const { return owns_; }
    void SetOwnsObjects(bool v) { owns_ = v; }

private:
    void Check(int i) const;
    struct Item {
        std::wstring s;
        TObject* o;
    };
    std::vector<Item> items_;
    bool owns_ = false;
};

}  // namespace fw

#include "classes.h"

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace fw {

std::wstring TObject::ClassName() const {
    const char* raw = typeid(*this).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> dem(abi::__cxa_demangle(raw, nullptr, nullptr, &status), std::free);
    std::string n = (status == 0 && dem) ? dem.get() : raw;
    auto p = n.rfind("::");
    if (p != std::string::npos) n = n.substr(p + 2);
    return Widen(n);
}

const TPropInfo* FindPropInfo(const TObject* obj, std::wstring_view name, std::vector<TPropInfo>& storage) {
    if (!obj) return nullptr;
    storage = obj->PublishedProperties();
    for (auto& p : storage)
        if (SameTextAscii(std::wstring(p.Name), std::wstring(name))) return &p;
    return nullptr;
}

namespace {

// The entry of that name if it has the accessor asked for.
template <class F> const TPropInfo* FindProp(const TObject* obj, std::wstring_view name, F TPropInfo::*accessor,
                                             std::vector<TPropInfo>& st) {
    const TPropInfo* p = FindPropInfo(obj, name, st);
    return p && p->*accessor ? p : nullptr;
}

}  // namespace

bool SetOrdProp(TObject* obj, std::wstring_view name, std::int64_t value) {
    std::vector<TPropInfo> st;
    const TPropInfo* p = FindProp(obj, name, &TPropInfo::SetOrd, st);
    if (p) p->SetOrd(obj, value);
    return p != nullptr;
}

bool GetOrdProp(const TObject* obj, std::wstring_view name, std::int64_t& value) {
    std::vector<TPropInfo> st;
    const TPropInfo* p = FindProp(obj, name, &TPropInfo::GetOrd, st);
    if (p) value = p->GetOrd(obj);
    return p != nullptr;
}

bool SetStrProp(TObject* obj, std::wstring_view name, const std::wstring& value) {
    std::vector<TPropInfo> st;
    const TPropInfo* p = FindProp(obj, name, &TPropInfo::SetStr, st);
    if (p) p->SetStr(obj, value);
    return p != nullptr;
}

bool GetStrProp(const TObject* obj, std::wstring_view name, std::wstring& value) {
    std::vector<TPropInfo> st;
    const TPropInfo* p = FindProp(obj, name, &TPropInfo::GetStr, st);
    if (p) value = p->GetStr(obj);
    return p != nullptr;
}

bool SetObjectProp(TObject* obj, std::wstring_view name, TObject* value) {
    std::vector<TPropInfo> st;
    const TPropInfo* p = FindProp(obj, name, &TPropInfo::SetObj, st);
    return p && p->SetObj(obj, value);
}

TObject* GetObjectProp(TObject* obj, std::wstring_view name) {
    std::vector<TPropInfo> st;
    const TPropInfo* p = FindProp(obj, name, &TPropInfo::GetObj, st);
    return p ? p->GetObj(obj) : nullptr;
}

void* FindEventProp(TObject* obj, std::wstring_view name, const std::type_info& type) {
    std::vector<TPropInfo> st;
    const TPropInfo* p = FindProp(obj, name, &TPropInfo::Event, st);
    return p && *p->EventType == type ? p->Event(obj) : nullptr;
}

std::vector<TPropInfo> SelectProps(const std::vector<TPropInfo>& table,
                                   std::initializer_list<std::wstring_view> names) {
    std::vector<TPropInfo> r;
    for (std::wstring_view n : names) {
        auto it = std::find_if(table.begin(), table.end(), [n](const TPropInfo& p) { return p.Name == n; });
        if (it != table.end()) r.push_back(*it);
    }
    return r;
}

// ---- TComponent

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner) {
        if (AOwner->Loading()) state_.Include(csLoading);
        if (AOwner->Designing()) state_.Include(csDesigning);
        AOwner->InsertComponent(this);
    }
}

TComponent::~TComponent() {
    Destroying();
    DestroyComponents();
}

void TComponent::Destroying() {
    if (removalSent_) return;
    removalSent_ = true;
    state_.Include(csDestroying);
    // Those who asked to be told: each forgets us, and we forget them.
    while (!freeNotifies_.empty()) {
        TComponent* c = freeNotifies_.back();
        freeNotifies_.pop_back();
        auto& theirs = c->freeNotifies_;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
        c->Notification(this, opRemove);
    }
    if (owner_) owner_->RemoveComponent(this);
}

void TComponent::DestroyComponents() {
    while (!components_.empty()) {
        TComponent* c = components_.back();
        delete c;  // its Destroying() removes it from components_
        if (!components_.empty() && components_.back() == c) components_.pop_back();
    }
}

TComponent* TComponent::Components(int i) const {
    if (i < 0 || i >= ComponentCount()) throw EListError(Format(L"List index out of bounds (%d)", {i}));
    return components_[i];
}

TComponent* TComponent::FindComponent(const std::wstring& name) const {
    for (auto* c : components_)
        if (!name.empty() && SameTextAscii(c->Name(), name)) return c;
    return nullptr;
}

void TComponent::SetDesigning(bool v) {
    if (v)
        state_.Include(csDesigning);
    else
        state_.Exclude(csDesigning);
}

void TComponent::InsertComponent(TComponent* c) {
    components_.push_back(c);
    c->owner_ = this;
    Notification(c, opInsert);
}

void TComponent::RemoveComponent(TComponent* c) {
    Notification(c, opRemove);
    components_.erase(std::remove(components_.begin(), components_.end(), c), components_.end());
    c->owner_ = nullptr;
}

void TComponent::FreeNotification(TComponent* a) {
    if (!a || a == this) return;
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), a) == freeNotifies_.end()) freeNotifies_.push_back(a);
    if (std::find(a->freeNotifies_.begin(), a->freeNotifies_.end(), this) == a->freeNotifies_.end())
        a->freeNotifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* a) {
    if (!a) return;
    freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), a), freeNotifies_.end());
    a->freeNotifies_.erase(std::remove(a->freeNotifies_.begin(), a->freeNotifies_.end(), this), a->freeNotifies_.end());
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent) RemoveFreeNotification(AComponent);
    // Owned components hear of their siblings' removal too.
    if (Operation == opRemove) {
        std::vector<TComponent*> snapshot = components_;
        for (auto* c : snapshot)
            if (c != AComponent && std::find(components_.begin(), components_.end(), c) != components_.end())
                c->Notification(AComponent, Operation);
    }
}

void TComponent::BeginLoading() { state_.Include(csLoading); }

void TComponent::EndLoading() {
    // Components owned by owned ones were loaded with them and finish first;
    // a Loaded that frees a sibling must not leave it in the walk.
    std::vector<TComponent*> snapshot = components_;
    for (auto* c : snapshot)
        if (std::find(components_.begin(), components_.end(), c) != components_.end() && c->Loading()) c->EndLoading();
    if (Loading()) Loaded();
}

void TComponent::Loaded() { state_.Exclude(csLoading); }

// ---- TList

TList::~TList() { items_.clear(); }

void TList::IndexError(int i) { throw EListError(Format(L"List index out of bounds (%d)", {i})); }

void* TList::Get(int i) const {
    if (i < 0 || i >= Count()) IndexError(i);
    return items_[i];
}

void TList::Put(int i, void* p) {
    if (i < 0 || i >= Count()) IndexError(i);
    items_[i] = p;
}

int TList::Add(void* p) {
    items_.push_back(p);
    return Count() - 1;
}

void TList::Insert(int i, void* p) {
    if (i < 0 || i > Count()) IndexError(i);
    items_.insert(items_.begin() + i, p);
}

void TList::Delete(int i) {
    if (i < 0 || i >= Count()) IndexError(i);
    items_.erase(items_.begin() + i);
}

int TList::IndexOf(const void* p) const {
    for (int i = 0; i < Count(); ++i)
        if (items_[i] == p) return i;
    return -1;
}

int TList::Remove(const void* p) {
    int i = IndexOf(p);
    if (i >= 0) Delete(i);
    return i;
}

void TList::Clear() { items_.clear(); }

// ---- TStringList

TStringList::~TStringList() { Clear(); }

void TStringList::Check(int i) const {
    if (i < 0 || i >= Count()) throw EListError(Format(L"List index out of bounds (%d)", {i}));
}

const std::wstring& TStringList::Strings(int i) const {
    Check(i);
    return items_[i].s;
}

void TStringList::SetStrings(int i, const std::wstring& s) {
    Check(i);
    items_[i].s = s;
}

TObject* TStringList::Objects(int i) const {
    Check(i);
    return items_[i].o;
}

void TStringList::SetObjects(int i, TObject* o) {
    Check(i);
    items_[i].o = o;
}

int TStringList::AddObject(const std::wstring& s, TObject* o) {
    items_.push_back({s, o});
    return Count() - 1;
}

void TStringList::InsertObject(int i, const std::wstring& s, TObject* o) {
    if (i < 0 || i > Count()) throw EListError(Format(L"List index out of bounds (%d)", {i}));
    items_.insert(items_.begin() + i, Item{s, o});
}

void TStringList::Delete(int i) {
    Check(i);
    TObject* o = items_[i].o;
    items_.erase(items_.begin() + i);
    if (owns_) delete o;
}

void TStringList::Clear() {
    std::vector<Item> old;
    old.swap(items_);
    if (owns_)
        for (auto& it : old) delete it.o;
}

int TStringList::IndexOf(const std::wstring& s) const {
    for (int i = 0; i < Count(); ++i)
        if (SameTextAscii(items_[i].s, s)) return i;
    return -1;
}

std::wstring TStringList::Names(int i) const {
    const auto& s = Strings(i);
    auto p = s.find(L'=');
    return p == std::wstring::npos ? std::wstring() : s.substr(0, p);
}

std::wstring TStringList::ValueFromIndex(int i) const {
    const auto& s = Strings(i);
    auto p = s.find(L'=');
    return p == std::wstring::npos ? std::wstring() : s.substr(p + 1);
}

int TStringList::IndexOfName(const std::wstring& name) const {
    for (int i = 0; i < Count(); ++i) {
        auto p = items_[i].s.find(L'=');
        if (p != std::wstring::npos && SameTextAscii(items_[i].s.substr(0, p), name)) return i;
    }
    return -1;
}

int TStringList::IndexOfObject(const TObject* o) const {
    for (int i = 0; i < Count(); ++i)
        if (items_[i].o == o) return i;
    return -1;
}

std::wstring TStringList::Values(const std::wstring& name) const {
    int i = IndexOfName(name);
    return i < 0 ? std::wstring() : ValueFromIndex(i);
}

std::wstring TStringList::Text() const {
    std::wstring r;
    for (auto& it : items_) r += it.s + L"\r\n";
    return r;
}

}  // namespace fw

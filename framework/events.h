// Bound-method events and small enumeration sets.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <type_traits>
#include <utility>

namespace fw {

template <class Sig> class TEvent;

// A callback bound to an object. Two events compare equal when they call the
// same method on the same object, so listener lists can find a registration.
// A lambda may be assigned where no comparison is needed; it equals nothing
// but itself (copies of it included).
template <class R, class... A> class TEvent<R(A...)> {
public:
    using Thunk = R (*)(void*, A...);

    TEvent() = default;
    TEvent(std::nullptr_t) {}

    template <class F,
              class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TEvent> && std::is_invocable_r_v<R, F&, A...>>>
    TEvent(F&& f) : fn_(std::make_shared<std::function<R(A...)>>(std::forward<F>(f))) {
        obj_ = fn_.get();
        thunk_ = &CallFunction;
    }

    // Bind<&TForm2::Button1Click>(this)
    template <auto Method, class C> static TEvent Bind(C* obj) {
        TEvent e;
        e.obj_ = static_cast<void*>(obj);
        e.thunk_ = &CallMethod<Method, C>;
        return e;
    }

    explicit operator bool() const { return thunk_ != nullptr; }
    bool Assigned() const { return thunk_ != nullptr; }

    R operator()(A... args) const { return thunk_(obj_, std::forward<A>(args)...); }

    // The code and the object of the pair.
    Thunk Code() const { return thunk_; }
    void* Data() const { return obj_; }

    friend bool operator==(const TEvent& a, const TEvent& b) { return a.thunk_ == b.thunk_ && a.obj_ == b.obj_; }
    friend bool operator==(const TEvent& a, std::nullptr_t) { return !a.thunk_; }

private:
    template <auto Method, class C> static R CallMethod(void* obj, A... args) {
        return (static_cast<C*>(obj)->*Method)(std::forward<A>(args)...);
    }
    static R CallFunction(void* obj, A... args) {
        return (*static_cast<std::function<R(A...)>*>(obj))(std::forward<A>(args)...);
    }

    void* obj_ = nullptr;
    Thunk thunk_ = nullptr;
    std::shared_ptr<std::function<R(A...)>> fn_;
};

template <auto Method, class C> auto MakeEvent(C* obj);

namespace detail {
template <class M> struct MethodSig;
template <class C, class R, class... A> struct MethodSig<R (C::*)(A...)> { using type = R(A...); };
}  // namespace detail

// MakeEvent<&TForm2::Button1Click>(this) deduces the event type from the method.
template <auto Method, class C> auto MakeEvent(C* obj) {
    using Sig = typename detail::MethodSig<decltype(Method)>::type;
    return TEvent<Sig>::template Bind<Method>(obj);
}

// A set of enumeration values, bit n for value n, stored in Store.
template <class E, class Store = std::uint32_t> class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> values) {
        for (E v : values) bits_ |= Bit(v);
    }
    static constexpr TSet FromBits(Store b) {
        TSet s;
        s.bits_ = b;
        return s;
    }
    constexpr Store Bits() const { return bits_; }
    constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TSet& Include(E v) {
        bits_ |= Bit(v);
        return *this;
    }
    constexpr TSet& Exclude(E v) {
        bits_ &= static_cast<Store>(~Bit(v));
        return *this;
    }
    constexpr TSet operator+(TSet o) const { return FromBits(bits_ | o.bits_); }
    constexpr TSet operator-(TSet o) const { return FromBits(bits_ & static_cast<Store>(~o.bits_)); }
    constexpr TSet operator*(TSet o) const { return FromBits(bits_ & o.bits_); }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr Store Bit(E v) { return static_cast<Store>(Store(1) << static_cast<unsigned>(v)); }
    Store bits_ = 0;
};

}  // namespace fw

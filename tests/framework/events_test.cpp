// Tests of framework/events.h.
#include <gtest/gtest.h>

#include <string>

#include "framework/classes.h"

using namespace fw;

namespace {
struct TTarget {
    std::wstring name;
    std::wstring* log;
    void A(TObject*) { *log += name + L".A "; }
    void B(TObject*) { *log += name + L".B "; }
    int Sum(int x, int y) { return x + y + static_cast<int>(name.size()); }
};
}  // namespace

TEST(Event, EqualOnlyForTheSameObjectAndMethod) {
    std::wstring log;
    TTarget one{L"one", &log}, two{L"two", &log};
    auto a1 = TNotifyEvent::Bind<&TTarget::A>(&one);
    auto a1again = MakeEvent<&TTarget::A>(&one);
    auto a2 = TNotifyEvent::Bind<&TTarget::A>(&two);
    auto b1 = TNotifyEvent::Bind<&TTarget::B>(&one);
    static_assert(std::is_same_v<decltype(a1again), TNotifyEvent>);

    EXPECT_TRUE(a1 == a1again);
    EXPECT_FALSE(a1 == a2);
    EXPECT_FALSE(a1 == b1);
    EXPECT_EQ(a1.Data(), b1.Data());
    EXPECT_NE(a1.Code(), b1.Code());

    a1(nullptr);
    a2(nullptr);
    b1(nullptr);
    EXPECT_EQ(log, L"one.A two.A one.B ");
}

TEST(Event, EmptyAndLambdaEvents) {
    TNotifyEvent none;
    EXPECT_FALSE(none);
    EXPECT_FALSE(none.Assigned());
    EXPECT_TRUE(none == nullptr);
    EXPECT_TRUE(TNotifyEvent(nullptr) == none);

    int calls = 0;
    TNotifyEvent l1 = [&calls](TObject*) { ++calls; };
    TNotifyEvent l1copy = l1;
    TNotifyEvent l2 = [&calls](TObject*) { ++calls; };
    EXPECT_TRUE(l1.Assigned());
    EXPECT_TRUE(l1 == l1copy);
    EXPECT_FALSE(l1 == l2);
    l1copy(nullptr);
    EXPECT_EQ(calls, 1);

    std::wstring log;
    TTarget t{L"abc", &log};
    auto sum = MakeEvent<&TTarget::Sum>(&t);
    EXPECT_EQ(sum(1, 2), 6);
}

namespace {
enum TColour { cRed, cGreen, cBlue, cLast = 15 };
}

TEST(Set, MembershipAndOperations) {
    using TColours = TSet<TColour, std::uint16_t>;
    TColours s{cRed, cLast};
    EXPECT_TRUE(s.Contains(cRed));
    EXPECT_TRUE(s.Contains(cLast));
    EXPECT_FALSE(s.Contains(cGreen));
    EXPECT_EQ(s.Bits(), 0x8001);
    s.Include(cBlue).Exclude(cRed);
    EXPECT_EQ(s, (TColours{cBlue, cLast}));
    EXPECT_EQ(s + TColours{cGreen}, (TColours{cGreen, cBlue, cLast}));
    EXPECT_EQ((s - TColours{cLast, cGreen}), TColours{cBlue});
    EXPECT_EQ((s * TColours{cLast, cGreen}), TColours{cLast});
    EXPECT_TRUE((s - s).Empty());
    EXPECT_EQ(TColours::FromBits(0x0002), TColours{cGreen});
}

#include "fagex/fagexSingleton.h"
#include "fagex/fagexSharedPtr.h"

#include <gtest/gtest.h>

namespace {

struct Service : fagex::Singleton<Service> {
    int value = 5;
};

struct Counted {
    explicit Counted(int* live) : live(live) { ++*live; }
    ~Counted() { --*live; }
    int* live;
};

}   // namespace

TEST(SingletonTest, ConstructionRegistersAndDestructionClears)
{
    EXPECT_EQ(Service::getSingletonPtr(), nullptr);
    {
        Service s;
        EXPECT_EQ(Service::getSingletonPtr(), &s);
        EXPECT_EQ(Service::getSingleton().value, 5);
    }
    EXPECT_EQ(Service::getSingletonPtr(), nullptr);
}

TEST(SharedPtrTest, LastOwnerDeletes)
{
    int live = 0;
    {
        fagex::SharedPtr<Counted> a(new Counted(&live));
        EXPECT_EQ(live, 1);
        EXPECT_TRUE(a.unique());
        fagex::SharedPtr<Counted> b = a;
        EXPECT_EQ(a.useCount(), 2);
        EXPECT_EQ(a, b);
        a.setNull();
        EXPECT_TRUE(a.isNull());
        EXPECT_EQ(live, 1);
        EXPECT_EQ(b->live, &live);
    }
    EXPECT_EQ(live, 0);
    fagex::SharedPtr<Counted> c;
    EXPECT_TRUE(c.isNull());
    c.bind(new Counted(&live));
    EXPECT_FALSE(c.isNull());
    c.setNull();
    EXPECT_EQ(live, 0);
}

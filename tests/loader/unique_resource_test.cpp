// The owner template's out-parameter slots: put() releases what is held before
// lending the slot, addressof() lends it as it is and releases nothing.
#include <algorithm>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "interfaces/unique_resource.h"

namespace {

// Handles are small numbers; the ones released are recorded in order.
std::vector<int> released;
void Release(int handle) { released.push_back(handle); }
using Owner = Vexa::UniqueResource<int, Release>;

// What a function with an out parameter does: write a new handle through it.
void HandOut(int* slot, int handle) { *slot = handle; }

struct Lending {
    std::string name;
    int* (*lend)(Owner&);
    bool releasesHeld;  // whether lending the slot releases the handle held before
};

void PrintTo(const Lending& lending, std::ostream* out) { *out << lending.name; }

class UniqueResourceSlot : public ::testing::TestWithParam<Lending> {
protected:
    void SetUp() override { released.clear(); }
};

TEST_P(UniqueResourceSlot, SlotIsTheOwnersOwnValue) {
    Owner owner(7);
    int* slot = GetParam().lend(owner);
    EXPECT_EQ(*slot, GetParam().releasesHeld ? 0 : 7);
    EXPECT_EQ(released, GetParam().releasesHeld ? std::vector<int>{7} : std::vector<int>{});
    EXPECT_EQ(static_cast<bool>(owner), !GetParam().releasesHeld);
    // Whatever the slot receives is the owner's from then on, and released once.
    HandOut(slot, 9);
    EXPECT_EQ(owner.get(), 9);
    owner.reset();
    EXPECT_EQ(released.back(), 9);
    EXPECT_EQ(std::count(released.begin(), released.end(), 9), 1);
}

TEST_P(UniqueResourceSlot, EmptyOwnerLendsAnEmptySlot) {
    Owner owner;
    int* slot = GetParam().lend(owner);
    EXPECT_EQ(*slot, 0);
    EXPECT_TRUE(released.empty());
    HandOut(slot, 4);
    {
        Owner moved(std::move(owner));
        EXPECT_EQ(moved.get(), 4);
    }
    EXPECT_EQ(released, std::vector<int>{4});
}

TEST_P(UniqueResourceSlot, LendingTwiceKeepsOneHandle) {
    Owner owner(3);
    HandOut(GetParam().lend(owner), 5);
    HandOut(GetParam().lend(owner), 6);
    owner.reset();
    // put() releases each handle before the next arrives; addressof() overwrites in
    // place, so only the last is released: the caller that replaces a held handle
    // must use put().
    const std::vector<int> expected = GetParam().releasesHeld ? std::vector<int>{3, 5, 6} : std::vector<int>{6};
    EXPECT_EQ(released, expected);
}

INSTANTIATE_TEST_SUITE_P(Lendings, UniqueResourceSlot,
                         ::testing::Values(Lending{"put", [](Owner& owner) { return owner.put(); }, true},
                                           Lending{"addressof", [](Owner& owner) { return owner.addressof(); }, false}),
                         [](const ::testing::TestParamInfo<Lending>& info) { return info.param.name; });

}  // namespace

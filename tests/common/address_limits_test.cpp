#include "common/address_limits.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr size_t kNone = CAddressLimits<std::string>::kNoCap;

enum class Op { kTake, kTakeReserved, kRelease };
struct Step {
  Op op;
  const char* address;
  AddressRoom expect;  // for takes
};
struct Case {
  const char* name;
  size_t perAddress, inAll, reserve;
  std::vector<Step> steps;
  size_t total;  // held in all at the end
};

constexpr AddressRoom kTaken = AddressRoom::kTaken;
constexpr AddressRoom kAll = AddressRoom::kAllFull;
constexpr AddressRoom kAddr = AddressRoom::kAddressFull;

TEST(AddressLimits, CapsReserveAndRelease) {
  const std::vector<Case> cases = {
      {"cap per address reached; another address still comes in", 2, kNone, 0,
       {{Op::kTake, "a", kTaken}, {Op::kTake, "a", kTaken}, {Op::kTake, "a", kAddr},
        {Op::kTake, "b", kTaken}},
       3},
      {"cap in all reached, for every address", 5, 3, 0,
       {{Op::kTake, "a", kTaken}, {Op::kTake, "b", kTaken}, {Op::kTake, "c", kTaken},
        {Op::kTake, "d", kAll}, {Op::kTake, "a", kAll}},
       3},
      {"the cap in all is named before the address's own", 1, 1, 0,
       {{Op::kTake, "a", kTaken}, {Op::kTake, "a", kAll}},
       1},
      {"a release brings the address's room back", 1, kNone, 0,
       {{Op::kTake, "a", kTaken}, {Op::kTake, "a", kAddr}, {Op::kRelease, "a", kTaken},
        {Op::kTake, "a", kTaken}},
       1},
      {"a release brings room in all back, to any address", kNone, 2, 0,
       {{Op::kTake, "a", kTaken}, {Op::kTake, "b", kTaken}, {Op::kTake, "c", kAll},
        {Op::kRelease, "a", kTaken}, {Op::kTake, "c", kTaken}},
       2},
      {"releasing what an address does not hold changes nothing", 1, 1, 0,
       {{Op::kTake, "a", kTaken}, {Op::kRelease, "b", kTaken}, {Op::kTake, "b", kAll}},
       1},
      {"the reserve is only for those with a right to it", kNone, 4, 2,
       {{Op::kTake, "a", kTaken}, {Op::kTake, "b", kTaken}, {Op::kTake, "c", kAll},
        {Op::kTakeReserved, "pc", kTaken}, {Op::kTakeReserved, "pc", kTaken},
        {Op::kTakeReserved, "pc", kAll}},
       4},
      {"within the reserve the address cap still holds", 1, 4, 3,
       {{Op::kTake, "a", kTaken}, {Op::kTakeReserved, "a", kAddr}, {Op::kTakeReserved, "pc", kTaken}},
       2},
      {"a reserve as large as the room keeps all of it", kNone, 2, 5,
       {{Op::kTake, "a", kAll}, {Op::kTakeReserved, "pc", kTaken}},
       1},
      {"a cap per address of zero still admits one", 0, kNone, 0,
       {{Op::kTake, "a", kTaken}, {Op::kTake, "a", kAddr}},
       1},
      {"a cap in all of zero admits none", kNone, 0, 0, {{Op::kTake, "a", kAll}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CAddressLimits<std::string> limits(c.perAddress, c.inAll, c.reserve);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      if (s.op == Op::kRelease) {
        limits.Release(s.address);
        continue;
      }
      const size_t before = limits.Of(s.address);
      EXPECT_EQ(limits.Take(s.address, s.op == Op::kTakeReserved), s.expect);
      EXPECT_EQ(limits.Of(s.address), before + (s.expect == kTaken ? 1 : 0));
    }
    EXPECT_EQ(limits.Total(), c.total);
  }
}

// The owners ask before they take (a crowd of unfinished heads makes room for a newcomer): the
// questions agree with what Take would answer.
TEST(AddressLimits, QuestionsAgreeWithTake) {
  CAddressLimits<unsigned> limits(2, 3, 1);
  EXPECT_FALSE(limits.AddressFull(7));
  EXPECT_FALSE(limits.InReserve());
  ASSERT_EQ(limits.Take(7), kTaken);
  ASSERT_EQ(limits.Take(7), kTaken);
  EXPECT_TRUE(limits.AddressFull(7));
  EXPECT_FALSE(limits.AddressFull(8));
  EXPECT_TRUE(limits.InReserve());
  EXPECT_FALSE(limits.AllFull());
  ASSERT_EQ(limits.Take(8, true), kTaken);
  EXPECT_TRUE(limits.AllFull());
  limits.Release(7);
  limits.Release(7);
  EXPECT_EQ(limits.Of(7), 0u);
  EXPECT_FALSE(limits.AddressFull(7));
  EXPECT_FALSE(limits.InReserve());
  // New caps apply to what is held already.
  limits.SetCaps(1, 1);
  EXPECT_TRUE(limits.AllFull());
  EXPECT_TRUE(limits.AddressFull(8));
  EXPECT_EQ(limits.Take(9), kAll);
}

}  // namespace

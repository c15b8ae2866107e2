// Fifo: growth, take_all, prepend, and element lifetimes throughout.
#include "state/fifo.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvex {
namespace {

// Counts live instances so that leaks and double destruction show.
struct Item {
  static inline int live = 0;
  int v;
  explicit Item(int x) : v(x) { ++live; }
  Item(const Item& o) : v(o.v) { ++live; }
  Item(Item&& o) noexcept : v(o.v) {
    o.v = -1;
    ++live;
  }
  Item& operator=(const Item&) = default;
  Item& operator=(Item&&) noexcept = default;
  ~Item() { --live; }
};

std::vector<int> values(const Fifo<Item>& q) {
  std::vector<int> out;
  for (std::size_t i = 0; i < q.size(); ++i) out.push_back(q[i].v);
  return out;
}

std::vector<int> range(int from, int to) {
  std::vector<int> out;
  for (int i = from; i < to; ++i) out.push_back(i);
  return out;
}

class FifoTest : public ::testing::Test {
 protected:
  void SetUp() override { live_before_ = Item::live; }
  void TearDown() override { EXPECT_EQ(Item::live, live_before_) << "items leaked or freed twice"; }

 private:
  int live_before_ = 0;
};

TEST_F(FifoTest, GrowsFromNothingKeepingOrder) {
  Fifo<Item> q;
  EXPECT_TRUE(q.empty());
  for (int i = 0; i < 1000; ++i) {
    q.push_back(Item(i));
    ASSERT_EQ(q.size(), static_cast<std::size_t>(i + 1));
    ASSERT_EQ(q[static_cast<std::size_t>(i)].v, i);
    ASSERT_EQ(q[0].v, 0);
  }
  EXPECT_EQ(values(q), range(0, 1000));
  EXPECT_EQ(Item::live, 1000);
}

TEST_F(FifoTest, TakeAllEmptiesAndQueueIsReusable) {
  Fifo<Item> q;
  for (int i = 0; i < 10; ++i) q.push_back(Item(i));
  Fifo<Item> taken = q.take_all();
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(values(taken), range(0, 10));
  q.push_back(Item(42));
  EXPECT_EQ(values(q), std::vector<int>{42});
  EXPECT_EQ(values(taken), range(0, 10));

  Fifo<Item> none = Fifo<Item>().take_all();
  EXPECT_TRUE(none.empty());
}

TEST_F(FifoTest, PrependPutsBlockInFrontInOrder) {
  for (int front_n : {0, 1, 3, 4, 5, 100}) {
    for (int back_n : {0, 1, 3, 4, 7, 64}) {
      Fifo<Item> front;
      Fifo<Item> back;
      for (int i = 0; i < front_n; ++i) front.push_back(Item(i));
      for (int i = 0; i < back_n; ++i) back.push_back(Item(front_n + i));
      back.prepend(std::move(front));
      ASSERT_EQ(values(back), range(0, front_n + back_n)) << front_n << " + " << back_n;
      back.push_back(Item(-7));  // still a working queue afterwards
      ASSERT_EQ(back[back.size() - 1].v, -7);
    }
  }
}

// A queue drained, refilled and restored again and again, as an inbox is.
TEST_F(FifoTest, RepeatedTakeAndPrependCycles) {
  Fifo<Item> q;
  std::vector<int> model;
  int next = 0;
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < round % 7; ++i) {
      q.push_back(Item(next));
      model.push_back(next++);
    }
    Fifo<Item> taken = q.take_all();
    for (int i = 0; i < round % 5; ++i) {
      q.push_back(Item(next));
      model.push_back(next++);
    }
    q.prepend(std::move(taken));
    ASSERT_EQ(values(q), model) << "round " << round;
  }
}

TEST_F(FifoTest, MoveAssignmentFreesTheOldContents) {
  Fifo<Item> a;
  Fifo<Item> b;
  for (int i = 0; i < 5; ++i) a.push_back(Item(i));
  for (int i = 0; i < 3; ++i) b.push_back(Item(10 + i));
  a = std::move(b);
  EXPECT_EQ(values(a), range(10, 13));
  EXPECT_EQ(Item::live, 3);
  a.reserve(50);
  EXPECT_EQ(values(a), range(10, 13));
}

TEST(Fifo, HoldsStringsWhole) {
  Fifo<std::string> q;
  std::string big(10000, 'z');
  q.push_back(std::string("a\0b", 3));
  q.push_back(big);
  q.push_back("");
  Fifo<std::string> t = q.take_all();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0], std::string("a\0b", 3));
  EXPECT_EQ(t[1], big);
  EXPECT_EQ(t[2], "");
}

}  // namespace
}  // namespace halvex

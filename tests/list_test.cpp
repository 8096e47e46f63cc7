#include <gtest/gtest.h>

#include "util/List.h"

TEST(List, AddRemoveOrder) {
  List list;
  int a = 1, b = 2, c = 3;
  ListAddTail(&list, &b);
  ListAddHead(&list, &a);
  ListAddTail(&list, &c);
  EXPECT_EQ(list.count, 3u);
  {
    ListLock guard(list.lock);
    ASSERT_NE(list.first, nullptr);
    EXPECT_EQ(list.first->item, &a);
    EXPECT_EQ(list.first->next->item, &b);
    EXPECT_EQ(list.last->item, &c);
  }
  EXPECT_TRUE(ListRemove(&list, &b));
  EXPECT_FALSE(ListRemove(&list, &b));
  EXPECT_EQ(list.count, 2u);
}

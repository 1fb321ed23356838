// The test support's child-process runner, tried on a plain program.
#include "tests/support/kbzTestProcess.h"

#include <gtest/gtest.h>

using namespace kbz::test;

TEST(TestProcess, EchoesLinesAndReportsExit)
{
    TestProcess cat;
    ASSERT_TRUE(cat.Start({"cat"}));
    cat.WriteLine("hello");
    cat.WriteLine("world");
    ASSERT_TRUE(cat.WaitForLineContaining("world", 5s).has_value());
    cat.CloseStdin();
    auto code = cat.WaitForExit(5s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_EQ(cat.Lines(), (std::vector<std::string>{"hello", "world"}));
}

// Command-line switches: search, removal, conversion and faults.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "app/switches.h"

namespace zemb {
namespace {

// An argument vector that the switch routines may rewrite.
struct Args {
    explicit Args(std::vector<std::string> words) : texts(std::move(words))
    {
        for (auto& t : texts)
            pointers.push_back(t.data());
        pointers.push_back(nullptr);
        argc = static_cast<int>(texts.size());
    }
    char** argv() { return pointers.data(); }
    std::vector<std::string> left() const
    {
        return std::vector<std::string>(pointers.begin(), pointers.begin() + argc);
    }
    std::vector<std::string> texts;
    std::vector<char*> pointers;
    int argc;
};

TEST(Switches, FoundSwitchAndItsValueAreRemovedAndLaterArgumentsMoveDown)
{
    Args a({"zemb", "seq", "1", "-n", "5", "10", "-s"});
    SwitchFault fault = SwitchFault::none;
    EXPECT_EQ(take_int_switch(a.argc, a.argv(), "-n", 3, fault), 5);
    EXPECT_EQ(fault, SwitchFault::none);
    EXPECT_EQ(a.left(), (std::vector<std::string>{"zemb", "seq", "1", "10", "-s"}));
    EXPECT_STREQ(take_switch(a.argc, a.argv(), "-s", false, nullptr, fault), "-s");
    EXPECT_EQ(a.argc, 4);
}

TEST(Switches, AbsentSwitchGivesTheDefaultAndChangesNothing)
{
    Args a({"zemb", "seq", "1", "2"});
    SwitchFault fault = SwitchFault::none;
    EXPECT_EQ(take_int_switch(a.argc, a.argv(), "-K", 200, fault), 200);
    EXPECT_EQ(take_real_switch(a.argc, a.argv(), "-c2", 0.05, fault), 0.05);
    EXPECT_EQ(take_switch(a.argc, a.argv(), "-s", false, "absent", fault), std::string("absent"));
    EXPECT_EQ(a.argc, 4);
    EXPECT_EQ(fault, SwitchFault::none);

    Args bare({"zemb"});
    EXPECT_EQ(take_int_switch(bare.argc, bare.argv(), "zemb", 7, fault), 7)
        << "with no arguments the vector is not even searched";
}

TEST(Switches, OnlyExactWholeArgumentsMatchAndTheFirstOneWins)
{
    Args a({"zemb", "-n5", "-N", "-n", "7", "-n", "9"});
    SwitchFault fault = SwitchFault::none;
    EXPECT_EQ(take_int_switch(a.argc, a.argv(), "-n", 3, fault), 7);
    EXPECT_EQ(a.left(), (std::vector<std::string>{"zemb", "-n5", "-N", "-n", "9"}));
}

TEST(Switches, ValuesAreTakenWhollyAsTheCLibraryReadsThem)
{
    struct Case {
        const char* text;
        double value;  // when there is no fault
        SwitchFault fault;
    };
    const SwitchFault none = SwitchFault::none;
    const Case integers[] = {
        // The base comes from the prefix; an empty value leaves nothing over.
        {"010", 8, none},
        {"0x10", 16, none},
        {"0X1f", 31, none},
        {"  -12", -12, none},
        {"", 0, none},
        // Beyond 32 bits the value saturates.
        {"99999999999", INT_MAX, none},
        {"-99999999999", INT_MIN, none},
        {"999999999999999999999999", INT_MAX, none},
        // Anything left over is a fault.
        {"5x", 0, SwitchFault::not_integer},
        {"1.5", 0, SwitchFault::not_integer},
        {" ", 0, SwitchFault::not_integer},
        {"abc", 0, SwitchFault::not_integer},
        {"09", 0, SwitchFault::not_integer},
        {"0x", 0, SwitchFault::not_integer},
    };
    const Case reals[] = {
        {".5", 0.5, none},
        {"1e-1", 0.1, none},
        {"", 0.0, none},
        {"0,1", 0, SwitchFault::not_real},  // a decimal comma is not a number
    };
    // A fault leaves the fallback, 3 here.
    auto check = [&](const Case& c, auto take) {
        Args a({"zemb", "-v", c.text});
        SwitchFault fault = none;
        const double value = take(a.argc, a.argv(), "-v", 3, fault, nullptr);
        EXPECT_EQ(fault, c.fault) << c.text;
        EXPECT_EQ(value, c.fault == none ? c.value : 3) << c.text;
    };
    for (const Case& c : integers)
        check(c, take_int_switch);
    for (const Case& c : reals)
        check(c, take_real_switch);
}

TEST(Switches, FlagGivenTwiceIsTakenOnceAndTheSecondStays)
{
    Args a({"zemb", "-s", "x", "-s"});
    SwitchFault fault = SwitchFault::none;
    EXPECT_STREQ(take_switch(a.argc, a.argv(), "-s", false, nullptr, fault), "-s");
    EXPECT_EQ(a.left(), (std::vector<std::string>{"zemb", "x", "-s"}));
    EXPECT_EQ(take_switch(a.argc, a.argv(), "-m", false, nullptr, fault), nullptr);
    EXPECT_EQ(fault, SwitchFault::none);
}

}  // namespace
}  // namespace zemb

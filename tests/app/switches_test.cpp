// Command-line switches: search, removal, conversion and faults.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "app/app.h"

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

int read_int(const std::string& value, SwitchFault& fault)
{
    Args a({"zemb", "-n", value});
    return take_int_switch(a.argc, a.argv(), "-n", 3, fault);
}

double read_real(const std::string& value, SwitchFault& fault)
{
    Args a({"zemb", "-e1", value});
    return take_real_switch(a.argc, a.argv(), "-e1", 0.1, fault);
}

TEST(Switches, FoundSwitchAndItsValueAreRemovedAndLaterArgumentsMoveDown)
{
    Args a({"zemb", "seq", "1", "-n", "5", "10", "-s"});
    SwitchFault fault = SwitchFault::none;
    EXPECT_EQ(take_int_switch(a.argc, a.argv(), "-n", 3, fault), 5);
    EXPECT_EQ(fault, SwitchFault::none);
    EXPECT_EQ(a.left(), (std::vector<std::string>{"zemb", "seq", "1", "10", "-s"}));
    EXPECT_STREQ(take_switch(a.argc, a.argv(), "-s", 0, nullptr, fault), "-s");
    EXPECT_EQ(a.argc, 4);
}

TEST(Switches, AbsentSwitchGivesTheDefaultAndChangesNothing)
{
    Args a({"zemb", "seq", "1", "2"});
    SwitchFault fault = SwitchFault::none;
    EXPECT_EQ(take_int_switch(a.argc, a.argv(), "-K", 200, fault), 200);
    EXPECT_EQ(take_real_switch(a.argc, a.argv(), "-c2", 0.05, fault), 0.05);
    EXPECT_EQ(take_switch(a.argc, a.argv(), "-s", 0, "absent", fault), std::string("absent"));
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

TEST(Switches, IntegerBaseComesFromThePrefix)
{
    SwitchFault fault = SwitchFault::none;
    EXPECT_EQ(read_int("010", fault), 8);
    EXPECT_EQ(read_int("0x10", fault), 16);
    EXPECT_EQ(read_int("0X1f", fault), 31);
    EXPECT_EQ(read_int("  -12", fault), -12);
    EXPECT_EQ(read_int("", fault), 0) << "an empty value leaves nothing over";
    EXPECT_EQ(fault, SwitchFault::none);
}

TEST(Switches, IntegersBeyondThirtyTwoBitsSaturate)
{
    SwitchFault fault = SwitchFault::none;
    EXPECT_EQ(read_int("99999999999", fault), INT_MAX);
    EXPECT_EQ(read_int("-99999999999", fault), INT_MIN);
    EXPECT_EQ(read_int("999999999999999999999999", fault), INT_MAX);
    EXPECT_EQ(fault, SwitchFault::none);
}

TEST(Switches, IntegerValueWithAnythingLeftOverIsAFault)
{
    for (const char* bad : {"5x", "1.5", " ", "abc", "09", "0x"}) {
        SwitchFault fault = SwitchFault::none;
        read_int(bad, fault);
        EXPECT_EQ(fault, SwitchFault::not_integer) << bad;
    }
}

TEST(Switches, RealValuesConvertAsTheCLibraryDoes)
{
    SwitchFault fault = SwitchFault::none;
    EXPECT_EQ(read_real(".5", fault), 0.5);
    EXPECT_EQ(read_real("1e-1", fault), 0.1);
    EXPECT_EQ(read_real("", fault), 0.0);
    EXPECT_EQ(fault, SwitchFault::none);
    read_real("0,1", fault);
    EXPECT_EQ(fault, SwitchFault::not_real) << "a decimal comma is not a number";
}

TEST(Switches, SwitchWithoutItsValueIsAFaultAndItsDefaultDoesNotApply)
{
    Args a({"zemb", "seq", "1", "2", "-K"});
    SwitchFault fault = SwitchFault::none;
    take_int_switch(a.argc, a.argv(), "-K", 200, fault);
    EXPECT_EQ(fault, SwitchFault::missing_value);
}

TEST(Switches, EarlierReadConsumesAnArgumentThatEqualsItsText)
{
    // "-n" is read before "-e1": it takes 5, and "-e1" is then left last.
    Args a({"zemb", "s", "1", "2", "-e1", "-n", "5"});
    SwitchFault fault = SwitchFault::none;
    EXPECT_EQ(take_int_switch(a.argc, a.argv(), "-n", 3, fault), 5);
    take_real_switch(a.argc, a.argv(), "-e1", 0.1, fault);
    EXPECT_EQ(fault, SwitchFault::missing_value);
}

TEST(Switches, FlagGivenTwiceIsTakenOnceAndTheSecondStays)
{
    Args a({"zemb", "-s", "x", "-s"});
    SwitchFault fault = SwitchFault::none;
    EXPECT_STREQ(take_switch(a.argc, a.argv(), "-s", 0, nullptr, fault), "-s");
    EXPECT_EQ(a.left(), (std::vector<std::string>{"zemb", "x", "-s"}));
    EXPECT_EQ(take_switch(a.argc, a.argv(), "-m", 0, nullptr, fault), nullptr);
    EXPECT_EQ(fault, SwitchFault::none);
}

TEST(Switches, SeveralValuesAreJoinedWithSingleBlanks)
{
    Args a({"zemb", "-p", "a", "b", "c", "d"});
    SwitchFault fault = SwitchFault::none;
    EXPECT_STREQ(take_switch(a.argc, a.argv(), "-p", 3, nullptr, fault), "a b c");
    EXPECT_EQ(a.left(), (std::vector<std::string>{"zemb", "d"}));
}

}  // namespace
}  // namespace zemb

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "tests/support/TestSupport.h"

using Overlay::Common::ParseInt32;
using Strings = std::vector<std::wstring>;


// Each line's elements as kept (switches first, their names folded) and what lookups answer.
TEST(CommandLineArgs, SwitchesPositionalsAndLookups) {
    const struct {
        const wchar_t* line;
        Strings arguments;
        std::vector<std::pair<std::wstring, std::wstring>> values;  // every key, with its value
        Strings absent;
    } cases[] = {
        // The first '=' splits; an empty name is a key too.
        {L"x --goop --x==y --=v --path=a=b", {L"x", L"--goop", L"--x==y", L"--=v", L"--path=a=b"},
         {{L"goop", L""}, {L"x", L"=y"}, {L"", L"v"}, {L"path", L"a=b"}}, {}},
        // Lookups are exact: only the stored names are folded.
        {L"x /OOPO-TYPE=2", {L"x", L"/oopo-type=2"}, {{L"oopo-type", L"2"}}, {L"OOPO-TYPE", L"oopo", L"/oopo-type"}},
        // The last occurrence wins; both stay listed.
        {L"x --qm-pid=1 -QM-PID=2", {L"x", L"--qm-pid=1", L"-qm-pid=2"}, {{L"qm-pid", L"2"}}, {}},
        {L"  C:\\qm\\qm-overlay.exe first --B=1 second -c /D=x  ",
         {L"C:\\qm\\qm-overlay.exe", L"--b=1", L"-c", L"/d=x", L"first", L"second"},
         {{L"b", L"1"}, {L"c", L""}, {L"d", L"x"}}, {L"first"}},
        // "--" ends the switches.
        {L"x --a=1 -- --goop /b=2", {L"x", L"--a=1", L"--", L"--goop", L"/b=2"}, {{L"a", L"1"}}, {L"goop", L"b"}},
        // Lone prefixes are positional; tokens are trimmed.
        {L"x - / --goop", {L"x", L"--goop", L"-", L"/"}, {{L"goop", L""}}, {}},
        {L"x \" --goop \" \"  pos  \"", {L"x", L"--goop", L"pos"}, {{L"goop", L""}}, {}},
        // Only ASCII letters are folded; values keep their case.
        {L"x --\u00C4BC=V", {L"x", L"--\u00C4bc=V"}, {{L"\u00C4bc", L"V"}}, {L"\u00E4bc"}},
    };
    for (const auto& c : cases) {
        const CommandLineArgs cmd = test::Parsed(c.line);
        const std::string shown(c.line, c.line + wcslen(c.line));
        EXPECT_EQ(cmd.Arguments(), c.arguments) << shown;
        EXPECT_EQ(cmd.Keys().size(), c.values.size()) << shown;
        for (const auto& [key, value] : c.values) {
            EXPECT_TRUE(cmd.HasKey(key)) << shown;
            EXPECT_EQ(cmd.GetValue(key), value) << shown;
        }
        for (const std::wstring& key : c.absent) {
            EXPECT_FALSE(cmd.HasKey(key)) << shown;
            EXPECT_EQ(cmd.GetValue(key), L"") << shown;
        }
    }
}

TEST(CommandLineArgs, QuotingAndBackslashesFollowTheSystemSplitter) {
    const CommandLineArgs cmd = test::Parsed(
        LR"(x --game-pid="12 34" --qm-client="C:\Program Files\QM\\" "--game-process=my game.exe" --q=a\"b --t=\\\\srv\x)");
    EXPECT_EQ(cmd.GetValue(L"game-pid"), L"12 34");
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"game-pid"), 12);
    EXPECT_EQ(cmd.GetValue(L"qm-client"), L"C:\\Program Files\\QM\\");
    EXPECT_EQ(cmd.GetValue(L"game-process"), L"my game.exe");
    EXPECT_EQ(cmd.GetValue(L"q"), L"a\"b");
    EXPECT_EQ(cmd.GetValue(L"t"), L"\\\\\\\\srv\\x");
}

TEST(CommandLineArgs, BlankTextLeavesOnlyAnEmptyProgramPath) {
    CommandLineArgs cmd = test::Parsed(L"x --goop pos");
    for (const wchar_t* blank : {L"", L"   ", L" \t\r\n\v\f "}) {
        cmd.Parse(blank);
        EXPECT_EQ(cmd.Arguments(), (Strings{L""}));
        EXPECT_TRUE(cmd.Keys().empty());
        EXPECT_EQ(cmd.JoinedArguments(), L"");
    }
}

TEST(CommandLineArgs, ParseReplacesEverything) {
    CommandLineArgs cmd = test::Parsed(L"x --a=1 p");
    cmd.Parse(L"y --b=2");
    EXPECT_FALSE(cmd.HasKey(L"a"));
    EXPECT_EQ(cmd.Arguments(), (Strings{L"y", L"--b=2"}));
    cmd.Parse(L"z --c");
    EXPECT_EQ(cmd.Arguments(), (Strings{L"z", L"--c"}));  // insertion restarts after the path
}

TEST(CommandLineArgs, JoinedArgumentsQuoteValuesOnly) {
    EXPECT_EQ(test::Parsed(L"x --qm-client=C:\\a --goop pos").JoinedArguments(), L"--qm-client=\"C:\\a\" --goop pos");
    EXPECT_EQ(test::Parsed(L"x").JoinedArguments(), L"");
}

TEST(NumberConversion, ReadsLikeTheStandardConversion) {
    EXPECT_EQ(ParseInt32(L"1234"), 1234);
    EXPECT_EQ(ParseInt32(L"12abc"), 12);
    EXPECT_EQ(ParseInt32(L"12 34"), 12);
    EXPECT_EQ(ParseInt32(L" \t 7"), 7);
    EXPECT_EQ(ParseInt32(L"+5"), 5);
    EXPECT_EQ(ParseInt32(L"-5"), -5);
    EXPECT_EQ(ParseInt32(L"0"), 0);
    EXPECT_EQ(ParseInt32(L"007"), 7);
    EXPECT_EQ(ParseInt32(L"2147483647"), 2147483647);
    EXPECT_EQ(ParseInt32(L"-2147483648"), INT32_MIN);
}

TEST(NumberConversion, RejectsWhatTheStandardConversionRejects) {
    for (const wchar_t* bad : {L"", L"   ", L"abc", L"x12", L"+", L"-", L"+-1", L" - 1", L"2147483648",
                               L"-2147483649", L"99999999999999999999999", L"\u0661\u0662"}) {
        EXPECT_FALSE(ParseInt32(bad).has_value()) << std::string(bad, bad + wcslen(bad));
    }
}

TEST(NumberConversion, RejectedOrAbsentValuesCountAsZero) {
    const CommandLineArgs cmd = test::Parsed(L"x --a=abc --b=99999999999 --c=-7");
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"a"), 0);
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"b"), 0);
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"c"), -7);
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"missing"), 0);
}

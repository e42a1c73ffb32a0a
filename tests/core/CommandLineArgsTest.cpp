#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"

using Overlay::Common::ParseInt32;
using Strings = std::vector<std::wstring>;

namespace {
CommandLineArgs Parsed(const std::wstring& text) {
    CommandLineArgs cmd;
    cmd.Parse(text);
    return cmd;
}

Strings Split(const std::wstring& text) {
    int n = 0;
    LPWSTR* argv = ::CommandLineToArgvW(text.c_str(), &n);
    Strings out(argv, argv + n);
    ::LocalFree(argv);
    return out;
}
}  // namespace

TEST(CommandLineArgs, EveryPrefixAndCaseGivesTheSameKey) {
    for (const wchar_t* token : {L"--game-pid=1234", L"-GAME-PID=1234", L"/game-pid=1234", L"--Game-Pid=1234"}) {
        const CommandLineArgs cmd = Parsed(std::wstring(L"qm-overlay.exe ") + token);
        EXPECT_TRUE(cmd.HasKey(L"game-pid")) << token;
        EXPECT_EQ(cmd.GetValue(L"game-pid"), L"1234") << token;
        EXPECT_EQ(cmd.Keys().size(), 1u) << token;
    }
    const CommandLineArgs cmd = Parsed(L"x /OOPO-TYPE=2");
    EXPECT_EQ(cmd.Arguments(), (Strings{L"x", L"/oopo-type=2"}));
}

TEST(CommandLineArgs, ValuesSplitAtTheFirstEqualsSign) {
    const CommandLineArgs cmd = Parsed(L"x --goop --x==y --=v --path=a=b");
    EXPECT_TRUE(cmd.HasKey(L"goop"));
    EXPECT_EQ(cmd.GetValue(L"goop"), L"");
    EXPECT_EQ(cmd.GetValue(L"x"), L"=y");
    EXPECT_TRUE(cmd.HasKey(L""));
    EXPECT_EQ(cmd.GetValue(L""), L"v");
    EXPECT_EQ(cmd.GetValue(L"path"), L"a=b");
    EXPECT_EQ(cmd.Arguments(), (Strings{L"x", L"--goop", L"--x==y", L"--=v", L"--path=a=b"}));
}

TEST(CommandLineArgs, LookupsAreExact) {
    const CommandLineArgs cmd = Parsed(L"x --game-pid=1");
    EXPECT_FALSE(cmd.HasKey(L"Game-Pid"));
    EXPECT_EQ(cmd.GetValue(L"Game-Pid"), L"");
    EXPECT_FALSE(cmd.HasKey(L"game"));
    EXPECT_FALSE(cmd.HasKey(L"--game-pid"));
    EXPECT_EQ(cmd.GetValue(L"missing"), L"");
}

TEST(CommandLineArgs, LastOccurrenceWinsButBothStayListed) {
    const CommandLineArgs cmd = Parsed(L"x --qm-pid=1 -QM-PID=2");
    EXPECT_EQ(cmd.GetValue(L"qm-pid"), L"2");
    EXPECT_EQ(cmd.Arguments(), (Strings{L"x", L"--qm-pid=1", L"-qm-pid=2"}));
}

TEST(CommandLineArgs, SwitchesGoBeforePositionalsInTheirOwnOrder) {
    const CommandLineArgs cmd = Parsed(L"  C:\\qm\\qm-overlay.exe first --B=1 second -c /D=x  ");
    EXPECT_EQ(cmd.Arguments(), (Strings{L"C:\\qm\\qm-overlay.exe", L"--b=1", L"-c", L"/d=x", L"first", L"second"}));
}

TEST(CommandLineArgs, TerminatorEndsSwitchParsing) {
    const CommandLineArgs cmd = Parsed(L"x --a=1 -- --goop /b=2");
    EXPECT_TRUE(cmd.HasKey(L"a"));
    EXPECT_FALSE(cmd.HasKey(L"goop"));
    EXPECT_FALSE(cmd.HasKey(L"b"));
    EXPECT_EQ(cmd.Arguments(), (Strings{L"x", L"--a=1", L"--", L"--goop", L"/b=2"}));
}

TEST(CommandLineArgs, LonePrefixesArePositional) {
    const CommandLineArgs cmd = Parsed(L"x - / --goop");
    EXPECT_TRUE(cmd.HasKey(L"goop"));
    EXPECT_EQ(cmd.Keys().size(), 1u);
    EXPECT_EQ(cmd.Arguments(), (Strings{L"x", L"--goop", L"-", L"/"}));
}

TEST(CommandLineArgs, QuotingAndBackslashesFollowTheSystemSplitter) {
    const CommandLineArgs cmd = Parsed(
        LR"(x --game-pid="12 34" --qm-client="C:\Program Files\QM\\" "--game-process=my game.exe" --q=a\"b --t=\\\\srv\x)");
    EXPECT_EQ(cmd.GetValue(L"game-pid"), L"12 34");
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"game-pid"), 12);
    EXPECT_EQ(cmd.GetValue(L"qm-client"), L"C:\\Program Files\\QM\\");
    EXPECT_EQ(cmd.GetValue(L"game-process"), L"my game.exe");
    EXPECT_EQ(cmd.GetValue(L"q"), L"a\"b");
    EXPECT_EQ(cmd.GetValue(L"t"), L"\\\\\\\\srv\\x");
}

TEST(CommandLineArgs, TokensAreTrimmed) {
    const CommandLineArgs cmd = Parsed(L"x \" --goop \" \"  pos  \"");
    EXPECT_TRUE(cmd.HasKey(L"goop"));
    EXPECT_EQ(cmd.Arguments(), (Strings{L"x", L"--goop", L"pos"}));
}

TEST(CommandLineArgs, BlankTextLeavesOnlyAnEmptyProgramPath) {
    CommandLineArgs cmd = Parsed(L"x --goop pos");
    for (const wchar_t* blank : {L"", L"   ", L" \t\r\n\v\f "}) {
        cmd.Parse(blank);
        EXPECT_EQ(cmd.Arguments(), (Strings{L""}));
        EXPECT_TRUE(cmd.Keys().empty());
        EXPECT_EQ(cmd.JoinedArguments(), L"");
    }
}

TEST(CommandLineArgs, ParseReplacesEverything) {
    CommandLineArgs cmd = Parsed(L"x --a=1 p");
    cmd.Parse(L"y --b=2");
    EXPECT_FALSE(cmd.HasKey(L"a"));
    EXPECT_EQ(cmd.Arguments(), (Strings{L"y", L"--b=2"}));
    cmd.Parse(L"z --c");
    EXPECT_EQ(cmd.Arguments(), (Strings{L"z", L"--c"}));  // insertion restarts after the path
}

TEST(CommandLineArgs, OnlyAsciiLettersAreFolded) {
    const CommandLineArgs cmd = Parsed(L"x --\u00C4BC=V");
    EXPECT_TRUE(cmd.HasKey(L"\u00C4bc"));
    EXPECT_EQ(cmd.GetValue(L"\u00C4bc"), L"V");  // values keep their case
}

TEST(CommandLineArgs, JoinedArgumentsSplitBackIntoTheSameElements) {
    const std::wstring lines[] = {
        LR"(x --game-pid=1 --qm-pid=2 --game-process=game.exe --qm-client=C:\qm)",
        LR"(x --qm-client="C:\Program Files\QM\\" "--game-process=my game.exe" --q=a\"b)",
        LR"(x --t=\\\\srv\x "--s=trailing\\" pos "two words" "" a\\\"b)",
        LR"(x --goop -- --oopg "/p=a b")",
        LR"(x "--=v w" -)",
        L"x \"tab\tinside\" \"quote\"\"inside\" \"new\nline\"",
    };
    for (const std::wstring& line : lines) {
        const CommandLineArgs cmd = Parsed(line);
        const Strings& args = cmd.Arguments();
        const Strings expected(args.begin() + 1, args.end());
        Strings back = Split(L"prog " + cmd.JoinedArguments());
        back.erase(back.begin());
        EXPECT_EQ(back, expected) << "joined: " << std::string(cmd.JoinedArguments().begin(), cmd.JoinedArguments().end());
    }
    EXPECT_EQ(Parsed(L"x --qm-client=C:\\a --goop pos").JoinedArguments(), L"--qm-client=\"C:\\a\" --goop pos");
    EXPECT_EQ(Parsed(L"x").JoinedArguments(), L"");
}

// Random command lines made of the characters that matter to the splitter and the switch parser:
// every one parses and every key is found with its value. The joined arguments split back into the
// same elements unless a switch name holds a blank, quote or backslash (a name is joined unquoted).
TEST(CommandLineArgs, RandomCommandLinesParseAndJoinBack) {
    const wchar_t alphabet[] = L"\"\\ \t=-/aZ09.:\u00C4\u4E2D\n";
    const size_t letters = std::size(alphabet) - 1;
    std::mt19937 random(1206);
    int joinedChecked = 0;
    for (int round = 0; round < 3000; ++round) {
        std::wstring line = L"x ";
        const size_t length = random() % 40;
        for (size_t i = 0; i < length; ++i) line += alphabet[random() % letters];
        const CommandLineArgs cmd = Parsed(line);
        const std::string shown(line.begin(), line.end());
        ASSERT_FALSE(cmd.Arguments().empty()) << shown;
        for (const auto& [key, value] : cmd.Keys()) {
            EXPECT_TRUE(cmd.HasKey(key)) << shown;
            EXPECT_EQ(cmd.GetValue(key), value) << shown;
            (void)Overlay::Common::GetIntValue(cmd, key);
        }
        const Strings expected(cmd.Arguments().begin() + 1, cmd.Arguments().end());
        const bool plainNames = std::none_of(expected.begin(), expected.end(), [](const std::wstring& e) {
            return (e[0] == L'-' || e[0] == L'/') && e.substr(0, e.find(L'=')).find_first_of(L" \t\n\"\\") != std::wstring::npos;
        });
        if (!plainNames) continue;
        ++joinedChecked;
        Strings back = Split(L"prog " + cmd.JoinedArguments());
        back.erase(back.begin());
        EXPECT_EQ(back, expected) << shown;
    }
    EXPECT_GT(joinedChecked, 1000);
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
    const CommandLineArgs cmd = Parsed(L"x --a=abc --b=99999999999 --c=-7");
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"a"), 0);
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"b"), 0);
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"c"), -7);
    EXPECT_EQ(Overlay::Common::GetIntValue(cmd, L"missing"), 0);
}

#include <memory>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "core/HostState.h"
#include "app/ManagerFactory.h"
#include "core/OOPManager.h"
#include "tests/support/TestSupport.h"

TEST(ManagerSelection, FollowsTheRuleTable) {
    struct Case {
        const wchar_t* line;
        int type;
    } cases[] = {
        {L"x", kManagerD3D11},
        {L"x /OOPO-TYPE=2abc", kManagerGoop},
        {L"x --oopo-type=0 --goop", kManagerD3D11},  // rule 1 wins
        {L"x --oopo-type=1 --goop", kManagerGep},
        {L"x --oopo-type=5", kManagerD3D11},
        {L"x --oopo-type=-1 --goop", kManagerGoop},
        {L"x --oopo-type=abc --oopg", kManagerGep},
        {L"x --oopo-type=99999999999 --goop", kManagerGoop},
        {L"x --oopg --goop", kManagerGoop},
        {L"x -- --goop", kManagerD3D11},
        {L"x goop oopg", kManagerD3D11},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SelectManagerType(test::Parsed(c.line)), c.type) << std::string(c.line, c.line + wcslen(c.line));
    }
}

TEST(ManagerSelection, ReadsTheProcessWideInstance) {
    const test::ScopeExit restore([] { HostState::Reset(); });
    HostState::Reset();
    EXPECT_EQ(SelectManagerType(), kManagerD3D11);
    CommandLineArgs cmd;
    cmd.Parse(L"x --oopg");
    HostState::Get().commandLine = &cmd;
    EXPECT_EQ(SelectManagerType(), kManagerGep);
}

TEST(ManagerFactory, BuildsEachTypeUnderItsNumber) {
    for (int type = kManagerD3D9; type <= kManagerGoop; ++type) {
        std::unique_ptr<OOPManager> manager(static_cast<OOPManager*>(CreateManager(type)));
        ASSERT_NE(manager, nullptr) << type;
        EXPECT_EQ(manager->GetManagerType(), type);
        // Only the Direct3D 11 manager follows adapters; with none in use yet, any found is a change.
        Renderer* renderer = manager->Parts().frames.GetRenderer();
        EXPECT_EQ(renderer && renderer->AdapterChanged(nullptr), type == kManagerD3D11);
    }
    EXPECT_EQ(CreateManager(-1), nullptr);
    EXPECT_EQ(CreateManager(4), nullptr);
    EXPECT_EQ(CreateManager(1000), nullptr);
}


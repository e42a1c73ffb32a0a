#include <memory>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "core/ManagerFactory.h"
#include "core/OOPManager.h"

namespace {
int Select(const wchar_t* text) {
    CommandLineArgs cmd;
    cmd.Parse(text);
    return SelectManagerType(cmd);
}
}  // namespace

TEST(ManagerSelection, FollowsTheRuleTable) {
    struct Case {
        const wchar_t* line;
        int type;
    } cases[] = {
        {L"x", kManagerD3D11},
        {L"x --game-pid=1", kManagerD3D11},
        {L"x --oopo-type=0", kManagerD3D11},
        {L"x --oopo-type=1", kManagerGep},
        {L"x --oopo-type=2", kManagerGoop},
        {L"x /OOPO-TYPE=2", kManagerGoop},
        {L"x --oopo-type=2abc", kManagerGoop},
        {L"x --oopo-type=0 --goop", kManagerD3D11},  // rule 1 wins
        {L"x --oopo-type=1 --goop", kManagerGep},
        {L"x --oopo-type=5 --oopg", kManagerGep},
        {L"x --oopo-type=5", kManagerD3D11},
        {L"x --oopo-type=-1 --goop", kManagerGoop},
        {L"x --oopo-type=3", kManagerD3D11},
        {L"x --oopo-type", kManagerD3D11},
        {L"x --oopo-type=abc --oopg", kManagerGep},
        {L"x --oopo-type=99999999999 --goop", kManagerGoop},
        {L"x --goop", kManagerGoop},
        {L"x --goop=anything", kManagerGoop},
        {L"x --oopg", kManagerGep},
        {L"x --oopg --goop", kManagerGoop},
        {L"x -- --goop", kManagerD3D11},
        {L"x goop oopg", kManagerD3D11},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Select(c.line), c.type) << std::string(c.line, c.line + wcslen(c.line));
    }
}

TEST(ManagerSelection, ReadsTheProcessWideInstance) {
    CommandLineArgs* saved = CommandLineArgs::Instance;
    CommandLineArgs::Instance = nullptr;
    EXPECT_EQ(SelectManagerType(), kManagerD3D11);
    CommandLineArgs cmd;
    cmd.Parse(L"x --oopg");
    CommandLineArgs::Instance = &cmd;
    EXPECT_EQ(SelectManagerType(), kManagerGep);
    CommandLineArgs::Instance = saved;
}

TEST(ManagerFactory, BuildsEachTypeUnderItsNumber) {
    for (int type = kManagerD3D9; type <= kManagerGoop; ++type) {
        std::unique_ptr<OOPManager> manager(static_cast<OOPManager*>(CreateManager(type)));
        ASSERT_NE(manager, nullptr) << type;
        EXPECT_EQ(manager->GetManagerType(), type);
        // Only the Direct3D 11 manager follows adapters; with none in use yet, any found is a change.
        EXPECT_EQ(manager->IsAdapterChanged(), type == kManagerD3D11);
        EXPECT_EQ(OOPManager::Current(), manager.get());
    }
    EXPECT_EQ(CreateManager(-1), nullptr);
    EXPECT_EQ(CreateManager(4), nullptr);
    EXPECT_EQ(CreateManager(1000), nullptr);
}

TEST(ManagerFactory, ManagersKeepTheirSlotDefaults) {
    std::unique_ptr<OOPManager> d3d11(static_cast<OOPManager*>(CreateManager(kManagerD3D11)));
    std::unique_ptr<OOPManager> d3d9(static_cast<OOPManager*>(CreateManager(kManagerD3D9)));
    std::unique_ptr<OOPManager> gep(static_cast<OOPManager*>(CreateManager(kManagerGep)));
    EXPECT_EQ(d3d11->GetTargetFrameRate(), 90u);
    EXPECT_EQ(d3d9->GetTargetFrameRate(), 60u);
    EXPECT_EQ(gep->GetTargetFrameRate(), 60u);
    EXPECT_EQ(gep->GetWindowExStyle(), 0x08080008u);
    EXPECT_TRUE(gep->InitD3D());
    EXPECT_TRUE(gep->ResetD3D(1, 1));
    EXPECT_TRUE(gep->Render());
}

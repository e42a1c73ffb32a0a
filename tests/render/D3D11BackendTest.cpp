// The Direct3D 11 renderer over a stand-in backend: the composition path where Wine has none, the
// adapter rule over adapters this machine does not have.
#include <windows.h>

#include <d3d11.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "render/D3D11Adapter.h"
#include "render/D3D11Renderer.h"
#include "tests/support/RenderTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

// The vendor of the adapter chosen among adapters given as (vendor, monitors of its outputs).
using Adapters = std::vector<std::pair<UINT, std::vector<HMONITOR>>>;
UINT Chosen(const Adapters& adapters, HMONITOR gameMonitor) {
    AdapterChoice choice(gameMonitor);
    for (size_t i = 0; i < adapters.size(); ++i) {
        for (HMONITOR output : adapters[i].second) {
            if (choice.Offer(static_cast<int>(i), adapters[i].first, output)) return adapters[i].first;
        }
    }
    return choice.Chosen() < 0 ? 0 : adapters[static_cast<size_t>(choice.Chosen())].first;
}

}  // namespace

TEST(CompositionPath, TheWholePathSetsTheFlagTheStyleAndTheCursor) {
    test::StandInBackend backend;
    backend.composition = true;
    test::TestD3D11 r;
    ASSERT_TRUE(r.Create());
    EXPECT_TRUE(r->UsesComposition());
    EXPECT_TRUE(r->CursorRenderingReady());
    EXPECT_EQ(backend.composedWindow, r.target.window);
    EXPECT_EQ(backend.composedContent, r->SwapChain());
    // What keeps the undrawn parts of the overlay see-through.
    EXPECT_EQ(backend.compositionDesc.SwapEffect, DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL);
    EXPECT_EQ(backend.compositionDesc.AlphaMode, DXGI_ALPHA_MODE_PREMULTIPLIED);
    EXPECT_FALSE(r->AdapterChanged(nullptr));
}

// Without composition the frames go to the overlay as a per-pixel-alpha layered window, from a
// regular swap chain on a window of the renderer's own; the swap chain over the overlay itself is
// what is left when asked for (or when the system refuses the layered window).
TEST(CompositionPath, EachFailureFallsBackToTheLayeredWindowOrTheRegularSwapChain) {
    struct Case {
        bool composition;
        const wchar_t* composeFailsAt;
    };
    for (const bool swapChainOnly : {false, true}) {
        const test::ScopedEnv mode(L"QM_PRESENTATION",
                                   swapChainOnly ? std::optional<std::wstring>(L"swap-chain") : std::nullopt);
        for (const Case c : {Case{false, nullptr}, Case{true, L"CreateVisual"}, Case{true, L"DComp Commit"},
                             Case{true, L""}}) {
            test::StandInBackend backend;
            backend.composition = c.composition;
            backend.composeFailsAt = c.composeFailsAt;
            test::TestD3D11 r;
            ASSERT_TRUE(r.Create());
            EXPECT_FALSE(r->UsesComposition());
            EXPECT_EQ(r->Mode(), swapChainOnly ? D3D11Renderer::Presentation::kSwapChain
                                               : D3D11Renderer::Presentation::kLayered);
            EXPECT_EQ(r->CursorRenderingReady(), !swapChainOnly);
            DXGI_SWAP_CHAIN_DESC d{};
            r->SwapChain()->GetDesc(&d);
            EXPECT_EQ(d.SwapEffect, DXGI_SWAP_EFFECT_DISCARD);
            EXPECT_EQ(d.OutputWindow == r.target.window, swapChainOnly);
            if (swapChainOnly) continue;
            // A window given its picture by UpdateLayeredWindow has no constant alpha to read.
            BYTE alpha = 0;
            DWORD flags = 0;
            EXPECT_FALSE(::GetLayeredWindowAttributes(r.target.window, nullptr, &alpha, &flags));
            EXPECT_NE(::GetWindowLongW(r.target.window, GWL_EXSTYLE) & WS_EX_LAYERED, 0);
        }
    }
}

TEST(AdapterChoice, TheTwoVendorsWinOnTheGamesMonitorElseTheFirstThatDrivesIt) {
    const auto M = reinterpret_cast<HMONITOR>(0x1001);
    const auto N = reinterpret_cast<HMONITOR>(0x2002);
    EXPECT_EQ(Chosen({{0x8086, {M}}, {0x10DE, {N, M}}}, M), 0x10DEu);
    EXPECT_EQ(Chosen({{0x8086, {M}}, {0x1002, {M}}}, M), 0x1002u);
    EXPECT_EQ(Chosen({{0x10DE, {N}}, {0x8086, {}}, {0x1234, {M}}, {0x5678, {M}}}, M), 0x1234u);
    EXPECT_EQ(Chosen({{0x10DE, {N}}, {0x8086, {}}}, M), 0u);  // nothing drives it: the default adapter
    EXPECT_EQ(Chosen({{0x8086, {N}}, {0x10DE, {M}}}, nullptr), 0x10DEu);  // no monitor known: any output
}

#include "render/D3D11Adapter.h"

#include <algorithm>
#include <iterator>

using Microsoft::WRL::ComPtr;

bool AdapterChoice::Offer(int index, UINT vendorId, HMONITOR outputMonitor) {
    constexpr UINT kDiscreteVendors[] = {0x10DE, 0x1002};
    if (monitor_ && monitor_ != outputMonitor) return false;
    if (std::find(std::begin(kDiscreteVendors), std::end(kDiscreteVendors), vendorId) != std::end(kDiscreteVendors)) {
        chosen_ = index;
        return true;
    }
    if (chosen_ < 0) chosen_ = index;
    return false;
}

ComPtr<IDXGIAdapter1> ChooseAdapter(IDXGIFactory2* factory, HMONITOR monitor) {
    AdapterChoice choice(monitor);
    ComPtr<IDXGIAdapter1> candidate;
    ComPtr<IDXGIAdapter1> adapter;
    for (UINT i = 0; SUCCEEDED(factory->EnumAdapters1(i, adapter.ReleaseAndGetAddressOf())); ++i) {
        DXGI_ADAPTER_DESC1 desc{};
        adapter->GetDesc1(&desc);
        ComPtr<IDXGIOutput> output;
        for (UINT j = 0; SUCCEEDED(adapter->EnumOutputs(j, output.ReleaseAndGetAddressOf())); ++j) {
            DXGI_OUTPUT_DESC outputDesc{};
            output->GetDesc(&outputDesc);
            const int before = choice.Chosen();
            if (choice.Offer(static_cast<int>(i), desc.VendorId, outputDesc.Monitor)) return adapter;
            if (choice.Chosen() != before) candidate = adapter;
        }
    }
    return candidate;
}

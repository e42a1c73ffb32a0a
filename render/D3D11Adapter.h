#pragma once
#include <windows.h>

#include <dxgi1_2.h>
#include <wrl/client.h>

// Folds the adapters, in the system's order, into the one for the game's monitor: an adapter of
// the two discrete vendors that drives it wins at once, else the first adapter that drives it.
class AdapterChoice {
public:
    explicit AdapterChoice(HMONITOR gameMonitor) : monitor_(gameMonitor) {}
    // One output of adapter `index`; true when that adapter wins outright.
    bool Offer(int index, UINT vendorId, HMONITOR outputMonitor);
    int Chosen() const { return chosen_; }  // -1: none drives the monitor

private:
    HMONITOR monitor_;
    int chosen_ = -1;
};

// The adapter `factory` offers for `monitor` by AdapterChoice's rule; null when none drives it.
Microsoft::WRL::ComPtr<IDXGIAdapter1> ChooseAdapter(IDXGIFactory2* factory, HMONITOR monitor);

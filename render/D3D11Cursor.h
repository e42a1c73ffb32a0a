#pragma once
#include <windows.h>

#include <d3d11.h>
#include <wrl/client.h>

#include "input/CursorImage.h"

// Draws the cursor picture at the mouse while the overlay takes the input and the system shows no
// cursor of its own: a 32 x 32 quad, premultiplied alpha over what is drawn already.
class D3D11Cursor {
public:
    // The shaders (compiled here), buffers and states; false (with its row) when one cannot be made.
    bool Init(ID3D11Device* device);
    void Release();
    bool Ready() const { return ready_; }

    // Draws `image` with its hot spot at `mouse` into `target` of `width` x `height`; `changed`:
    // another picture than the last one drawn. True when it was drawn.
    bool Draw(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11RenderTargetView* target,
              const CursorImage* image, bool changed, POINT mouse, uint32_t width, uint32_t height);

private:
    bool ready_ = false;
    Microsoft::WRL::ComPtr<ID3D11Buffer> vertices_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> indices_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> constants_;
    Microsoft::WRL::ComPtr<ID3D11VertexShader> vertexShader_;
    Microsoft::WRL::ComPtr<ID3D11PixelShader> pixelShader_;
    Microsoft::WRL::ComPtr<ID3D11InputLayout> layout_;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> texture_;
    Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> view_;
    Microsoft::WRL::ComPtr<ID3D11SamplerState> sampler_;
    Microsoft::WRL::ComPtr<ID3D11BlendState> blend_;
};

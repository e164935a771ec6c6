#include "capture_dxgi/duplication_win32.h"

namespace vor::desktop {

Hresult<std::unique_ptr<OutputDuplication>> duplicate_output(IDXGIOutput* output, ID3D11Device* device) {
  return dxgi_duplicate_output(output, device);
}

}  // namespace vor::desktop

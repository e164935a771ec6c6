#include <windows.h>

#include "bin/entry.h"

namespace vor::setup {
namespace {

class Win32StdOutput final : public StdOutput {
 public:
  explicit Win32StdOutput(HANDLE handle) : handle_(handle) {}

  bool has_handle() override { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

  Status write(std::string_view bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD written = 0;
      if (!::WriteFile(handle_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr)) {
        return fail(Error::os(::GetLastError()));
      }
      if (written == 0) return fail(Error::os(ERROR_WRITE_FAULT));
      done += written;
    }
    return {};
  }

 private:
  HANDLE handle_;  // not owned: the process's standard output
};

}  // namespace

std::unique_ptr<StdOutput> make_win32_std_output(void* handle) {
  return std::make_unique<Win32StdOutput>(static_cast<HANDLE>(handle));
}

}  // namespace vor::setup

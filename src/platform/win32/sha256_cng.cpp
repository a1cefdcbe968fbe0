// SHA-256 through Windows CNG, for the shipped program.
#include <windows.h>

#include <bcrypt.h>

#include "common/sha256.hpp"

namespace orvex {
namespace {

// Owns a CNG algorithm provider for the length of one digest.
class Provider {
  public:
    Provider() {
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            handle_ = nullptr;
        }
    }
    ~Provider() {
        if (handle_ != nullptr) {
            BCryptCloseAlgorithmProvider(handle_, 0);
        }
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    BCRYPT_ALG_HANDLE get() const { return handle_; }

  private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

} // namespace

std::optional<Sha256Digest> sha256(std::string_view bytes) {
    Provider provider;
    if (provider.get() == nullptr) {
        return std::nullopt;
    }
    Sha256Digest digest{};
    const NTSTATUS status = BCryptHash(
        provider.get(), nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
        static_cast<ULONG>(bytes.size()), digest.data(), static_cast<ULONG>(digest.size()));
    if (!BCRYPT_SUCCESS(status)) {
        return std::nullopt;
    }
    return digest;
}

} // namespace orvex

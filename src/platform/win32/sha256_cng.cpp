// SHA-256 through Windows CNG, for the shipped program.
//
// bcrypt.dll is not a KnownDLL: imported at load time, the loader would look for it beside the
// executable before the program's first line could restrict the search, so a planted copy would
// run elevated. It is therefore loaded here, on first use, from System32 only.
#include <windows.h>

#include <bcrypt.h>

#include "common/sha256.hpp"

namespace orvex {
namespace {

using OpenProvider = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
using CloseProvider = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG);
using Hash = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, PUCHAR, ULONG, PUCHAR, ULONG);

template <class Function> Function entry_point(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Owns the library and its SHA-256 provider for the rest of the process once first used: opening
// a provider costs far more than a digest, and maintenance hashes once per owner.
class Cng {
  public:
    Cng() : module_(LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        if (module_ == nullptr) {
            return;
        }
        const auto open = entry_point<OpenProvider>(module_, "BCryptOpenAlgorithmProvider");
        close_ = entry_point<CloseProvider>(module_, "BCryptCloseAlgorithmProvider");
        hash_ = entry_point<Hash>(module_, "BCryptHash");
        if (open == nullptr || close_ == nullptr || hash_ == nullptr ||
            !BCRYPT_SUCCESS(open(&provider_, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            provider_ = nullptr;
        }
    }
    ~Cng() {
        if (provider_ != nullptr) {
            close_(provider_, 0);
        }
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    Cng(const Cng&) = delete;
    Cng& operator=(const Cng&) = delete;

    [[nodiscard]] bool usable() const { return provider_ != nullptr; }
    // BCryptHash on the shared provider, which may be used from any thread.
    [[nodiscard]] NTSTATUS hash(std::string_view bytes, Sha256Digest& digest) const {
        return hash_(
            provider_, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
            static_cast<ULONG>(bytes.size()), digest.data(), static_cast<ULONG>(digest.size()));
    }

  private:
    HMODULE module_;
    CloseProvider close_ = nullptr;
    Hash hash_ = nullptr;
    BCRYPT_ALG_HANDLE provider_ = nullptr;
};

const Cng& cng() {
    static const Cng library;
    return library;
}

} // namespace

std::optional<Sha256Digest> sha256(std::string_view bytes) {
    const Cng& library = cng();
    if (!library.usable()) {
        return std::nullopt;
    }
    Sha256Digest digest{};
    if (!BCRYPT_SUCCESS(library.hash(bytes, digest))) {
        return std::nullopt;
    }
    return digest;
}

} // namespace orvex

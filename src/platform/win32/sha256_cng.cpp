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

// Owns the library for the rest of the process once it has been loaded.
class Cng {
  public:
    Cng() : module_(LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        if (module_ != nullptr) {
            open = entry_point<OpenProvider>(module_, "BCryptOpenAlgorithmProvider");
            close = entry_point<CloseProvider>(module_, "BCryptCloseAlgorithmProvider");
            hash = entry_point<Hash>(module_, "BCryptHash");
        }
    }
    ~Cng() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    Cng(const Cng&) = delete;
    Cng& operator=(const Cng&) = delete;
    [[nodiscard]] bool usable() const {
        return open != nullptr && close != nullptr && hash != nullptr;
    }

    OpenProvider open = nullptr;
    CloseProvider close = nullptr;
    Hash hash = nullptr;

  private:
    HMODULE module_;
};

const Cng& cng() {
    static const Cng library;
    return library;
}

// Owns a CNG algorithm provider for the length of one digest.
class Provider {
  public:
    explicit Provider(const Cng& library) : library_(library) {
        if (!BCRYPT_SUCCESS(library_.open(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            handle_ = nullptr;
        }
    }
    ~Provider() {
        if (handle_ != nullptr) {
            library_.close(handle_, 0);
        }
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    BCRYPT_ALG_HANDLE get() const { return handle_; }

  private:
    const Cng& library_;
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

} // namespace

std::optional<Sha256Digest> sha256(std::string_view bytes) {
    const Cng& library = cng();
    if (!library.usable()) {
        return std::nullopt;
    }
    Provider provider(library);
    if (provider.get() == nullptr) {
        return std::nullopt;
    }
    Sha256Digest digest{};
    const NTSTATUS status = library.hash(
        provider.get(), nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
        static_cast<ULONG>(bytes.size()), digest.data(), static_cast<ULONG>(digest.size()));
    if (!BCRYPT_SUCCESS(status)) {
        return std::nullopt;
    }
    return digest;
}

} // namespace orvex

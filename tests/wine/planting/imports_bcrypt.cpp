// A program that imports bcrypt.dll at load time, as the tool once did: the import check must
// refuse it, because the loader would look for that DLL beside the executable.
#include <windows.h>

#include <bcrypt.h>

int main() {
    unsigned char byte = 0;
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, &byte, 1, BCRYPT_USE_SYSTEM_PREFERRED_RNG)) ? 0
                                                                                               : 1;
}

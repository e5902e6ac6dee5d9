// CAes: AES-128 (FIPS-197) over whole messages, in ECB, CBC or CFB mode, with PKCS#7 or zero
// padding. The block cipher itself is libcrypto's; this class only chooses the mode, pads and
// unpads, so every caller pads the same way.
//
// Stateless and thread-safe: every call makes and frees its own cipher context.
#pragma once

#include <cstddef>
#include <string>

class CAes {
public:
    static constexpr size_t kBlock = 16;  // bytes of a block, of the key and of the IV

    enum Mode { MODE_ECB, MODE_CBC, MODE_CFB };
    // PKCS#7 always adds 1 to 16 bytes (a whole block when the text fills its last block); zero
    // padding fills the last block up with zero bytes and adds nothing to a full one; PAD_NONE
    // takes the text as it is (ECB and CBC then need a whole number of blocks, CFB any length).
    enum Padding { PAD_PKCS7, PAD_ZERO, PAD_NONE };

    // Encrypts plain with the 16-byte key (and the 16-byte iv for CBC and CFB; ignored by ECB).
    // False, with out untouched, when the key or the IV is not 16 bytes long, when the text does
    // not fit PAD_NONE, or when libcrypto fails.
    static bool Encrypt(Mode mode, Padding padding, const std::string& key, const std::string& iv,
                        const std::string& plain, std::string& out);
    // The reverse. PKCS#7 padding is checked (every pad byte equal, 1 to 16) and removed; zero
    // padding removes every trailing zero byte. False, with out untouched, on a bad key, IV,
    // length or padding.
    static bool Decrypt(Mode mode, Padding padding, const std::string& key, const std::string& iv,
                        const std::string& cipher, std::string& out);

    // The text padded to whole blocks as the padding rule says; false when PAD_NONE cannot.
    static bool Pad(Padding padding, std::string& text);
    static bool Unpad(Padding padding, std::string& text);
};

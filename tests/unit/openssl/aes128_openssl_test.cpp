// Our AES-128 against OpenSSL's AES-128-ECB over many random keys and blocks.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <random>

#include "transport/aes128.h"

namespace {

// One block through OpenSSL's AES-128-ECB without padding.
bool referenceBlock(bool encrypt, const unsigned char* key, const unsigned char* input,
                    unsigned char* output) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
    int written = 0;
    return context &&
           EVP_CipherInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key, nullptr,
                             encrypt ? 1 : 0) == 1 &&
           EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
           EVP_CipherUpdate(context.get(), output, &written, input, 16) == 1 && written == 16;
}

TEST(Aes128AgainstOpenSsl, RandomKeysAndBlocksBothWays) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    int mismatches = 0;
    for (int round = 0; round < 20000 && mismatches < 5; ++round) {
        unsigned char key[16], block[16], ours[16], theirs[16];
        for (auto& byte : key) byte = static_cast<unsigned char>(random());
        for (auto& byte : block) byte = static_cast<unsigned char>(random());

        ASSERT_TRUE(referenceBlock(true, key, block, theirs));
        encryptBlock(block, key, ours);
        if (std::memcmp(ours, theirs, 16) != 0) {
            ++mismatches;
            ADD_FAILURE() << "encrypt differs in round " << round;
        }
        ASSERT_TRUE(referenceBlock(false, key, block, theirs));
        decryptBlock(block, key, ours);
        if (std::memcmp(ours, theirs, 16) != 0) {
            ++mismatches;
            ADD_FAILURE() << "decrypt differs in round " << round;
        }
    }
}

}  // namespace

#include "transport/aes128.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string toHex(const unsigned char* bytes, size_t length) {
    std::string hex;
    char digits[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        hex += digits;
    }
    return hex;
}

// FIPS-197 Appendix C.1, the AES-128 example.
const Bytes kFipsKey = fromHex("000102030405060708090a0b0c0d0e0f");
const Bytes kFipsPlain = fromHex("00112233445566778899aabbccddeeff");
const Bytes kFipsCipher = fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");

TEST(Aes128, Fips197AppendixC1BothWays) {
    unsigned char out[16];
    encryptBlock(kFipsPlain.data(), kFipsKey.data(), out);
    EXPECT_EQ(toHex(out, 16), toHex(kFipsCipher.data(), 16));
    decryptBlock(kFipsCipher.data(), kFipsKey.data(), out);
    EXPECT_EQ(toHex(out, 16), toHex(kFipsPlain.data(), 16));
}

TEST(Aes128, Fips197AppendixC1InPlace) {
    unsigned char block[16];
    std::memcpy(block, kFipsPlain.data(), 16);
    encryptBlock(block, kFipsKey.data(), block);
    EXPECT_EQ(toHex(block, 16), toHex(kFipsCipher.data(), 16));
    decryptBlock(block, kFipsKey.data(), block);
    EXPECT_EQ(toHex(block, 16), toHex(kFipsPlain.data(), 16));

    // The key may share memory with the block as well.
    std::memcpy(block, kFipsKey.data(), 16);
    unsigned char expected[16];
    encryptBlock(kFipsKey.data(), kFipsKey.data(), expected);
    encryptBlock(block, block, block);
    EXPECT_EQ(toHex(block, 16), toHex(expected, 16));
}

// Two threads with different keys at once: each must keep getting its own
// answer, which fails if any working state is shared between calls.
TEST(Aes128, ConcurrentCallsDoNotInterfere) {
    const Bytes otherKey = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
    const Bytes otherPlain = fromHex("6bc1bee22e409f96e93d7e117393172a");
    const std::string otherCipher = "3ad77bb40d7a3660a89ecaf32466ef97";  // SP 800-38A F.1.1
    std::atomic<int> failures{0};
    auto run = [&failures](const Bytes& key, const Bytes& plain, const std::string& cipher) {
        unsigned char out[16];
        for (int i = 0; i < 3000; ++i) {
            encryptBlock(plain.data(), key.data(), out);
            if (toHex(out, 16) != cipher) ++failures;
            decryptBlock(out, key.data(), out);
            if (toHex(out, 16) != toHex(plain.data(), 16)) ++failures;
        }
    };
    std::thread first(run, std::cref(kFipsKey), std::cref(kFipsPlain),
                      toHex(kFipsCipher.data(), 16));
    std::thread second(run, std::cref(otherKey), std::cref(otherPlain), otherCipher);
    first.join();
    second.join();
    EXPECT_EQ(failures.load(), 0);
}

// ---- NIST AESAVS known-answer files ------------------------------------------

struct Record {
    bool encrypt = true;
    int count = -1;
    Bytes key, plain, cipher;
};

// Opens a vectors file. Under Wine the Unix root is drive Z:, so the Unix
// path is tried with that drive too.
bool openVectors(const std::string& name, std::ifstream& in) {
    const std::string dir = VXHID_AES_VECTORS_DIR;
    for (const std::string& prefix : {std::string(), std::string("Z:")}) {
        in.open(prefix + dir + "/" + name);
        if (in) return true;
        in.clear();
    }
    return false;
}

// Reads every COUNT record under [ENCRYPT] and [DECRYPT]; a record is
// complete when it has its key and both texts.
std::vector<Record> readRecords(std::ifstream& in) {
    std::vector<Record> records;
    bool encrypt = true;
    Record current;
    auto finish = [&]() {
        if (current.count >= 0) records.push_back(current);
        current = Record();
    };
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line == "[ENCRYPT]" || line == "[DECRYPT]") {
            finish();
            encrypt = line == "[ENCRYPT]";
            continue;
        }
        size_t equals = line.find(" = ");
        if (equals == std::string::npos) continue;
        std::string name = line.substr(0, equals);
        std::string value = line.substr(equals + 3);
        if (name == "COUNT") {
            finish();
            current.encrypt = encrypt;
            current.count = std::stoi(value);
        } else if (name == "KEY") {
            current.key = fromHex(value);
        } else if (name == "PLAINTEXT") {
            current.plain = fromHex(value);
        } else if (name == "CIPHERTEXT") {
            current.cipher = fromHex(value);
        }
    }
    finish();
    return records;
}

struct VectorFile {
    const char* name;
    size_t records;  // [ENCRYPT] and [DECRYPT] together
};

class Aes128KnownAnswers : public testing::TestWithParam<VectorFile> {};

TEST_P(Aes128KnownAnswers, EveryRecordMatches) {
    std::ifstream in;
    if (!openVectors(GetParam().name, in)) {
        GTEST_SKIP() << "vectors not readable: " << VXHID_AES_VECTORS_DIR << "/" << GetParam().name;
    }
    std::vector<Record> records = readRecords(in);
    ASSERT_EQ(records.size(), GetParam().records);
    for (const Record& record : records) {
        SCOPED_TRACE((record.encrypt ? "ENCRYPT COUNT " : "DECRYPT COUNT ") +
                     std::to_string(record.count));
        ASSERT_EQ(record.key.size(), 16u);
        ASSERT_EQ(record.plain.size(), record.cipher.size());
        ASSERT_TRUE(!record.plain.empty() && record.plain.size() % 16 == 0);
        // Each block on its own, as in ECB.
        for (size_t offset = 0; offset < record.plain.size(); offset += 16) {
            unsigned char out[16];
            if (record.encrypt) {
                encryptBlock(record.plain.data() + offset, record.key.data(), out);
                EXPECT_EQ(toHex(out, 16), toHex(record.cipher.data() + offset, 16));
            } else {
                decryptBlock(record.cipher.data() + offset, record.key.data(), out);
                EXPECT_EQ(toHex(out, 16), toHex(record.plain.data() + offset, 16));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Nist, Aes128KnownAnswers,
                         testing::Values(VectorFile{"ECBGFSbox128.rsp", 14},
                                         VectorFile{"ECBKeySbox128.rsp", 42},
                                         VectorFile{"ECBVarKey128.rsp", 256},
                                         VectorFile{"ECBVarTxt128.rsp", 256},
                                         VectorFile{"ECBMMT128.rsp", 20}),
                         [](const testing::TestParamInfo<VectorFile>& info) {
                             std::string name = info.param.name;
                             return name.substr(0, name.find('.'));
                         });

}  // namespace

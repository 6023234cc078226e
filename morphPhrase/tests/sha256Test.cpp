// SHA-256: the standard's examples, and every other digest checked against
// the system's sha256sum run on the same bytes.
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sha256.h"
#include "testing.h"

using testing_support::shellOutput;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

std::string digestOf(const std::string &message) {
    sha256_ctx ctx;
    sha256_starts(&ctx);
    sha256_update(&ctx, reinterpret_cast<const uint8_t *>(message.data()), uint32_t(message.size()));
    uint8_t digest[32];
    sha256_finish(&ctx, digest);
    return sha256_digest_to_string(digest);
}

// Feeds the message in the given piece lengths (which sum to its size).
std::string digestInPieces(const std::string &message, const std::vector<size_t> &pieces) {
    sha256_ctx ctx;
    sha256_starts(&ctx);
    size_t at = 0;
    for (size_t len : pieces) {
        sha256_update(&ctx, reinterpret_cast<const uint8_t *>(message.data()) + at, uint32_t(len));
        at += len;
    }
    uint8_t digest[32];
    sha256_finish(&ctx, digest);
    return sha256_digest_to_string(digest);
}

// sha256sum's digests of the given messages, in order, from one run of it.
std::vector<std::string> oracleDigests(const std::vector<std::string> &messages) {
    TempDir dir;
    std::string command = "cd '" + dir.path() + "' && sha256sum";
    for (size_t i = 0; i < messages.size(); ++i) {
        std::string name = "m";
        name += std::to_string(i);
        writeFile(dir.file(name), messages[i]);
        command += " " + name;
    }
    int status = -1;
    std::istringstream lines(shellOutput(command, &status));
    EXPECT_EQ(status, 0);
    std::vector<std::string> digests;
    std::string digest, name;
    while (lines >> digest >> name) digests.push_back(digest);
    EXPECT_EQ(digests.size(), messages.size());
    return digests;
}

std::string randomBytes(std::mt19937 &rng, size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = char(rng() & 0xFF);
    return s;
}

TEST(Sha256, StandardExamples) {
    const struct {
        std::string message;
        const char *digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
         "mnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &c : cases) EXPECT_EQ(digestOf(c.message), c.digest) << c.message.size() << " bytes";
}

TEST(Sha256, EveryLengthUpTo200AgreesWithSha256sum) {
    std::mt19937 rng(200);
    std::vector<std::string> messages;
    for (size_t n = 0; n <= 200; ++n) messages.push_back(randomBytes(rng, n));
    std::vector<std::string> expected = oracleDigests(messages);
    ASSERT_EQ(expected.size(), messages.size());
    for (size_t n = 0; n <= 200; ++n) EXPECT_EQ(digestOf(messages[n]), expected[n]) << n << " bytes";
}

TEST(Sha256, RandomPiecesAgreeWithSha256sum) {
    std::mt19937 rng(12345);
    std::vector<std::string> messages;
    for (int i = 0; i < 40; ++i) messages.push_back(randomBytes(rng, rng() % 3000));
    std::vector<std::string> expected = oracleDigests(messages);
    ASSERT_EQ(expected.size(), messages.size());
    for (size_t i = 0; i < messages.size(); ++i) {
        // Pieces of 0 to 150 bytes, a quarter of them empty.
        std::vector<size_t> pieces;
        size_t left = messages[i].size();
        while (left > 0) {
            size_t len = (rng() % 4 == 0) ? 0 : rng() % 151;
            if (len > left) len = left;
            pieces.push_back(len);
            left -= len;
        }
        pieces.push_back(0);
        EXPECT_EQ(digestInPieces(messages[i], pieces), expected[i]) << "message " << i;
    }
}

// Padding: 0x80, zeros up to 56 mod 64, then the 8 length bytes; the byte
// count after finishing shows how many padding bytes went in.
TEST(Sha256, PaddingBoundaries) {
    const struct {
        size_t length;
        uint32_t totalAfterFinish;
    } cases[] = {{55, 64}, {56, 128}, {63, 128}, {64, 128}, {119, 128}, {120, 192}};
    std::vector<std::string> messages;
    for (const auto &c : cases) messages.push_back(std::string(c.length, 'x'));
    std::vector<std::string> expected = oracleDigests(messages);
    ASSERT_EQ(expected.size(), messages.size());
    for (size_t i = 0; i < messages.size(); ++i) {
        sha256_ctx ctx;
        sha256_starts(&ctx);
        sha256_update(&ctx, reinterpret_cast<const uint8_t *>(messages[i].data()), uint32_t(cases[i].length));
        uint8_t digest[32];
        sha256_finish(&ctx, digest);
        EXPECT_EQ(sha256_digest_to_string(digest), expected[i]) << cases[i].length;
        EXPECT_EQ(ctx.total[0], cases[i].totalAfterFinish) << cases[i].length;
        EXPECT_EQ(ctx.total[1], 0u);
    }
}

TEST(Sha256, FinishingACopyLeavesTheOriginalRunning) {
    std::string first = "The quick brown fox jumps over the lazy dog, ";
    std::string second = std::string(100, 'z') + "and on.";
    sha256_ctx ctx;
    sha256_starts(&ctx);
    sha256_update(&ctx, reinterpret_cast<const uint8_t *>(first.data()), uint32_t(first.size()));
    sha256_ctx copy = ctx;
    uint8_t digest[32];
    sha256_finish(&copy, digest);
    EXPECT_EQ(sha256_digest_to_string(digest), digestOf(first));
    sha256_update(&ctx, reinterpret_cast<const uint8_t *>(second.data()), uint32_t(second.size()));
    sha256_finish(&ctx, digest);
    EXPECT_EQ(sha256_digest_to_string(digest), digestOf(first + second));
    EXPECT_EQ(oracleDigests({first + second}).at(0), digestOf(first + second));
}

TEST(Sha256, DigestToString) {
    uint8_t digest[32];
    for (int i = 0; i < 32; ++i) digest[i] = uint8_t(i * 8 + 7);
    EXPECT_STREQ(sha256_digest_to_string(digest),
                 "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
    EXPECT_STREQ(sha256_digest_to_string(nullptr), "(null)");
    // The same static text each time, overwritten by every call.
    char *first = sha256_digest_to_string(digest);
    EXPECT_EQ(sha256_digest_to_string(nullptr), first);
}

}  // namespace

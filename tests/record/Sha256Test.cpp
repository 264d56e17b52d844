// SHA-256 of the system's library (libgcrypt, BCrypt) against the standard's vectors and lengths
// around the padding boundary (digests from sha256sum), from memory and from a file (the million
// bytes span many of the file's reads), and no digest for a file that cannot be read.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "record/Sha256.h"

namespace orlo::record {
namespace {

struct ShaCase {
    std::string input;
    std::string digest;
};

class Sha256Test : public ::testing::TestWithParam<ShaCase> {};

TEST_P(Sha256Test, MatchesKnownDigestsFromMemoryAndFromAFile) {
    const ShaCase& c = GetParam();
    EXPECT_EQ(Sha256Hex(c.input), c.digest);

    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("orlo-sha256-" + std::to_string(std::random_device()()));
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    const std::string path = (dir / "image.bin").string();
    {
        std::ofstream out(path, std::ios::binary);
        out.write(c.input.data(), static_cast<std::streamsize>(c.input.size()));
    }
    EXPECT_EQ(FileSha256(path), c.digest);
    EXPECT_EQ(FileSha256((dir / "missing.bin").string()), std::nullopt);
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Sha256Test,
    ::testing::Values(
        ShaCase{"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        ShaCase{"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        ShaCase{"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        ShaCase{std::string(55, 'a'),
                "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        ShaCase{std::string(56, 'a'),
                "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        ShaCase{std::string(64, 'a'),
                "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        ShaCase{std::string(1000000, 'a'),
                "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}));

}  // namespace
}  // namespace orlo::record

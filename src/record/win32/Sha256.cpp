// SHA-256 through Windows' BCrypt.
#include "record/Sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <fstream>
#include <vector>

#include "app/OutputFile.h"

namespace orlo::record {

namespace {

// One hash object: the algorithm provider and the hash, released together.
class Hasher {
  public:
    Hasher() {
        if (BCryptOpenAlgorithmProvider(&m_algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
            m_algorithm = nullptr;
        else if (BCryptCreateHash(m_algorithm, &m_hash, nullptr, 0, nullptr, 0, 0) != 0)
            m_hash = nullptr;
    }
    ~Hasher() {
        if (m_hash) BCryptDestroyHash(m_hash);
        if (m_algorithm) BCryptCloseAlgorithmProvider(m_algorithm, 0);
    }
    bool Ok() const { return m_hash != nullptr; }
    bool Update(const void* data, std::size_t count) {
        return BCryptHashData(m_hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                              static_cast<ULONG>(count), 0) == 0;
    }
    std::optional<std::string> Final() {
        unsigned char digest[32];
        if (BCryptFinishHash(m_hash, digest, sizeof digest, 0) != 0) return std::nullopt;
        return DigestHex(digest);
    }

  private:
    BCRYPT_ALG_HANDLE m_algorithm = nullptr;
    BCRYPT_HASH_HANDLE m_hash = nullptr;
};

}  // namespace

std::optional<std::string> FileSha256(const std::string& path) {
    std::ifstream in(Utf8Path(path), std::ios::binary);
    Hasher hasher;
    if (!in || !hasher.Ok()) return std::nullopt;
    std::vector<char> buffer(64 * 1024);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (!hasher.Update(buffer.data(), static_cast<std::size_t>(in.gcount())))
            return std::nullopt;
    }
    if (!in.eof() || in.bad()) return std::nullopt;
    return hasher.Final();
}

std::string Sha256Hex(std::string_view bytes) {
    Hasher hasher;
    if (!hasher.Ok() || !hasher.Update(bytes.data(), bytes.size())) return {};
    return hasher.Final().value_or(std::string());
}

}  // namespace orlo::record

// SHA-256 through libgcrypt.
#include "record/Sha256.h"

#include <gcrypt.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "app/OutputFile.h"

namespace orlo::record {

namespace {

// libgcrypt wants its version checked once before the first use.
void Initialise() {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
}

}  // namespace

std::optional<std::string> FileSha256(const std::string& path) {
    Initialise();
    std::ifstream in(Utf8Path(path), std::ios::binary);
    if (!in) return std::nullopt;
    gcry_md_hd_t md = nullptr;
    if (gcry_md_open(&md, GCRY_MD_SHA256, 0) != 0) return std::nullopt;
    std::vector<char> buffer(64 * 1024);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        gcry_md_write(md, buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    std::optional<std::string> digest;
    if (in.eof() && !in.bad()) digest = DigestHex(gcry_md_read(md, GCRY_MD_SHA256));
    gcry_md_close(md);
    return digest;
}

std::string Sha256Hex(std::string_view bytes) {
    Initialise();
    unsigned char digest[32];
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest, bytes.data(), bytes.size());
    return DigestHex(digest);
}

}  // namespace orlo::record

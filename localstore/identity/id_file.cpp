#include "identity/id_file.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "environment/atomic_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {
namespace {

constexpr const char *kFormatTag = "tesra-id-file 1";
constexpr size_t kSaltSize = 16;
constexpr size_t kKeySize = 32;
constexpr std::streamsize kMaxIdFileSize = 64 * 1024;

using Bytes = std::vector<unsigned char>;

std::string hexOf(const Bytes &bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<Bytes> bytesOfHex(const std::string &text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        const std::string pair = text.substr(i, 2);
        if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(std::stoul(pair, nullptr, 16)));
    }
    return bytes;
}

Bytes deriveKey(const std::string &password, const Bytes &salt, uint32_t iterations) {
    Bytes key(kKeySize);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                          static_cast<int>(key.size()), key.data()) != 1) {
        throw StoreError(TESRA_ERR_INTERNAL, "key derivation failed");
    }
    return key;
}

bool isValidUserName(const std::string &name) {
    if (name.empty() || name.size() > 255) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

struct IdFileContents {
    std::string userName;
    Bytes salt;
    uint32_t iterations = 0;
    Bytes key;
};

std::optional<IdFileContents> parseIdFile(const std::string &text) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kFormatTag) return std::nullopt;
    std::map<std::string, std::string> fields;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) return std::nullopt;
        fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    IdFileContents contents;
    contents.userName = fields["user"];
    auto salt = bytesOfHex(fields["salt"]);
    auto key = bytesOfHex(fields["key"]);
    const std::string &iterations = fields["iterations"];
    if (!isValidUserName(contents.userName) || !salt || salt->size() != kSaltSize || !key ||
        key->size() != kKeySize || iterations.empty() || iterations.size() > 9 ||
        iterations.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    contents.iterations = static_cast<uint32_t>(std::stoul(iterations));
    if (contents.iterations == 0 || contents.iterations > kMaxIdIterations) return std::nullopt;
    contents.salt = *salt;
    contents.key = *key;
    return contents;
}

}  // namespace

void createIdFile(const std::string &path, const std::string &userName, const std::string &password,
                  uint32_t iterations) {
    if (!isValidUserName(userName)) throw StoreError(TESRA_ERR_INVALID_ARGUMENT, "the user name is empty or invalid");
    if (iterations == 0 || iterations > kMaxIdIterations) {
        throw StoreError(TESRA_ERR_INVALID_ARGUMENT, "the iteration count must be between 1 and 10000000");
    }
    Bytes salt(kSaltSize);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
        throw StoreError(TESRA_ERR_INTERNAL, "no random bytes for the salt");
    }
    std::ostringstream text;
    text << kFormatTag << "\n"
         << "user=" << userName << "\n"
         << "salt=" << hexOf(salt) << "\n"
         << "iterations=" << iterations << "\n"
         << "key=" << hexOf(deriveKey(password, salt, iterations)) << "\n";
    writeFileAtomically(path, text.str());
}

StoreStatus verifyIdFile(const std::string &path, const std::string &password, std::string &userName) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return errno == ENOENT ? TESRA_ERR_ID_FILE_MISSING : TESRA_ERR_ID_FILE_DAMAGED;
    std::string text(static_cast<size_t>(kMaxIdFileSize) + 1, '\0');
    file.read(text.data(), kMaxIdFileSize + 1);
    if (file.bad() || file.gcount() > kMaxIdFileSize) return TESRA_ERR_ID_FILE_DAMAGED;
    text.resize(static_cast<size_t>(file.gcount()));

    const auto contents = parseIdFile(text);
    if (!contents) return TESRA_ERR_ID_FILE_DAMAGED;
    const Bytes key = deriveKey(password, contents->salt, contents->iterations);
    if (CRYPTO_memcmp(key.data(), contents->key.data(), key.size()) != 0) return TESRA_ERR_WRONG_PASSWORD;
    userName = contents->userName;
    return TESRA_OK;
}

}  // namespace tesra

#include "identity/id_file.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <vector>

#include "environment/atomic_file.h"
#include "environment/regular_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {
namespace {

// Format 1 had no MAC: its user line could be changed at will.
constexpr const char *kOldFormatTag = "tesra-id-file 1";
constexpr const char *kFormatTag = "tesra-id-file 2";
constexpr size_t kSaltSize = 16;
constexpr size_t kKeySize = 32;
constexpr size_t kMaxIdFileSize = 64 * 1024;

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
    if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    Bytes bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

Bytes hmac(const Bytes &key, const std::string &data) {
    Bytes result(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char *>(data.data()),
             data.size(), result.data(), &length) == nullptr) {
        throw StoreError(TESRA_ERR_INTERNAL, "HMAC failed");
    }
    result.resize(length);
    return result;
}

// From the password: the key= line (a check of the password) and the key of
// the mac= line, which covers every byte before it.
struct DerivedKeys {
    Bytes passwordCheck;
    Bytes macKey;
};

DerivedKeys deriveKeys(const std::string &password, const Bytes &salt, uint32_t iterations) {
    Bytes master(kKeySize);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                          static_cast<int>(master.size()), master.data()) != 1) {
        throw StoreError(TESRA_ERR_INTERNAL, "key derivation failed");
    }
    DerivedKeys keys{hmac(master, "tesra id file: password check"), hmac(master, "tesra id file: mac")};
    OPENSSL_cleanse(master.data(), master.size());
    return keys;
}

struct IdFileContents {
    std::string userName;
    Bytes salt;
    uint32_t iterations = 0;
    Bytes passwordCheck;
    std::string covered;  // the bytes the MAC covers
    Bytes mac;
};

// The next line, which must be "name=value"; advances position past it.
std::optional<std::string> field(const std::string &text, size_t &position, const char *name) {
    const size_t end = text.find('\n', position);
    if (end == std::string::npos) return std::nullopt;
    const std::string line = text.substr(position, end - position);
    const std::string prefix = std::string(name) + "=";
    if (line.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    position = end + 1;
    return line.substr(prefix.size());
}

std::optional<uint32_t> iterationsOf(const std::string &text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const auto iterations = static_cast<uint32_t>(std::stoul(text));
    if (iterations == 0 || iterations > kMaxIdIterations) return std::nullopt;
    return iterations;
}

// Exactly the lines createIdFile writes, in its order, and nothing after.
std::optional<IdFileContents> parseIdFile(const std::string &text) {
    const std::string tagLine = std::string(kFormatTag) + "\n";
    if (text.compare(0, tagLine.size(), tagLine) != 0) return std::nullopt;
    size_t position = tagLine.size();
    IdFileContents contents;
    auto user = field(text, position, "user");
    auto salt = field(text, position, "salt");
    auto iterations = field(text, position, "iterations");
    auto check = field(text, position, "key");
    const size_t macStart = position;
    auto mac = field(text, position, "mac");
    if (!user || !salt || !iterations || !check || !mac || position != text.size()) return std::nullopt;

    contents.userName = *user;
    auto saltBytes = bytesOfHex(*salt), checkBytes = bytesOfHex(*check), macBytes = bytesOfHex(*mac);
    auto iterationCount = iterationsOf(*iterations);
    if (!isValidUserName(contents.userName) || !saltBytes || saltBytes->size() != kSaltSize || !checkBytes ||
        checkBytes->size() != kKeySize || !macBytes || macBytes->size() != kKeySize || !iterationCount) {
        return std::nullopt;
    }
    contents.salt = *saltBytes;
    contents.iterations = *iterationCount;
    contents.passwordCheck = *checkBytes;
    contents.covered = text.substr(0, macStart);
    contents.mac = *macBytes;
    return contents;
}

bool sameBytes(const Bytes &left, const Bytes &right) {
    return left.size() == right.size() && CRYPTO_memcmp(left.data(), right.data(), left.size()) == 0;
}

}  // namespace

bool isValidUserName(const std::string &name) {
    if (name.empty() || name.size() > 255) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

void createIdFile(const std::string &path, const std::string &userName, const std::string &password,
                  uint32_t iterations) {
    if (!isValidUserName(userName)) throw StoreError(TESRA_ERR_INVALID_ARGUMENT, "the user name is empty or invalid");
    if (iterations < kMinIdIterations || iterations > kMaxIdIterations) {
        throw StoreError(TESRA_ERR_INVALID_ARGUMENT, "the iteration count must be between " +
                                                         std::to_string(kMinIdIterations) + " and " +
                                                         std::to_string(kMaxIdIterations));
    }
    Bytes salt(kSaltSize);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
        throw StoreError(TESRA_ERR_INTERNAL, "no random bytes for the salt");
    }
    const DerivedKeys keys = deriveKeys(password, salt, iterations);
    const std::string covered = std::string(kFormatTag) + "\nuser=" + userName + "\nsalt=" + hexOf(salt) +
                                "\niterations=" + std::to_string(iterations) + "\nkey=" + hexOf(keys.passwordCheck) +
                                "\n";
    writeFileAtomically(path, covered + "mac=" + hexOf(hmac(keys.macKey, covered)) + "\n");
}

StoreStatus verifyIdFile(const std::string &path, const std::string &password, std::string &userName) {
    std::string text;
    switch (readRegularFile(path, kMaxIdFileSize, text)) {
        case RegularFileRead::kRead: break;
        case RegularFileRead::kMissing: return TESRA_ERR_ID_FILE_MISSING;
        default: return TESRA_ERR_ID_FILE_DAMAGED;
    }
    if (text.rfind(std::string(kOldFormatTag) + "\n", 0) == 0) return TESRA_ERR_ID_FILE_OLD_FORMAT;
    const auto contents = parseIdFile(text);
    if (!contents) return TESRA_ERR_ID_FILE_DAMAGED;
    const DerivedKeys keys = deriveKeys(password, contents->salt, contents->iterations);
    if (!sameBytes(keys.passwordCheck, contents->passwordCheck)) return TESRA_ERR_WRONG_PASSWORD;
    if (!sameBytes(hmac(keys.macKey, contents->covered), contents->mac)) return TESRA_ERR_ID_FILE_DAMAGED;
    userName = contents->userName;
    return TESRA_OK;
}

std::optional<uint32_t> idFileIterations(const std::string &path) {
    std::string text;
    if (readRegularFile(path, kMaxIdFileSize, text) != RegularFileRead::kRead) return std::nullopt;
    const auto contents = parseIdFile(text);
    if (!contents) return std::nullopt;
    return contents->iterations;
}

std::optional<std::string> claimedUserOf(const std::string &path) {
    std::string text;
    if (readRegularFile(path, kMaxIdFileSize, text) != RegularFileRead::kRead) return std::nullopt;
    const auto contents = parseIdFile(text);
    if (!contents) return std::nullopt;
    return contents->userName;
}

}  // namespace tesra

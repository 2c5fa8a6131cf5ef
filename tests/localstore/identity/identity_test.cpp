#include <cstring>

#include "identity/id_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"
#include "store_fixture.h"

namespace tesra::testing {
namespace {

class IdentityTest : public StoreFixture {
protected:
    StoreStatus switchTo(const std::string &path, const char *password) {
        return storeSwitchIdentity(path.c_str(), password, nullptr, 0, 0, nullptr);
    }
};

TEST_F(IdentityTest, RightPasswordSwitchesAndReportsTheUserName) {
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    char name[64];
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(storeSwitchIdentity(idPath_.c_str(), kPassword, name, sizeof name, 0, nullptr), TESRA_OK);
    EXPECT_STREQ(name, kUser);
}

TEST_F(IdentityTest, UserNameIsCutToItsBuffer) {
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    char name[8];
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(storeSwitchIdentity(idPath_.c_str(), kPassword, name, 6, 0, nullptr), TESRA_OK);
    EXPECT_STREQ(name, "Grace");
    EXPECT_EQ(name[6], '#');
}

TEST_F(IdentityTest, RefusesEachFailureWithItsOwnStatus) {
    EXPECT_EQ(switchTo(idPath_, kPassword), TESRA_ERR_NOT_STARTED);
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    EXPECT_EQ(storeSwitchIdentity(nullptr, kPassword, nullptr, 0, 0, nullptr), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(storeSwitchIdentity(idPath_.c_str(), nullptr, nullptr, 0, 0, nullptr), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(switchTo(directory_ / "absent.id", kPassword), TESRA_ERR_ID_FILE_MISSING);
    EXPECT_EQ(switchTo(idPath_, "correct horse "), TESRA_ERR_WRONG_PASSWORD);
    EXPECT_EQ(switchTo(idPath_, ""), TESRA_ERR_WRONG_PASSWORD);
    EXPECT_EQ(switchTo(directory_.path(), kPassword), TESRA_ERR_ID_FILE_DAMAGED) << "a directory";
}

TEST_F(IdentityTest, DamagedFilesAreToldApartFromWrongPasswords) {
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    const std::string good = readFile(idPath_);
    auto withLine = [&](const std::string &prefix, const std::string &replacement) {
        const size_t start = good.find(prefix);
        const size_t end = good.find('\n', start);
        return good.substr(0, start) + replacement + good.substr(end);
    };
    const std::string damaged[] = {
        "",
        "just some text\n",
        withLine("tesra-id-file", "tesra-id-file 9"),
        withLine("key=", "key=00ff"),
        withLine("key=", "key=zz" + std::string(62, '0')),
        withLine("salt=", ""),
        withLine("iterations=", "iterations=0"),
        withLine("iterations=", "iterations=-5"),
        withLine("user=", "user="),
        good.substr(0, good.size() / 2),
        std::string(100000, 'x'),
    };
    for (const std::string &content : damaged) {
        writeFile(directory_ / "damaged.id", content);
        EXPECT_EQ(switchTo(directory_ / "damaged.id", kPassword), TESRA_ERR_ID_FILE_DAMAGED) << content.substr(0, 80);
    }
    // a changed key is a consistent file whose password no longer matches
    writeFile(directory_ / "other-key.id", withLine("key=", "key=" + std::string(64, 'a')));
    EXPECT_EQ(switchTo(directory_ / "other-key.id", kPassword), TESRA_ERR_WRONG_PASSWORD);
}

// The MAC covers every line: a changed user name, or another file's salt and
// key under this file's user line, no longer opens with any password.
TEST_F(IdentityTest, EditedFilesDoNotOpen) {
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    const std::string good = readFile(idPath_);
    createIdFile(directory_ / "other.id", "Other", "other password", kTestIterations);
    const std::string other = readFile(directory_ / "other.id");
    auto line = [](const std::string &text, const std::string &prefix) {
        const size_t start = text.find("\n" + prefix) + 1;
        return text.substr(start, text.find('\n', start) - start);
    };
    auto replaced = [&](std::string text, const std::string &prefix, const std::string &replacement) {
        return text.replace(text.find("\n" + prefix) + 1, line(text, prefix).size(), replacement);
    };

    writeFile(directory_ / "renamed.id", replaced(good, "user=", "user=Ada Lovelace"));
    EXPECT_EQ(switchTo(directory_ / "renamed.id", kPassword), TESRA_ERR_ID_FILE_DAMAGED);
    writeFile(directory_ / "transplanted.id", replaced(other, "user=", line(good, "user=")));
    EXPECT_EQ(switchTo(directory_ / "transplanted.id", "other password"), TESRA_ERR_ID_FILE_DAMAGED);
    for (const char *prefix : {"salt=", "iterations=", "key=", "mac="}) {
        std::string edited = line(good, prefix);
        edited.back() = edited.back() == '1' ? '2' : '1';
        writeFile(directory_ / "edited.id", replaced(good, prefix, edited));
        const StoreStatus status = switchTo(directory_ / "edited.id", kPassword);
        EXPECT_TRUE(status == TESRA_ERR_ID_FILE_DAMAGED || status == TESRA_ERR_WRONG_PASSWORD) << prefix << status;
    }
    writeFile(directory_ / "extra.id", good + "user=Ada Lovelace\n");
    EXPECT_EQ(switchTo(directory_ / "extra.id", kPassword), TESRA_ERR_ID_FILE_DAMAGED);
    writeFile(directory_ / "old.id", "tesra-id-file 1\n" + good.substr(good.find('\n') + 1));
    EXPECT_EQ(switchTo(directory_ / "old.id", kPassword), TESRA_ERR_ID_FILE_OLD_FORMAT);
    EXPECT_EQ(switchTo(idPath_, kPassword), TESRA_OK);
}

TEST_F(IdentityTest, FileHoldsNoPasswordAndDifferentSaltsEachTime) {
    createIdFile(directory_ / "second.id", kUser, kPassword, kTestIterations);
    const std::string first = readFile(idPath_);
    const std::string second = readFile(directory_ / "second.id");
    EXPECT_EQ(first.find(kPassword), std::string::npos);
    EXPECT_NE(first, second) << "salt must be random";
    EXPECT_THROW(createIdFile(idPath_, kUser, kPassword, kTestIterations), std::exception) << "must not overwrite";
    EXPECT_THROW(createIdFile(directory_ / "weak.id", kUser, kPassword, kMinIdIterations - 1), StoreError);
}

TEST_F(IdentityTest, FailedSwitchKeepsThePreviousIdentity) {
    start();
    EXPECT_EQ(switchTo(idPath_, "wrong"), TESRA_ERR_WRONG_PASSWORD);
    StoreHandle handle = 0;
    EXPECT_EQ(storeOpenDatabase("main.tdb", &handle), TESRA_OK);
}

}  // namespace
}  // namespace tesra::testing

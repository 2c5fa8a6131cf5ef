#ifndef VRXCHDET_TESTS_STORE_SETUP_H
#define VRXCHDET_TESTS_STORE_SETUP_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A configuration, ID file and database main.tdb made by tesra-admin in a
// fresh directory, with TESRA_INI pointing at it; removed on destruction.
class SampleStore {
public:
    explicit SampleStore(int records, const std::string &password = "open sesame");
    ~SampleStore();
    SampleStore(const SampleStore &) = delete;
    SampleStore &operator=(const SampleStore &) = delete;

    const std::string &password() const { return password_; }
    // Runs "tesra-admin COMMAND --ini INI" and fails the test on a non-zero exit.
    std::string admin(const std::string &command) const;
    void rewriteIni(const std::string &content) const;
    // Deletes main.tdb and makes it again, empty, made at the given time
    // (seconds since 1970, UTC): the store answers no since before it.
    void remakeDatabaseAt(long long madeAt) const;
    std::string ini() const;
    // The change entry of every record, deleted ones included, by record identifier.
    std::vector<std::string> listedEntries() const;

private:
    std::string directory_;
    std::string password_;
};

std::string statusText(unsigned code);

// A sample store of three records, with no database open and no fault
// injected before and after each test.
class LocalStoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Opens main.tdb through initTesra, expecting success.
    void open();

    SampleStore store{3};
};

#endif

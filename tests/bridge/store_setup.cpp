#include "store_setup.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <fstream>
#include <sstream>

#include "query_support.h"
#include "store/store_client.h"

namespace {

std::string run(const std::string &command)
{
    std::string output;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        output.append(chunk, got);
    }
    int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command << "\n" << output;
    return output;
}

} // namespace

SampleStore::SampleStore(int records, const std::string &password) : password_(password)
{
    char pathTemplate[] = "/tmp/vrxchdet-store-XXXXXX";
    directory_ = mkdtemp(pathTemplate);
    run("printf '%s\\n' '" + password_ + "' | " + TESRA_ADMIN_PATH + " setup " + directory_ +
        "/store --user 'Test User' --password-stdin --database main.tdb --iterations 100000 --records " +
        std::to_string(records));
    setenv("TESRA_INI", (directory_ + "/store/tesra.ini").c_str(), 1);
}

SampleStore::~SampleStore()
{
    unsetenv("TESRA_INI");
    run("rm -rf " + directory_);
}

std::string SampleStore::admin(const std::string &command) const
{
    return run(std::string(TESRA_ADMIN_PATH) + " " + command + " --ini " + directory_ + "/store/tesra.ini");
}

void SampleStore::remakeDatabaseAt(long long madeAt) const
{
    const long long offset = (madeAt - static_cast<long long>(time(nullptr))) * 100;
    run("rm -f " + directory_ + "/store/data/main.tdb " + directory_ + "/store/data/main.tdb-wal " + directory_ +
        "/store/data/main.tdb-shm");
    run("TESRA_CLOCK_OFFSET=" + std::to_string(offset) + " " + TESRA_ADMIN_PATH + " create-db main.tdb --ini " +
        directory_ + "/store/tesra.ini");
}

void SampleStore::rewriteIni(const std::string &content) const
{
    std::ofstream(directory_ + "/store/tesra.ini") << content;
}

std::string SampleStore::ini() const
{
    std::ostringstream content;
    content << std::ifstream(directory_ + "/store/tesra.ini").rdbuf();
    return content.str();
}

std::vector<std::string> SampleStore::listedEntries() const
{
    std::vector<std::string> entries;
    std::istringstream lines(admin("list main.tdb --deleted"));
    std::string id, universalId, recordClass, date, time, state, rest;
    while (lines >> id >> universalId >> recordClass >> date >> time >> state) {
        std::getline(lines, rest);
        char recordId[16];
        snprintf(recordId, sizeof recordId, "%X", (unsigned)strtoul(id.c_str(), nullptr, 16));
        entries.push_back(universalId + ":" + recordId + ":" + (state == "present" ? "NOR" : "DEL"));
    }
    return entries;
}

std::string statusText(unsigned code)
{
    char text[STORE_STATUS_TEXT_SIZE];
    storeLoadStatusText(nullptr, (uint16_t)code, text, sizeof text);
    return text;
}

void LocalStoreTest::SetUp()
{
    closeAnyOpenDatabase();
    unsetenv("TESRA_FAULTS");
}

void LocalStoreTest::TearDown()
{
    closeAnyOpenDatabase();
    unsetenv("TESRA_FAULTS");
}

void LocalStoreTest::open()
{
    InitResult result = runInit(nullptr, "main.tdb", store.password().c_str());
    ASSERT_FALSE(result.exception.thrown) << result.exception.message;
}

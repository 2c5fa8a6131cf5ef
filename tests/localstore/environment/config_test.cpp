#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "status/status_codes.h"
#include "store_fixture.h"

namespace tesra::testing {
namespace {

class ConfigTest : public StoreFixture {};

std::string readConfig(const char *name, uint16_t size = 256, int *found = nullptr) {
    std::string buffer(size + 8, '#');
    const int result = storeReadConfig(name, buffer.data(), size);
    if (found != nullptr) *found = result;
    return result ? std::string(buffer.c_str()) : std::string("<unset>");
}

TEST_F(ConfigTest, ReadsNamesCaseInsensitivelyTrimmingSpacesAndSkippingComments) {
    writeIni(
        "  Colour  =  dark blue  \n"
        "# Hidden=1\n"
        "; Also.Hidden=2\n"
        "\n"
        "Empty=\n"
        "no equals sign here\n"
        "Repeated=first\r\n"
        "Repeated=second\r\n");
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    EXPECT_EQ(readConfig("colour"), "dark blue");
    EXPECT_EQ(readConfig("COLOUR"), "dark blue");
    EXPECT_EQ(readConfig("Hidden"), "<unset>");
    EXPECT_EQ(readConfig("Also.Hidden"), "<unset>");
    EXPECT_EQ(readConfig("Repeated"), "second");
    EXPECT_EQ(readConfig("Directory"), "data");

    int found = 0;
    EXPECT_EQ(readConfig("Empty", 16, &found), "");
    EXPECT_NE(found, 0) << "a set but empty value counts as set";
    EXPECT_EQ(readConfig("Missing", 16, &found), "<unset>");
    EXPECT_EQ(found, 0);
}

TEST_F(ConfigTest, CutsValuesToTheBufferAndAlwaysTerminates) {
    writeIni("Long=abcdefghij\n");
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);

    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_NE(storeReadConfig("Long", buffer, 5), 0);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(buffer[5], '#') << "wrote past valueSize";

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_NE(storeReadConfig("Long", buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '#');

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_NE(storeReadConfig("Long", buffer, 0), 0);
    EXPECT_EQ(buffer[0], '#') << "valueSize 0 must write nothing";
}

TEST_F(ConfigTest, NothingIsSetWhileTheRuntimeIsDown) {
    int found = 1;
    readConfig("Directory", 16, &found);
    EXPECT_EQ(found, 0);
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    storeTerm();
    readConfig("Directory", 16, &found);
    EXPECT_EQ(found, 0);
    storeTerm();  // harmless while down
}

TEST_F(ConfigTest, FallsBackToTheIniInTheCurrentDirectory) {
    ScopedEnvironment noIni("TESRA_INI", std::nullopt);
    const auto previous = std::filesystem::current_path();
    TemporaryDirectory elsewhere;
    writeFile(elsewhere / "tesra.ini", "Where=current directory\n");
    std::filesystem::current_path(elsewhere.path());
    const StoreStatus status = storeInit(0, nullptr);
    const std::string where = readConfig("Where");
    std::filesystem::current_path(previous);
    EXPECT_EQ(status, TESRA_OK);
    EXPECT_EQ(where, "current directory");
}

TEST_F(ConfigTest, FailsWhenTheIniCannotBeRead) {
    {
        ScopedEnvironment missing("TESRA_INI", directory_ / "nowhere.ini");
        EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_INI_UNREADABLE);
    }
    {
        ScopedEnvironment aDirectory("TESRA_INI", directory_.path());
        EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_INI_UNREADABLE);
    }
    StoreHandle handle = 7;
    EXPECT_EQ(storeOpenDatabase("main.tdb", &handle), TESRA_ERR_NOT_STARTED);
    EXPECT_EQ(handle, 0u);
}

TEST_F(ConfigTest, SecondInitRereadsTheIniAndKeepsOpenDatabases) {
    start();
    const StoreHandle handle = openMain();
    writeIni("Added=later\n");
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    EXPECT_EQ(readConfig("Added"), "later");
    EXPECT_EQ(searchAll(handle, beginning()).status, TESRA_OK);
    storeTerm();
    EXPECT_EQ(storeCloseDatabase(handle), TESRA_ERR_NOT_STARTED) << "one storeTerm shuts down";
}

}  // namespace
}  // namespace tesra::testing

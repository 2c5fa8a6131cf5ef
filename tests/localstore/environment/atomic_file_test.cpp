#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "environment/atomic_file.h"
#include "status/store_error.h"
#include "store_fixture.h"

namespace {

// What fsync was called on while recording; the test binary's fsync stands
// in for the C library's and passes each call on.
bool g_recordingSyncs = false;
std::vector<std::string> g_synced;

}  // namespace

extern "C" int fsync(int file) {
    static const auto realFsync = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (g_recordingSyncs) {
        char target[4096];
        const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(file)).c_str(), target, sizeof target);
        g_synced.push_back(length > 0 ? std::string(target, static_cast<size_t>(length)) : "?");
    }
    return realFsync(file);
}

namespace tesra::testing {
namespace {

TEST(AtomicFileTest, FileReachesTheDiskBeforeItsNameAndTheFolderAfter) {
    TemporaryDirectory directory;
    const std::string folder = std::filesystem::canonical(directory.path()).string();
    g_synced.clear();
    g_recordingSyncs = true;
    writeFileAtomically(folder + "/tesra.ini", "Directory=data\n");
    g_recordingSyncs = false;
    ASSERT_EQ(g_synced.size(), 2u);
    EXPECT_EQ(g_synced[0].rfind(folder + "/tesra.ini.tmp-", 0), 0u) << g_synced[0];
    EXPECT_EQ(g_synced[1], folder);
    EXPECT_EQ(readFile(folder + "/tesra.ini"), "Directory=data\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1) << "no temporary file is left";
}

// setup makes its folders so: each one's name reaches the disk with the folder above.
TEST(AtomicFileTest, APrivateFolderIsFlushedIntoTheFolderAboveIt) {
    TemporaryDirectory directory;
    const std::string folder = std::filesystem::canonical(directory.path()).string();
    const mode_t previous = ::umask(0);
    g_synced.clear();
    g_recordingSyncs = true;
    makePrivateFolder(folder + "/store");
    g_recordingSyncs = false;
    ::umask(previous);
    EXPECT_EQ(g_synced, std::vector<std::string>{folder});
    EXPECT_EQ(std::filesystem::status(folder + "/store").permissions(), std::filesystem::perms::owner_all);
    EXPECT_THROW(makePrivateFolder(folder + "/store"), StoreError) << "an existing folder is not taken over";
}

}  // namespace
}  // namespace tesra::testing

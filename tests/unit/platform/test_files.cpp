#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "test_support.h"

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// Like MoveFileA: an existing target is never replaced, a missing source is
// an error, and a failure leaves both names as they were.
TEST(RenameNoReplace, NeverReplacesAndFailsWithoutSource) {
    const struct {
        const char* name;
        bool sourceExists;
        bool targetExists;
        bool renamed;
    } cases[] = {
        {"target free", true, false, true},
        {"target exists", true, true, false},
        {"source missing", false, false, false},
        {"source missing, target exists", false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string from = dir.file("vxhid.log");
        std::string to = dir.file("vxhidLog.sav");
        if (c.sourceExists) writeFile(from, "new");
        if (c.targetExists) writeFile(to, "old");
        int error = 0;

        EXPECT_EQ(platform::renameNoReplace(from, to, error), c.renamed);

        if (c.renamed) {
            EXPECT_FALSE(platform::fileExists(from));
            EXPECT_EQ(readFile(to), "new");
        } else {
            EXPECT_NE(error, 0);
            EXPECT_EQ(platform::fileExists(from), c.sourceExists);
            EXPECT_EQ(platform::fileExists(to), c.targetExists);
            EXPECT_EQ(readFile(from), c.sourceExists ? "new" : "");
            EXPECT_EQ(readFile(to), c.targetExists ? "old" : "");
        }
    }
}

// The full path of a relative name is taken against the working folder.
TEST(FullPath, JoinsTheWorkingFolderAndTheName) {
    TempDir dir;
    std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::string full = platform::fullPath("vxhid.exe");
    std::filesystem::current_path(saved);

    EXPECT_EQ(full, dir.file("vxhid.exe"));
}

// One holder at a time, also within one process (so also across processes);
// release lets the next one in.
TEST(FileLock, IsExclusiveUntilReleased) {
    TempDir dir;
    const std::string path = dir.file("guarded.lock");
    platform::FileLock first, second;
    int error = 0;
    ASSERT_EQ(platform::FileLock::Result::taken, first.take(path, error));
    EXPECT_EQ(platform::FileLock::Result::held, second.take(path, error));
    first.release();
    EXPECT_EQ(platform::FileLock::Result::taken, second.take(path, error));
    EXPECT_EQ(platform::FileLock::Result::failed,
              first.take(dir.file("missing") + platform::pathSeparator + "x.lock", error));
}

}  // namespace

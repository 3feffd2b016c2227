// A folder's times are its entry's, even though files are written into it after its entry.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "recovery/output_writer.h"
#include "tests/image_builder.h"

namespace chkmend {
namespace {

using test::file;
using test::folder;
using test::orphan;

TEST(WriteOutputTree, FolderTimesSurviveTheFilesWrittenIntoThem) {
    test::FoundVolume v(true);
    v.root = {folder("FOUND   000", 3)};
    // List order: the lost folder, its sub-folder, then the file that goes into the sub-folder.
    v.directory(3, {orphan(0, 80), orphan(1, 60), orphan(2, 50)});
    v.directory(80, {test::shortEntry({.name11 = "LETTERS    ",
                                       .attributes = 0x10,
                                       .firstCluster = 60,
                                       .writeDate = test::fatDate(2019, 3, 4),
                                       .writeTime = test::fatTime(12, 0, 2)})});
    v.directory(60, {file("NOTE    TXT", 50, 5)});
    v.content(50, "hello");
    EXPECT_EQ(writeOutputTree(v.volume, v.name(), nullptr), 1);
    struct stat letters {};
    ASSERT_EQ(::stat("out/UnkDir0/LETTERS", &letters), 0);
    EXPECT_EQ(letters.st_mtime, 1551700802);  // 2019-03-04 12:00:02
}

}  // namespace
}  // namespace chkmend

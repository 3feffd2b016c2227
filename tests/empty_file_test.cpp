// Empty files inside a lost directory own no cluster, so the disk checker salvages no chain
// for them; only their directory's listing still knows them.
#include <gtest/gtest.h>

#include "recovery/naming.h"
#include "recovery/rediscover.h"
#include "tests/image_builder.h"

namespace chkmend {
namespace {

using test::file;
using test::folder;
using test::orphan;

TEST(Rediscover, EmptyFilesOfALostDirectoryAreNotLost) {
    test::FoundVolume v;
    v.root = {folder("FOUND   000", 3)};
    v.directory(3, {orphan(0, 80), orphan(1, 50)});
    // A corrupt entry with cluster 0 and a size, and a folder with cluster 0, have nothing to
    // give back and stay out.
    v.directory(80,
                {file("EMPTY   TXT", 0, 0), file("DATA    TXT", 50, 5), file("BROKEN  TXT", 0, 9),
                 folder("NOWHERE    ", 0), file("ALSO    TXT", 0, 0)});
    v.content(50, "hello");
    const EntryList list = v.name();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(nameOf(list[0].longName), "UnkDir0");
    EXPECT_EQ(nameOf(list[1].longName), "DATA.TXT");
    EXPECT_EQ(nameOf(list[2].longName), "EMPTY.TXT") << "appended, in listing order";
    EXPECT_EQ(nameOf(list[3].longName), "ALSO.TXT");
    for (std::size_t i = 1; i < list.size(); ++i) EXPECT_EQ(list[i].parent, 0u);
    EXPECT_EQ(list[2].sizeLow, 0u);
}

}  // namespace
}  // namespace chkmend

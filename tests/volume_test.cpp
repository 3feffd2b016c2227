#include <gtest/gtest.h>

#include "fat/chain.h"
#include "fat/volume.h"
#include "tests/image_builder.h"

namespace chkmend {
namespace {

using test::makeImage;

TEST(Smoke, OpensFat16) {
    test::ScratchDir dir;
    auto image = makeImage({.fatType = 16});
    VolumeState volume;
    test::openImage(image, dir, volume);
    EXPECT_EQ(volume.fatType, 16);
    closeVolume(volume);
}

}  // namespace
}  // namespace chkmend

// The version: the number that the library reports against the header's macros, and
// the project version that the build reads from the header (packages, pkg-config file
// and CMake package carry it).
#include "tarvik.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(Version, LibraryReportsTheHeadersNumber)
{
    EXPECT_EQ(TarvikVersion(), TARVIK_VERSION_NUMBER);
}

TEST(Version, ProjectVersionIsTheHeaders)
{
    const std::string header = std::to_string(TARVIK_VERSION_MAJOR) + "." +
                               std::to_string(TARVIK_VERSION_MINOR) + "." +
                               std::to_string(TARVIK_VERSION_PATCH);
    EXPECT_EQ(header, TARVIK_PROJECT_VERSION);
    // Two decimal digits each, or the number would not tell versions apart.
    EXPECT_LT(TARVIK_VERSION_MINOR, 100);
    EXPECT_LT(TARVIK_VERSION_PATCH, 100);
}

} // namespace

#include "platform/DisplayName.h"

#include <gtest/gtest.h>

TEST(DisplayName, IsTheLastPathComponent)
{
    for (const auto& [path, name] : {std::pair{"/a/b/song.m4a", "song.m4a"},
                                     {"/a/Folder/", "Folder"},
                                     {"/a//x y.mp3", "x y.mp3"},
                                     {"relative.wav", "relative.wav"},
                                     {"/", "/"},
                                     {"", ""}})
        EXPECT_EQ(cleftone::displayNameAtPath(path), name) << path;
}

#include "platform/DisplayName.h"

#include <gtest/gtest.h>

using cleftone::displayNameAtPath;

TEST(DisplayName, IsTheLastPathComponent)
{
    EXPECT_EQ(displayNameAtPath("/a/b/song.m4a"), "song.m4a");
    EXPECT_EQ(displayNameAtPath("/a/b/Folder/"), "Folder");
    EXPECT_EQ(displayNameAtPath("/a/b//x y.mp3"), "x y.mp3");
    EXPECT_EQ(displayNameAtPath("relative.wav"), "relative.wav");
    EXPECT_EQ(displayNameAtPath("/"), "/");
    EXPECT_EQ(displayNameAtPath(""), "");
}

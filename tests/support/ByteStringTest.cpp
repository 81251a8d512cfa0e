#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "support/ByteString.h"

namespace {

std::string Bytes(const CByteString& s) {
    return s.Data() ? std::string(reinterpret_cast<const char*>(s.Data()), s.Length() + 1)
                    : std::string();
}

}  // namespace

TEST(ByteString, ConstructionAndResize) {
    CByteString abc("abc", -1);
    EXPECT_EQ(abc.Length(), 3);
    EXPECT_EQ(Bytes(abc), std::string("abc\0", 4));

    abc.Resize(5);
    EXPECT_EQ(abc.Length(), 5);
    EXPECT_EQ(Bytes(abc), std::string("abc\0\0\0", 6));
    abc.Resize(2);
    EXPECT_EQ(Bytes(abc), std::string("ab\0", 3));
    // A size of zero or less changes nothing.
    abc.Resize(0);
    abc.Resize(-3);
    EXPECT_EQ(Bytes(abc), std::string("ab\0", 3));

    CByteString empty(nullptr, -1);
    EXPECT_EQ(empty.Length(), 0);
    EXPECT_EQ(empty.Data(), nullptr);
    CByteString emptyText("", -1);
    EXPECT_EQ(emptyText.Data(), nullptr);

    CByteString zeros(nullptr, 4);
    EXPECT_EQ(zeros.Length(), 4);
    EXPECT_EQ(Bytes(zeros), std::string(5, '\0'));

    CByteString prefix("abcdef", 3);
    EXPECT_EQ(Bytes(prefix), std::string("abc\0", 4));
    // An explicit length keeps zero bytes inside.
    CByteString inner("a\0b", 3);
    EXPECT_EQ(Bytes(inner), std::string("a\0b\0", 4));

    // Resize of an empty string allocates.
    empty.Resize(2);
    EXPECT_EQ(Bytes(empty), std::string(3, '\0'));
}

TEST(ByteString, AssignAndFree) {
    CByteString target("hello", -1);
    CByteString empty;
    target.Assign(empty);
    EXPECT_EQ(Bytes(target), std::string("hello\0", 6));

    CByteString source("a\0z", 3);
    target.Assign(source);
    EXPECT_EQ(target.Length(), 3);
    EXPECT_EQ(Bytes(target), std::string("a\0z\0", 4));
    EXPECT_NE(target.Data(), source.Data());

    target.Assign(target);
    EXPECT_EQ(Bytes(target), std::string("a\0z\0", 4));

    target.Free();
    EXPECT_EQ(target.Data(), nullptr);
    EXPECT_EQ(target.Length(), 0);
    target.Free();
    // Assign into a freed string works like a fresh copy.
    target.Assign(source);
    EXPECT_EQ(Bytes(target), std::string("a\0z\0", 4));
}

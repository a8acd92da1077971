#include "delivery/base64.h"
#include "delivery/md5.h"
#include "delivery/text_helpers.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

std::string HexMd5(const std::string& text) {
    return HexLower(Md5Digest(text));
}

TEST(Md5Test, Rfc1321Vectors) {
    EXPECT_EQ(HexMd5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(HexMd5("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(HexMd5("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(HexMd5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(HexMd5("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(HexMd5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(HexMd5("1234567890123456789012345678901234567890"
                     "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(HmacMd5Test, Rfc2104Vectors) {
    EXPECT_EQ(HexLower(HmacMd5("Hi There", std::string(16, '\x0b'))),
              "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(HexLower(HmacMd5("what do ya want for nothing?", "Jefe")),
              "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(HexLower(HmacMd5(std::string(50, '\xdd'), std::string(16, '\xaa'))),
              "56be34521d144c88dbb8c733f0e8b3f6");
    // A key longer than the block is hashed first.
    EXPECT_EQ(HexLower(HmacMd5("Test Using Larger Than Block-Size Key - Hash Key First",
                               std::string(80, '\xaa'))),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
}

TEST(HmacMd5Test, Rfc2195CramMd5Example) {
    const std::string challenge =
        Base64ToText("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
    EXPECT_EQ(challenge, "<1896.697170952@postoffice.reston.mci.net>");
    const std::string digest = HexLower(HmacMd5(challenge, "tanstaaftanstaaf"));
    EXPECT_EQ(digest, "b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_EQ(TextToBase64("tim " + digest), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

TEST(Base64Test, Rfc4648VectorsBothWays) {
    const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(TextToBase64(plain), encoded) << plain;
        EXPECT_EQ(Base64ToText(encoded), plain) << encoded;
    }
    // Octets above 127 and padding that ends only its own group.
    EXPECT_EQ(Base64ToText(TextToBase64("\xff\xfe")), "\xff\xfe");
    EXPECT_EQ(Base64ToText("YQ==YWI="), "aab");
}

} // namespace
} // namespace lumenpost

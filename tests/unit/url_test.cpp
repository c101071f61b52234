#include "url.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(ComposeUrl, FillsPlaceholdersLeftToRightAfterTheBase) {
    EXPECT_EQ("http://h:1/login_code?mc_uuid=U&code=C",
              composeUrl("http://h:1", endpoint::signIn, {"U", "C"}));
    EXPECT_EQ("b/auto_login?mc_uuid=1&access_token=2&refresh_token=3&provider=4",
              composeUrl("b", endpoint::autoLogin, {"1", "2", "3", "4"}));
    EXPECT_EQ("b/member/cosmetics?minecraft_uuid=1&access_token=2&refresh_token=3&provider=4",
              composeUrl("b", endpoint::getAvailableCosmetics, {"1", "2", "3", "4"}));
    EXPECT_EQ("b/member/update_cosmetic", composeUrl("b", endpoint::saveConfiguration, {}));
    EXPECT_EQ("b/models/a/b.enc", composeUrl("b", endpoint::loadRemoteMesh, {"a/b"}));
    // A placeholder with no argument left stays as it is.
    EXPECT_EQ("b/login_code?mc_uuid=U&code={}", composeUrl("b", endpoint::signIn, {"U"}));
    EXPECT_EQ("b/models/{}.enc", composeUrl("b", endpoint::loadRemoteMesh, {}));
}

TEST(ComposeUrl, CopiesEverythingVerbatim) {
    // Empty arguments stay empty; nothing is trimmed, encoded or added.
    EXPECT_EQ("/login_code?mc_uuid=&code=", composeUrl("", endpoint::signIn, {"", ""}));
    EXPECT_EQ(" b /login_code?mc_uuid= u &code=a&b=c#d%20",
              composeUrl(" b ", endpoint::signIn, {" u ", "a&b=c#d%20"}));
    // A trailing slash in the base is kept, so the separator doubles.
    EXPECT_EQ("http://h//cosmetic/user_cosmetic?mc_uuid=x",
              composeUrl("http://h/", endpoint::getPlayerSkinInfo, {"x"}));
    // Modified UTF-8 bytes pass through untouched.
    EXPECT_EQ("b/cosmetic/user_cosmetic?mc_uuid=\xc3\xab\xed\xa0\xbd\xed\xb8\x80",
              composeUrl("b", endpoint::getPlayerSkinInfo, {"\xc3\xab\xed\xa0\xbd\xed\xb8\x80"}));
}

TEST(ComposeUrl, NeverRescansSubstitutedText) {
    EXPECT_EQ("{}/login_code?mc_uuid={}&code={}{}",
              composeUrl("{}", endpoint::signIn, {"{}", "{}{}"}));
    EXPECT_EQ("b/login_code?mc_uuid={&code=}", composeUrl("b", endpoint::signIn, {"{", "}"}));
}

TEST(ComposeUrl, HandlesLongArguments) {
    std::string longValue(100000, 'x');
    std::string url = composeUrl("b", endpoint::getPlayerSkinInfo, {longValue.c_str()});
    EXPECT_EQ("b/cosmetic/user_cosmetic?mc_uuid=" + longValue, url);
}

}  // namespace
}  // namespace tarnwick

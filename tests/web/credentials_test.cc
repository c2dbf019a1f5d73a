// The password file and HTTP Basic: only salted hashes are taken, the
// password is checked against them, and malformed headers are no users.
#include "web/credentials.h"

#include <crypt.h>
#include <gtest/gtest.h>

namespace vantor::web {
namespace {

std::string Sha512Hash(const std::string& password, const std::string& salt) {
  crypt_data data{};
  return ::crypt_r(password.c_str(), ("$6$" + salt + "$").c_str(), &data);
}

TEST(CredentialsTest, ReadsSaltedHashesOnly) {
  const std::string hash = Sha512Hash("secret", "abcdefgh");
  const std::string text = "# users of the web port\r\n"
                           "\n"
                           "anna:" + hash + "\r\n"
                           "ben:" + hash + ":VIEWER\n"
                           "carl:plaintext\n"
                           ":" + hash + "\n"
                           "dora:$1$md5salt$shortandweak\n"
                           "eve";
  std::vector<int> bad;
  const std::vector<Credential> users = ParseCredentials(text, &bad);
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0].user, "anna");
  EXPECT_EQ(users[0].hash, hash);
  EXPECT_EQ(users[0].aet, "");
  EXPECT_EQ(users[1].user, "ben");
  EXPECT_EQ(users[1].aet, "VIEWER");
  EXPECT_EQ(bad, (std::vector<int>{5, 6, 7, 8}));
}

TEST(CredentialsTest, ChecksThePasswordAgainstTheHash) {
  const std::string hash = Sha512Hash("secret", "saltsalt");
  EXPECT_TRUE(PasswordMatches("secret", hash));
  EXPECT_FALSE(PasswordMatches("Secret", hash));
  EXPECT_FALSE(PasswordMatches("", hash));
  EXPECT_FALSE(PasswordMatches("secret", "secret"));
  EXPECT_FALSE(PasswordMatches("secret", ""));
  // A hash with another salt is another hash.
  EXPECT_FALSE(PasswordMatches("secret", Sha512Hash("secret", "othersalt") + "x"));
}

TEST(CredentialsTest, DecodesBasicAuthorization) {
  std::string user, password;
  // "anna:se:cret" in base64.
  ASSERT_TRUE(DecodeBasicAuthorization("Basic YW5uYTpzZTpjcmV0", user, password));
  EXPECT_EQ(user, "anna");
  EXPECT_EQ(password, "se:cret");
  ASSERT_TRUE(DecodeBasicAuthorization("basic YW5uYTo=", user, password));
  EXPECT_EQ(user, "anna");
  EXPECT_EQ(password, "");
  EXPECT_FALSE(DecodeBasicAuthorization("Bearer YW5uYTpzZWNyZXQ=", user, password));
  EXPECT_FALSE(DecodeBasicAuthorization("Basic", user, password));
  EXPECT_FALSE(DecodeBasicAuthorization("Basic !!!!", user, password));
  EXPECT_FALSE(DecodeBasicAuthorization("Basic YW5uYQ==", user, password));  // no colon
  EXPECT_FALSE(DecodeBasicAuthorization("Basic OnNlY3JldA==", user, password));  // no user
  EXPECT_FALSE(DecodeBasicAuthorization("Basic YW5uYTpzZWNyZXQ", user, password));  // length
}

}  // namespace
}  // namespace vantor::web

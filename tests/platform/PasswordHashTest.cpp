// Password hashes: what is made matches its password only, every salt is fresh, and a stored
// hash is checked only in a known method at a bounded cost. Where the system cannot hash (the
// Windows build), nothing is made and no hash admits anybody.
#include <gtest/gtest.h>

#include <string>

#include "platform/PasswordHash.h"

namespace {

// "secret" hashed by the system at yescrypt cost 1, and with SHA-512 at 1000 and 5000 rounds.
const char* const kYescrypt =
    "$y$j75$YyPZgoyszj9/AVK7FqA8o.$tutaNjUU6dXCtREt1KxQ31U7HWLwTi1bSomFOrgNXLC";
const char* const kSha512Rounds =
    "$6$rounds=1000$Ns1pQ8sA$dH4.8Ao1X8EYXDTd6h3.ATD31F2afcKzGwf9XD7VS/"
    "xxM3ZM7Tcc0XHxu4jiaHb8meF7.mbTNiKhdu7g89Z4T.";
const char* const kSha512 =
    "$6$Ns1pQ8sAabcdefgh$5mFUWJ5.Ljw0LlEV9Pkt2Kdv9QiMyebf9QRfXQh./"
    "j9NIUqiqiFyEwFu7GZcbwCKyw43gs0njkoa6I3jbf8zj/";

TEST(PasswordHashTest, MadeHashesMatchTheirPasswordOnlyAndNeverRepeat) {
  for (auto method : {PasswordHash::Method::Yescrypt, PasswordHash::Method::Sha512}) {
    char first[PasswordHash::kHashSize];
    char second[PasswordHash::kHashSize];
    if (!PasswordHash::available()) {
      EXPECT_FALSE(PasswordHash::make(method, "pw", first, sizeof first));
      EXPECT_STREQ(first, "");
      continue;
    }
    ASSERT_TRUE(PasswordHash::make(method, "pw", first, sizeof first));
    ASSERT_TRUE(PasswordHash::make(method, "pw", second, sizeof second));
    EXPECT_EQ(std::string(first, 3), method == PasswordHash::Method::Yescrypt ? "$y$" : "$6$");
    EXPECT_STRNE(first, second);  // a fresh salt each time
    EXPECT_EQ(std::string(first).find(':'), std::string::npos);  // fits a record's field
    EXPECT_TRUE(PasswordHash::checkable(first));
    EXPECT_TRUE(PasswordHash::matches("pw", first));
    EXPECT_TRUE(PasswordHash::matches("pw", second));
    EXPECT_FALSE(PasswordHash::matches("pW", first));
    EXPECT_FALSE(PasswordHash::matches("pw ", first));
    EXPECT_FALSE(PasswordHash::matches("", first));
    // Too small a buffer: nothing cut short is handed back.
    EXPECT_FALSE(PasswordHash::make(method, "pw", first, 20));
    EXPECT_STREQ(first, "");
  }
}

TEST(PasswordHashTest, StoredHashesAreCheckedOnlyInKnownMethodsAtBoundedCost) {
  const bool can = PasswordHash::available();
  for (const char* stored : {kYescrypt, kSha512Rounds, kSha512}) {
    EXPECT_EQ(PasswordHash::checkable(stored), can) << stored;
    EXPECT_EQ(PasswordHash::matches("secret", stored), can) << stored;
    EXPECT_FALSE(PasswordHash::matches("secreT", stored)) << stored;
  }
  const char* const refused[] = {
      // yescrypt at cost 11 (2 s and 1 GiB a check) and SHA-512 past a million rounds
      "$y$jFT$rONYkjDaS88VPZMIa6dbK.$YdbT5gq7KKNZxLlnZsilVTUJbrKNUDxvjWqCRX6A5I6",
      "$6$rounds=1000001$Ns1pQ8sA$dH4.8Ao1X8EYXDTd6h3.ATD31F2afcKzGwf9XD7VS/",
      "$6$rounds=99999999999999999999$Ns1pQ8sA$x",
      "$6$rounds=$Ns1pQ8sA$x",
      // methods the server does not take, and texts that are no hash
      "$1$abc$def", "$2b$12$abcdefghijklmnopqrstuv", "$", "$y$", "$6", "", "secret",
  };
  for (const char* stored : refused) {
    EXPECT_FALSE(PasswordHash::checkable(stored)) << stored;
    EXPECT_FALSE(PasswordHash::matches("secret", stored)) << stored;
  }
  EXPECT_FALSE(PasswordHash::checkable((std::string(kYescrypt) + std::string(200, 'a')).c_str()));
}

TEST(PasswordHashTest, SameSecretComparesWholeTexts) {
  EXPECT_TRUE(PasswordHash::sameSecret("", ""));
  EXPECT_TRUE(PasswordHash::sameSecret("abc", "abc"));
  EXPECT_FALSE(PasswordHash::sameSecret("abc", "abd"));
  EXPECT_FALSE(PasswordHash::sameSecret("abc", "ab"));
  EXPECT_FALSE(PasswordHash::sameSecret("ab", "abc"));
  EXPECT_FALSE(PasswordHash::sameSecret("", "a"));
  EXPECT_FALSE(PasswordHash::sameSecret(nullptr, ""));
}

}  // namespace

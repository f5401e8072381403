// BATV's prvs tag: made exactly as an independent implementation makes it,
// and checked for validity, expiry, forgery and form.
#include "verdict/BatvTag_un.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace bw;

const std::string Key32 = "0123456789abcdef0123456789abcdef";

// Each tag was computed once with Python's hmac module from the scheme's
// definition (hash-source = K DDD orig-mailfrom, the first three bytes of
// HMAC-SHA-1 in hex), with, for key, k, day and addr as in the row:
//   kd = "%d%03d" % (k, day % 1000); "prvs=%s%s=%s" % (kd, hmac.new(key.encode(), (kd + addr).encode(), hashlib.sha1).hexdigest()[:6], addr)
// The rows cover keys shorter and longer than SHA-1's block, every key
// number's digit, an address with "=" and upper case, and the day's wrap
// at 1000 (20999 and 21000, 19999 and 20000).
TEST(BatvTagTest, TagsAreThoseOfAnIndependentImplementation) {
  struct TVector {
    std::string Key;
    unsigned KeyNumber;
    std::int64_t Day;
    std::string Address;
    std::string Tagged;
  };
  const TVector Vectors[] = {
      {Key32, 0, 20428, "alice@example.com", "prvs=0428e3b815=alice@example.com"},
      {Key32, 0, 20999, "alice@example.com", "prvs=0999e9adbe=alice@example.com"},
      {Key32, 0, 21000, "alice@example.com", "prvs=0000cb2b84=alice@example.com"},
      {Key32, 0, 21007, "alice@example.com", "prvs=00075d984e=alice@example.com"},
      {Key32, 1, 20428, "alice@example.com", "prvs=1428523d90=alice@example.com"},
      {Key32, 9, 20428, "Bob.Smith+lists@Mail.Example.ORG", "prvs=94280eada7=Bob.Smith+lists@Mail.Example.ORG"},
      {std::string(100, 'k'), 3, 19999, "x@y.z", "prvs=399905551d=x@y.z"},
      {std::string(100, 'k'), 3, 20000, "x@y.z", "prvs=300073f1f4=x@y.z"},
      {"16 bytes exactly", 7, 12345, "postmaster@example.net", "prvs=73452265eb=postmaster@example.net"},
      {"16 bytes exactly", 7, 0, "a=b@example.net", "prvs=70001d9b01=a=b@example.net"},
  };
  for (const TVector &Vector : Vectors) {
    SCOPED_TRACE(Vector.Tagged);
    EXPECT_EQ(BatvSign(TBatvKey(Vector.Key), Vector.KeyNumber, Vector.Day, Vector.Address), Vector.Tagged);
    TBatvKeys Keys;
    Keys[Vector.KeyNumber] = TBatvKey(Vector.Key);
    EXPECT_EQ(BatvVerify(Keys, Vector.Day, 7, Vector.Tagged), bcValid);
    EXPECT_EQ(UntaggedAddress(Vector.Tagged), Vector.Address);
  }
}

// Show when a tag of ours stops being valid: the day after its DDD, across
// the wrap at 1000 too, and that a tag whose DDD lies beyond the lifetime
// reads as one long expired.
TEST(BatvTagTest, ATagExpiresTheDayAfterItsDayAcrossTheWrap) {
  TBatvKeys Keys;
  Keys[0] = TBatvKey(Key32);
  const std::string Tagged = "prvs=0002c660e5=alice@example.com";  // expires on day 21002, "002"
  ASSERT_EQ(BatvSign(*Keys[0], 0, 21002, "alice@example.com"), Tagged);
  const std::pair<std::int64_t, TBatvCheck> Days[] = {
      {20995, bcValid}, {20998, bcValid}, {21000, bcValid}, {21002, bcValid},
      {21003, bcExpired}, {21500, bcExpired}, {20994, bcExpired},  // 8 days ahead: more than the lifetime
  };
  for (const auto &[Today, Check] : Days)
    EXPECT_EQ(BatvVerify(Keys, Today, 7, Tagged), Check) << Today;
}

// Show that only our keys' tags pass, whatever their case, and what is not
// a tag at all.
TEST(BatvTagTest, ForgedTagsAreInvalidAndMalformedOnesAbsent) {
  TBatvKeys Keys;
  Keys[0] = TBatvKey(Key32);
  Keys[9] = TBatvKey("the previous key, still valid");
  const std::int64_t Today = 21000;
  const std::string Previous = BatvSign(*Keys[9], 9, Today + 3, "alice@example.com");
  const std::pair<std::string, TBatvCheck> Cases[] = {
      {"PRVS=0002C660E5=alice@example.com", bcValid},     // any case
      {Previous, bcValid},                                 // the previous key's number
      {"prvs=0002c660e6=alice@example.com", bcInvalid},   // one digit off
      {"prvs=0002c660e5=alice@example.org", bcInvalid},   // another address
      {"prvs=0003c660e5=alice@example.com", bcInvalid},   // another day
      {"prvs=5002c660e5=alice@example.com", bcInvalid},   // a key number we do not hold
      {BatvSign(TBatvKey("someone else's key"), 0, Today + 3, "alice@example.com"), bcInvalid},
      {"alice@example.com", bcAbsent},
      {"prvs=0002c660e5alice@example.com", bcAbsent},     // no "=" after the tag
      {"prvs=0002c660g5=alice@example.com", bcAbsent},    // not hex
      {"prvs=00a2c660e5=alice@example.com", bcAbsent},    // not a day
      {"prvs=0002c660e5=@example.com", bcAbsent},         // no local part
      {"prvs=0002c660e5=alice", bcAbsent},                // no domain
      {"prvs=0002c660e5=", bcAbsent},
      {"", bcAbsent},
  };
  for (const auto &[Address, Check] : Cases)
    EXPECT_EQ(BatvVerify(Keys, Today, 7, Address), Check) << Address;
}

} // namespace

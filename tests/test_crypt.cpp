// Base64 codec and scrambling of the knowledge databases' text columns.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "db/system_crypt.h"
#include "support/exceptions.h"

using namespace quillmark;

namespace {

std::string Utf16le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

TEST(Crypt, Base64MatchesRfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xFF\xFE\x00", 3), "//4A"},
  };
  for (const auto& [bytes, encoded] : cases) {
    EXPECT_EQ(TCrypt::Base64Encode(std::string_view(bytes)), encoded) << encoded;
    EXPECT_EQ(TCrypt::Base64Decode(std::string_view(encoded)), bytes) << encoded;
  }
}

TEST(Crypt, RoundTripAcrossChunkBoundaries) {
  // Inputs around the 45-byte encoding and 88-character decoding chunks.
  for (std::size_t n : {0u, 1u, 44u, 45u, 46u, 65u, 66u, 67u, 89u, 90u, 91u, 135u, 1000u}) {
    std::string bytes = RandomBytes(n, static_cast<unsigned>(n));
    std::string text = TCrypt::Base64Encode(std::string_view(bytes));
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(TCrypt::Base64Decode(std::string_view(text)), bytes) << n;

    // The same through the stream forms, 8-bit and UTF-16.
    std::istringstream in(bytes);
    std::ostringstream wide;
    TCrypt::Base64EncodeW(in, wide);
    EXPECT_EQ(wide.str(), Utf16le(text));
    std::istringstream wideIn(wide.str());
    std::ostringstream decoded;
    TCrypt::Base64DecodeW(wideIn, decoded);
    EXPECT_EQ(decoded.str(), bytes) << n;
  }
}

TEST(Crypt, DecodingRejectsCharactersOutsidePlusToZ) {
  for (const char* bad : {"Zm9v\nYmFy", "Zm9v YmFy", "Zm9v\tYmFy", "Zm9\xC3\xA9", "Zg=~"}) {
    try {
      TCrypt::Base64Decode(std::string_view(bad));
      ADD_FAILURE() << "no error for " << bad;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Invalid Base64 Character");
    }
  }
  // Inside "+".."z" but not in the alphabet: decoded through 127, no error.
  EXPECT_NO_THROW(TCrypt::Base64Decode(std::string_view("Zm@v")));
  EXPECT_EQ(TCrypt::Base64Decode(std::string_view("Zm@v")).size(), 3u);
}

TEST(Crypt, ScramblingIsItsOwnInverseAndKeyZeroIsNot) {
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<char>(i);
  for (int key : {0x00, 0x9E, 0xFF, 0x5A}) {
    std::string buffer = all;
    TCrypt::SimpleEncode(buffer.data(), static_cast<std::ptrdiff_t>(buffer.size()), static_cast<std::uint8_t>(key));
    std::string decoded = buffer;
    TCrypt::SimpleDecode(decoded.data(), static_cast<std::ptrdiff_t>(decoded.size()), static_cast<std::uint8_t>(key));
    EXPECT_EQ(decoded, all) << key;
    // Encode and decode are the same map.
    std::string twice = buffer;
    TCrypt::SimpleEncode(twice.data(), static_cast<std::ptrdiff_t>(twice.size()), static_cast<std::uint8_t>(key));
    EXPECT_EQ(twice, all) << key;
    if (key == 0) {
      for (int i = 0; i < 256; ++i) EXPECT_EQ(static_cast<std::uint8_t>(buffer[static_cast<std::size_t>(i)]), 255 - i);
    }
  }
  std::string untouched = "abc";
  TCrypt::SimpleEncode(untouched.data(), 0, 0x9E);
  TCrypt::SimpleEncode(untouched.data(), -1, 0x9E);
  EXPECT_EQ(untouched, "abc");
}

TEST(Crypt, TextPipelines) {
  const std::string texts[] = {"C:\\Windows\\System32", "Heur.Suspicious.Generic", "Müller GmbH – Ωmega", "x"};
  for (const std::string& text : texts) {
    std::string stored = TCrypt::EncodeString(text);
    EXPECT_NE(stored, text);
    EXPECT_EQ(TCrypt::DecodeString(stored), text);
    EXPECT_EQ(TCrypt::DecodeString(TCrypt::EncodeString(text, 7), 7), text);
  }
  // The stored form is Base64 of the scrambled bytes with key 0x9E.
  std::string bytes = "abc";
  TCrypt::SimpleEncode(bytes.data(), 3, 0x9E);
  EXPECT_EQ(TCrypt::EncodeString("abc"), TCrypt::Base64Encode(std::string_view(bytes)));

  EXPECT_EQ(TCrypt::EncodeString(""), "");
  EXPECT_EQ(TCrypt::DecodeString(""), "");
  EXPECT_EQ(TCrypt::DecodeString("not base64!"), "");
  EXPECT_EQ(TCrypt::DecodeString("Zm9v\r\n"), "");
  // Unscrambled bytes that are not UTF-8 come back as U+FFFD, never as raw bytes.
  std::string raw = "a\xFF";
  TCrypt::SimpleEncode(raw.data(), 2, 0x9E);
  EXPECT_EQ(TCrypt::DecodeString(TCrypt::Base64Encode(std::string_view(raw))), "a\xEF\xBF\xBD");
}

}  // namespace

// The export's readers of header fields over arbitrary bytes: the date
// parser and the header-field reader with its subject decoding. Shared by
// their fuzzers and the unit test that replays their regression inputs.
// Inputs: the date target's bytes are a date value; the fields target's a
// header section.
#pragma once
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "export/export.h"

namespace mailcheck {

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Problems with an asctime text: its shape, and that reading it back as a
// mail date gives `seconds` again.
inline std::string CheckAsctime(int64_t seconds) {
  char out[25];
  memset(out, 'x', sizeof out);
  FormatAsctime(seconds, out);
  std::string text(out, strnlen(out, sizeof out));
  if (text.size() != 24) return "asctime of " + std::to_string(seconds) + " is not 24 characters: " + text + "\n";
  const char* shape = "aaa aaa #d dd:dd:dd dddd";
  for (int i = 0; i < 24; i++) {
    char c = out[i], s = shape[i];
    bool good = s == 'a' ? (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
                : s == 'd' ? IsDigit(c)
                : s == '#' ? c == ' ' || IsDigit(c)
                           : c == s;
    if (!good) return "asctime of " + std::to_string(seconds) + " is misshapen: " + text + "\n";
  }
  // "Www Mmm dd hh:mm:ss yyyy" as "Www, dd Mmm yyyy hh:mm:ss +0000".
  std::string mail = text.substr(0, 3) + ", " + text.substr(8, 2) + " " + text.substr(4, 3) + " " +
                     text.substr(20, 4) + " " + text.substr(11, 8) + " +0000";
  int64_t again = 0;
  if (ParseMailDate(mail.data(), (uint32_t)mail.size(), &again) != 1 || again != seconds)
    return "asctime of " + std::to_string(seconds) + " (" + text + ") reads back as " + std::to_string(again) + "\n";
  return "";
}

// The date parser never fails unsafely; every date it accepts has four
// year digits and formats to 24 characters that read back the same.
inline std::string CheckDateInput(const uint8_t* data, size_t size) {
  // A heap copy of exactly the input: a read past its end is caught.
  std::vector<char> text(data, data + size);
  int64_t seconds = 0;
  int ok = ParseMailDate(text.data(), (uint32_t)size, &seconds);
  if (ok != 0 && ok != 1) return "ParseMailDate returned " + std::to_string(ok) + "\n";
  if (!ok) return "";
  if (seconds < DaysFromCivil(1900, 1, 1) * 86400 || seconds >= DaysFromCivil(10000, 1, 1) * 86400)
    return "accepted date out of range: " + std::to_string(seconds) + "\n";
  return CheckAsctime(seconds);
}

inline bool IsSlugByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '.' || c == '-' || c == '_';
}

// Problems with a slug: the bytes a name may carry, something said, no
// trailing dot, no device name before its first dot, and making a slug of
// it again changes nothing.
inline std::string CheckSlug(const char* slug) {
  size_t n = strnlen(slug, SlugLimit + 1);
  if (n > SlugLimit) return "slug longer than the limit\n";
  std::string s(slug, n);
  bool named = false;
  for (char c : s) {
    if (!IsSlugByte(c)) return "slug byte " + std::to_string((uint8_t)c) + " in " + s + "\n";
    named = named || (c != '.' && c != '_' && c != '-');
  }
  if (n && !named) return "slug says nothing: " + s + "\n";
  if (n && s.back() == '.') return "slug ends with a dot: " + s + "\n";
  std::string stem = s.substr(0, s.find('.'));
  for (char& c : stem) c = (char)tolower((unsigned char)c);
  bool device = stem == "con" || stem == "prn" || stem == "aux" || stem == "nul" ||
                (stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
                 stem[3] >= '1' && stem[3] <= '9');
  if (device) return "slug is a device name: " + s + "\n";
  char again[SlugLimit + 1];
  MakeSlug((const uint8_t*)s.data(), (uint32_t)n, again);
  if (s != again) return "slug " + s + " made again is " + again + "\n";
  return "";
}

inline std::string Folded(const uint8_t* data, size_t size, uint32_t cap) {
  // Exactly the room given: a write past it is caught.
  std::vector<char> out(cap);
  uint32_t n = FoldSubject(data, (uint32_t)size, out.data(), cap);
  if (n > cap) return std::string(cap + 1, '!');
  return std::string(out.data(), n);
}

// The subject decoding: ASCII out, at most the room given (a smaller room
// gives a prefix), plain ASCII text unchanged, and encoded words of ASCII
// text read back as that text.
inline std::string CheckFold(const uint8_t* data, size_t size) {
  std::string all = Folded(data, size, 4 * (uint32_t)size + 8);
  for (char c : all)
    if ((uint8_t)c >= 0x80) return "folded subject holds byte " + std::to_string((uint8_t)c) + "\n";
  uint32_t room = size ? data[0] % 64 : 0;
  std::string cut = Folded(data, size, room);
  if (cut != all.substr(0, room)) return "a room of " + std::to_string(room) + " gives no prefix: " + cut + "\n";
  std::string text((const char*)data, size);
  bool plain = text.find("=?") == std::string::npos;
  for (char c : text) plain = plain && (uint8_t)c < 0x80;
  if (plain && all != text) return "plain ASCII subject changed to " + all + "\n";
  // The folded text sent as a B word and as a Q word of UTF-8.
  static const char* const Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string b = "=?UTF-8?B?", q = "=?utf-8?q?";
  for (size_t i = 0; i < all.size(); i += 3) {
    uint32_t v = (uint8_t)all[i] << 16 | (i + 1 < all.size() ? (uint8_t)all[i + 1] << 8 : 0) |
                 (i + 2 < all.size() ? (uint8_t)all[i + 2] : 0);
    b += Alphabet[v >> 18];
    b += Alphabet[v >> 12 & 63];
    b += i + 1 < all.size() ? Alphabet[v >> 6 & 63] : '=';
    b += i + 2 < all.size() ? Alphabet[v & 63] : '=';
  }
  for (char c : all) {
    char hex[4];
    snprintf(hex, sizeof hex, "=%02X", (uint8_t)c);
    q += hex;
  }
  for (const std::string& word : {b + "?=", q + "?="}) {
    std::string back = Folded((const uint8_t*)word.data(), word.size(), 4 * (uint32_t)word.size() + 8);
    if (back != all) return "the encoded word " + word + " reads as " + back + ", not " + all + "\n";
  }
  return "";
}

// The header-field reader: a sender fit for an mbox From line, a date that
// formats, a slug fit for a name, the same fields on a second reading, and
// the subject decoding's own checks.
inline std::string CheckFieldsInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> section(data, data + size);
  MessageFields first, second;
  memset(&first, 0x55, sizeof first);
  memset(&second, 0xAA, sizeof second);
  ReadHeaderFields(section.data(), (uint32_t)size, &first);
  ReadHeaderFields(section.data(), (uint32_t)size, &second);
  size_t n = strnlen(first.sender, SenderLimit + 1);
  if (n == 0 || n > SenderLimit) return "sender of length " + std::to_string(n) + "\n";
  for (size_t i = 0; i < n; i++)
    if ((uint8_t)first.sender[i] <= 0x20 || (uint8_t)first.sender[i] == 0x7F)
      return "sender holds byte " + std::to_string((uint8_t)first.sender[i]) + "\n";
  if (strcmp(first.sender, second.sender) || strcmp(first.slug, second.slug) || first.dated != second.dated ||
      (first.dated && first.date != second.date))
    return "a second reading gives other fields\n";
  std::string problems = CheckSlug(first.slug);
  if (problems.empty() && first.dated) problems = CheckAsctime(first.date);
  if (problems.empty()) problems = CheckFold(data, size);
  return problems;
}

}  // namespace mailcheck

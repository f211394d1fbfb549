// Mail dates: reading RFC 5322 date-times (with the obsolete forms mail
// clients still write) and writing the asctime form of an mbox From line.
// Plain civil-date arithmetic: no locale, no system time zone, so the same
// base gives the same mbox on every machine.
#include <cstdio>

#include "export/export.h"

namespace {

constexpr int64_t SecondsPerDay = 86400;
const char* const MonthNames = "JanFebMarAprMayJunJulAugSepOctNovDec";
const char* const DayNames = "SunMonTueWedThuFriSat";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

struct Cursor {
  const char* text;
  uint32_t at, end;
};

// Skips white space and (nested) comments: CFWS.
void SkipSpace(Cursor* c) {
  int depth = 0;
  while (c->at < c->end) {
    char ch = c->text[c->at];
    if (depth > 0 && ch == '\\' && c->at + 1 < c->end) {
      c->at += 2;
      continue;
    }
    if (ch == '(') depth++;
    else if (ch == ')' && depth > 0) depth--;
    else if (depth == 0 && ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n') return;
    c->at++;
  }
}

// Reads a run of digits (at most 9). Returns the count read.
uint32_t Digits(Cursor* c, int64_t* value) {
  uint32_t n = 0;
  int64_t v = 0;
  while (c->at < c->end && IsDigit(c->text[c->at]) && n < 9) {
    v = v * 10 + (c->text[c->at] - '0');
    c->at++;
    n++;
  }
  *value = v;
  return n;
}

// Reads a run of letters into word (lower case, at most 15 kept).
uint32_t Word(Cursor* c, char* word) {
  uint32_t n = 0;
  while (c->at < c->end && IsAlpha(c->text[c->at])) {
    if (n < 15) word[n] = Lower(c->text[c->at]);
    c->at++;
    n++;
  }
  word[n < 15 ? n : 15] = '\0';
  return n;
}

bool Take(Cursor* c, char ch) {
  if (c->at < c->end && c->text[c->at] == ch) {
    c->at++;
    return true;
  }
  return false;
}

// The index (0..) of a three-letter name in names, case-insensitively; -1.
int NameIndex(const char* word, const char* names, int count) {
  for (int k = 0; k < count; k++)
    if (Lower(names[3 * k]) == word[0] && Lower(names[3 * k + 1]) == word[1] && Lower(names[3 * k + 2]) == word[2] &&
        word[3] == '\0')
      return k;
  return -1;
}

// The zone's offset east of UTC in minutes. Names RFC 5322 keeps as
// obsolete; military letters and unknown names count as UTC ("-0000": the
// local time's zone is unknown).
int32_t ZoneMinutes(const char* word) {
  static const struct {
    const char* name;
    int32_t hours;
  } zones[] = {{"ut", 0},   {"gmt", 0},  {"est", -5}, {"edt", -4}, {"cst", -6},
               {"cdt", -5}, {"mst", -7}, {"mdt", -6}, {"pst", -8}, {"pdt", -7}};
  for (const auto& z : zones) {
    const char* a = z.name;
    const char* b = word;
    while (*a && *a == *b) a++, b++;
    if (!*a && !*b) return z.hours * 60;
  }
  return 0;
}

}  // namespace

int64_t DaysFromCivil(int64_t year, uint32_t month, uint32_t day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yoe = year - era * 400;
  int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int ParseMailDate(const char* text, uint32_t n, int64_t* seconds) {
  Cursor c = {text, 0, n};
  char word[16];
  SkipSpace(&c);
  // An optional day name, with its comma.
  if (c.at < c.end && IsAlpha(text[c.at])) {
    // "Thu" or, as some clients write it, "Thursday".
    if (Word(&c, word) < 3) return 0;
    word[3] = '\0';
    if (NameIndex(word, DayNames, 7) < 0) return 0;
    SkipSpace(&c);
    Take(&c, ',');
    SkipSpace(&c);
  }
  int64_t day, year, hour, minute, second = 0;
  if (Digits(&c, &day) == 0) return 0;
  SkipSpace(&c);
  if (Word(&c, word) != 3) return 0;
  int month = NameIndex(word, MonthNames, 12) + 1;
  if (month == 0) return 0;
  SkipSpace(&c);
  uint32_t year_digits = Digits(&c, &year);
  if (year_digits < 2) return 0;
  // Two-digit years as RFC 5322 reads them: 00-49 are 2000-2049, 50-99
  // are 1950-1999; three digits count from 1900.
  if (year_digits == 2) year += year < 50 ? 2000 : 1900;
  else if (year_digits == 3) year += 1900;
  SkipSpace(&c);
  if (Digits(&c, &hour) == 0) return 0;
  SkipSpace(&c);
  if (!Take(&c, ':')) return 0;
  SkipSpace(&c);
  if (Digits(&c, &minute) == 0) return 0;
  SkipSpace(&c);
  if (Take(&c, ':')) {
    SkipSpace(&c);
    if (Digits(&c, &second) == 0) return 0;
    SkipSpace(&c);
  }
  int32_t zone = 0;
  if (c.at < c.end && (text[c.at] == '+' || text[c.at] == '-')) {
    bool west = text[c.at] == '-';
    c.at++;
    int64_t hhmm;
    if (Digits(&c, &hhmm) != 4 || hhmm % 100 > 59) return 0;
    zone = (int32_t)(hhmm / 100 * 60 + hhmm % 100) * (west ? -1 : 1);
  } else if (c.at < c.end && IsAlpha(text[c.at])) {
    Word(&c, word);
    zone = ZoneMinutes(word);
  }
  static const uint8_t month_days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1900 || year > 9999 || day < 1 || day > month_days[month - 1] || (month == 2 && day == 29 && !leap) ||
      hour > 23 || minute > 59 || second > 60)
    return 0;
  int64_t t = DaysFromCivil(year, (uint32_t)month, (uint32_t)day) * SecondsPerDay + hour * 3600 + minute * 60 +
              second - (int64_t)zone * 60;
  // Four-digit years only: asctime's 24 characters.
  if (t < DaysFromCivil(1900, 1, 1) * SecondsPerDay || t >= DaysFromCivil(10000, 1, 1) * SecondsPerDay) return 0;
  *seconds = t;
  return 1;
}

void FormatAsctime(int64_t seconds, char out[25]) {
  int64_t days = seconds / SecondsPerDay;
  int64_t rest = seconds % SecondsPerDay;
  if (rest < 0) {
    rest += SecondsPerDay;
    days -= 1;
  }
  int weekday = (int)(((days + 4) % 7 + 7) % 7);
  // The civil date of `days` (the inverse of DaysFromCivil).
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int day = (int)(doy - (153 * mp + 2) / 5 + 1);
  int month = (int)(mp < 10 ? mp + 3 : mp - 9);
  int64_t year = yoe + era * 400 + (month <= 2);
  snprintf(out, 25, "%.3s %.3s %2d %02d:%02d:%02d %04d", DayNames + 3 * weekday, MonthNames + 3 * (month - 1), day,
           (int)(rest / 3600), (int)(rest / 60 % 60), (int)(rest % 60), (int)year);
}

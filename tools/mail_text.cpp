// Texts of the mail style: messages as a mail client's folders hold them
// after years of use, with what an export has to cope with. Header sections
// in varying order with RFC 5322 dates in many zones; senders with and
// without a display name; subjects that are missing, empty, very long,
// folded, 8-bit or full of bytes no file name may carry; messages without a
// Date: (some with a dated Received: instead); bodies whose lines begin with
// "From ", ">From " or ">>From "; CR LF and LF line ends mixed within and
// across messages; and some last lines without a line end.
#include <cstdio>

#include "generator.h"

namespace {

template <typename T, size_t N>
constexpr uint32_t CountOf(T (&)[N]) {
  return (uint32_t)N;
}

const char* const Names[] = {"Jane Doe",     "Otto Berger",   "\"Doe, John\"",  "Li Wei",
                             "Ana Sousa",    "Mikko Virtanen", "\"O'Neil, Pat\"", "Grete Müller",
                             "Sam Carter",   "Ivo Novak"};
const char* const Users[] = {"jane", "otto.berger", "john.doe", "li.wei", "ana", "mikko",
                             "pat",  "grete",       "billing",  "noreply"};
const char* const Hosts[] = {"example.org", "example.net", "mail.example.com", "post.example.de",
                             "lists.example.org"};
// Numeric zones east and west, half-hour and odd ones, and the obsolete
// names a reader must still accept.
const char* const Zones[] = {"+0000", "+0100", "+0200", "-0500", "-0800", "+0530",
                             "+0900", "-0330", "+1245", "-0000", "GMT",   "EST"};
const char* const DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const SubjectWords[] = {"Invoice", "for",     "March",   "meeting", "minutes", "photos",
                                    "from",    "the",     "holiday", "budget",  "review",  "server",
                                    "backup",  "order",   "delivery", "party",  "agenda",  "draft"};
const char* const BodyWords[] = {"the",     "mail",   "meeting", "tomorrow", "report",   "please",
                                 "thanks",  "and",    "of",      "to",       "attached", "project",
                                 "garden",  "photos", "family",  "server",   "we",       "will",
                                 "see",     "you",    "at",      "noon",     "regards",  "order"};
// Bytes no file name should carry: the ones Windows refuses, and control bytes.
const char UnsafeBytes[] = {'/', '\\', ':', '*', '?', '"', '<', '>', '|', '\x01', '\x07', '\x1b', '\x7f', '\t'};

// How a message ends its lines.
enum LineEnds { EndsCrLf = 0, EndsLf, EndsMixed };

void EndLine(GenRng& rng, int ends, std::string& s) {
  bool crlf = ends == EndsCrLf || (ends == EndsMixed && rng.Below(2) == 0);
  s += crlf ? "\r\n" : "\n";
}

// Days since 1970-01-01 of a civil date, for the day of the week.
int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::string MakeDate(GenRng& rng) {
  static const int MonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int year = 1998 + (int)rng.Below(29);
  int month = 1 + (int)rng.Below(12);
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int day = 1 + (int)rng.Below((uint32_t)(MonthDays[month - 1] + (month == 2 && leap)));
  int weekday = (int)(((DaysFromCivil(year, month, day) % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  char text[64];
  // Day of the month with and without a leading zero, both as mail has them.
  snprintf(text, sizeof text, rng.Below(3) ? "%s, %02d %s %04d %02u:%02u:%02u %s" : "%s, %d %s %04d %02u:%02u:%02u %s",
           DayNames[weekday], day, MonthNames[month - 1], year, rng.Below(24), rng.Below(60), rng.Below(60),
           Zones[rng.Below(CountOf(Zones))]);
  return text;
}

std::string MakeAddress(GenRng& rng) {
  std::string a = Users[rng.Below(CountOf(Users))];
  a += '@';
  a += Hosts[rng.Below(CountOf(Hosts))];
  return a;
}

// "Name <addr>" or a bare address.
std::string MakeMailbox(GenRng& rng) {
  if (rng.Below(3) == 0) return MakeAddress(rng);
  std::string m = Names[rng.Below(CountOf(Names))];
  return m + " <" + MakeAddress(rng) + ">";
}

void AddWords(GenRng& rng, std::string& s, const char* const* words, uint32_t count, size_t until) {
  while (s.size() < until) {
    if (!s.empty() && s.back() != ' ') s += ' ';
    s += words[rng.Below(count)];
  }
}

// A subject's value, with its kind drawn; false when there is no Subject: at all.
bool MakeSubject(GenRng& rng, int ends, std::string* value) {
  uint32_t kind = rng.Below(100);
  std::string v;
  if (kind < 5) return false;
  if (kind < 10) {
    *value = "";  // "Subject:" and nothing after it
    return true;
  }
  if (kind < 16) {
    // Very long, folded onto continuation lines now and then.
    bool fold = rng.Below(2) == 0;
    size_t until = 200 + rng.Below(700);
    size_t line = 0;
    while (v.size() < until) {
      if (fold && v.size() - line > 70) {
        EndLine(rng, ends, v);
        v += ' ';
        line = v.size();
      } else if (!v.empty()) {
        v += ' ';
      }
      v += SubjectWords[rng.Below(CountOf(SubjectWords))];
    }
  } else if (kind < 32) {
    // Words with bytes a file name cannot take between and inside them.
    for (uint32_t k = 0, n = 2 + rng.Below(5); k < n; k++) {
      if (k) v += rng.Below(2) ? ' ' : UnsafeBytes[rng.Below(CountOf(UnsafeBytes))];
      v += SubjectWords[rng.Below(CountOf(SubjectWords))];
      if (rng.Below(3) == 0) v += UnsafeBytes[rng.Below(CountOf(UnsafeBytes))];
    }
  } else if (kind < 38) {
    // 8-bit text, raw or as an encoded word.
    v = rng.Below(2) ? "Grüße aus Köln – Fotos" : "=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?=";
  } else {
    uint32_t prefix = rng.Below(6);
    if (prefix == 0) v = "Re: ";
    if (prefix == 1) v = "Fwd: ";
    for (uint32_t k = 0, n = 2 + rng.Below(6); k < n; k++) {
      if (k) v += ' ';
      v += SubjectWords[rng.Below(CountOf(SubjectWords))];
    }
  }
  *value = v;
  return true;
}

std::string MakeReceived(GenRng& rng, int ends) {
  std::string r = "Received: from mx" + std::to_string(1 + rng.Below(9)) + "." + Hosts[rng.Below(CountOf(Hosts))];
  r += " (192.0.2." + std::to_string(1 + rng.Below(254)) + ")";
  EndLine(rng, ends, r);
  r += "\tby mail.example.net with ESMTP id " + std::to_string(rng.Next() % 1000000000);
  EndLine(rng, ends, r);
  r += "\tfor <you@example.net>; " + MakeDate(rng);
  return r;
}

// A body line: prose, a quoted reply, or a line that an mbox writer has to
// quote because it begins with "From ", or one quoted once or twice already.
void AddBodyLine(GenRng& rng, int ends, std::string& s) {
  uint32_t kind = rng.Below(20);
  std::string line;
  if (kind == 0) line = "From ";
  if (kind == 1) line = ">From ";
  if (kind == 2) line = ">>From ";
  if (kind == 3 || kind == 4) line = "> ";
  if (kind == 5) {
    EndLine(rng, ends, s);  // a paragraph break
    return;
  }
  AddWords(rng, line, BodyWords, CountOf(BodyWords), line.size() + 30 + rng.Below(45));
  s += line;
  EndLine(rng, ends, s);
}

}  // namespace

std::string MakeMailText(GenRng& rng, uint32_t length, bool nul, bool long_line, GenLineEnds forced) {
  uint32_t pick = rng.Below(10);
  int ends = pick < 5 ? EndsCrLf : pick < 8 ? EndsLf : EndsMixed;
  if (forced != GenEndsDrawn) ends = forced == GenEndsCrLf ? EndsCrLf : EndsLf;
  std::string s;
  std::string subject;
  bool has_subject = MakeSubject(rng, ends, &subject);
  if (long_line) {
    // The first line is a subject too long for a list entry.
    s = "Subject: ";
    AddWords(rng, s, SubjectWords, CountOf(SubjectWords), 2100 + rng.Below(1000));
    EndLine(rng, ends, s);
    has_subject = false;
  }
  if (rng.Below(5) == 0) {
    s += "Return-Path: <" + MakeAddress(rng) + ">";
    EndLine(rng, ends, s);
  }
  bool has_date = rng.Below(8) != 0;
  if ((has_date && rng.Below(4) == 0) || (!has_date && rng.Below(2) == 0)) {
    s += MakeReceived(rng, ends);
    EndLine(rng, ends, s);
  }
  std::string fields[5];
  uint32_t n = 0;
  if (has_date) fields[n++] = "Date: " + MakeDate(rng);
  fields[n++] = "From: " + MakeMailbox(rng);
  std::string to = "To: " + MakeMailbox(rng);
  if (rng.Below(4) == 0) to += ", " + MakeMailbox(rng);
  fields[n++] = to;
  if (has_subject) fields[n++] = subject.empty() ? "Subject:" : "Subject: " + subject;
  char id[80];
  snprintf(id, sizeof id, "Message-ID: <%016llx.%u@%s>", (unsigned long long)rng.Next(), rng.Below(100000),
           Hosts[rng.Below(CountOf(Hosts))]);
  fields[n++] = id;
  // Clients write the fields in their own order: rotate them.
  uint32_t first = rng.Below(n);
  for (uint32_t k = 0; k < n; k++) {
    s += fields[(first + k) % n];
    EndLine(rng, ends, s);
  }
  s += "MIME-Version: 1.0";
  EndLine(rng, ends, s);
  s += rng.Below(3) ? "Content-Type: text/plain; charset=utf-8" : "Content-Type: text/plain; charset=iso-8859-1";
  EndLine(rng, ends, s);
  EndLine(rng, ends, s);
  if (nul) {
    size_t end = s.find_first_of("\r\n");
    s.insert(end > 9 ? 9 + rng.Below((uint32_t)(end - 9)) : 0, 1, '\0');
  }
  while (s.size() < length) AddBodyLine(rng, ends, s);
  s.resize(length);
  // Most messages end with a line end; the rest stop in the middle of a line.
  if (length >= 2 && rng.Below(10) < 7) {
    bool crlf = ends == EndsCrLf || (ends == EndsMixed && rng.Below(2) == 0);
    if (crlf) s[length - 2] = '\r';
    s[length - 1] = '\n';
  }
  return s;
}

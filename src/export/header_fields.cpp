// What a message's header section tells the export: the sender and date of
// its mbox From line, the date of its .eml file, the subject in its name
// (decoded and folded to ASCII by FoldSubject first).
// Fields are matched case-insensitively, folded ones unfolded; the first
// occurrence of a field counts. Nothing here trusts the bytes: a damaged
// message gives a sender, a date or a slug that is merely absent.
#include <cstring>

#include "export/export.h"

namespace {

// Longest unfolded value looked at: dates and addresses are far shorter;
// a subject only needs enough for its slug.
constexpr uint32_t ValueLimit = 1024;
constexpr uint32_t SubjectLimit = 4096;

bool IsWsp(uint8_t c) { return c == ' ' || c == '\t'; }
uint8_t Lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? (uint8_t)(c - 'A' + 'a') : c; }

// The end of the line that begins at `line` (its LF, or n).
uint32_t LineEnd(const uint8_t* s, uint32_t n, uint32_t line) {
  const uint8_t* lf = (const uint8_t*)memchr(s + line, '\n', n - line);
  return lf ? (uint32_t)(lf - s) : n;
}

// True when the line line[0..n) is the field `name` (lower case): the name,
// optional white space (the obsolete form), a colon. *colon: its position.
bool IsField(const uint8_t* line, uint32_t n, const char* name, uint32_t* colon) {
  uint32_t k = 0;
  for (; name[k]; k++)
    if (k >= n || Lower(line[k]) != (uint8_t)name[k]) return false;
  while (k < n && IsWsp(line[k])) k++;
  if (k >= n || line[k] != ':') return false;
  *colon = k;
  return true;
}

// The raw value of the first field `name`: from after its colon to the end
// of its last continuation line. Returns 1 found, 0 absent.
int FindField(const uint8_t* s, uint32_t n, const char* name, uint32_t* from, uint32_t* to) {
  uint32_t line = 0;
  while (line < n) {
    uint32_t end = LineEnd(s, n, line);
    uint32_t content_end = end > line && s[end - 1] == '\r' ? end - 1 : end;
    if (content_end == line) return 0;  // the empty line: the section is over
    uint32_t colon;
    if (!IsWsp(s[line]) && IsField(s + line, content_end - line, name, &colon)) {
      *from = line + colon + 1;
      *to = end;
      // Continuation lines begin with white space.
      while (end < n && end + 1 < n && IsWsp(s[end + 1])) {
        end = LineEnd(s, n, end + 1);
        *to = end;
      }
      return 1;
    }
    line = end + 1;
  }
  return 0;
}

// Copies the raw value s[from..to) without its line ends (unfolding) and
// without leading and trailing white space. Returns the length.
uint32_t Unfold(const uint8_t* s, uint32_t from, uint32_t to, char* out, uint32_t cap) {
  uint32_t k = 0;
  for (uint32_t i = from; i < to && k < cap; i++) {
    uint8_t c = s[i];
    if (c == '\n' || (c == '\r' && i + 1 < to && s[i + 1] == '\n') || (c == '\r' && i + 1 == to)) continue;
    if (k == 0 && IsWsp(c)) continue;
    out[k++] = (char)c;
  }
  while (k > 0 && IsWsp((uint8_t)out[k - 1])) k--;
  return k;
}

// The first address of an address field: inside <...> when there is one,
// else the text without comments; quoted strings and comments never hold
// the "<" or the "," looked for. Spaces and control bytes are dropped (an
// mbox From line is split at spaces). Returns the length, 0 for none.
uint32_t FirstAddress(const char* v, uint32_t n, char* out) {
  uint32_t k = 0;
  int depth = 0;
  bool quoted = false, angle = false;
  for (uint32_t i = 0; i < n; i++) {
    char c = v[i];
    bool keep = true;
    if (depth > 0) {
      if (c == '\\') i++;
      else if (c == '(') depth++;
      else if (c == ')') depth--;
      continue;
    }
    if (quoted) {
      if (c == '\\' && i + 1 < n) {
        if (k < SenderLimit) out[k++] = c;
        c = v[++i];
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '(') {
      depth = 1;
      continue;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '<' && !angle) {
      // The display name before it was no address.
      angle = true;
      k = 0;
      keep = false;
    } else if (c == '>' && angle) {
      break;
    } else if (c == ',' && !angle) {
      break;
    }
    if (keep && (uint8_t)c > 0x20 && (uint8_t)c != 0x7F && k < SenderLimit) out[k++] = c;
  }
  return k;
}

// The sender from the field `name`: 1 found (in fields->sender), else 0.
int SenderFrom(const uint8_t* s, uint32_t n, const char* name, MessageFields* fields) {
  uint32_t from, to;
  if (!FindField(s, n, name, &from, &to)) return 0;
  char value[ValueLimit];
  uint32_t length = Unfold(s, from, to, value, ValueLimit);
  uint32_t k = FirstAddress(value, length, fields->sender);
  fields->sender[k] = '\0';
  return k > 0;
}

int DateFrom(const uint8_t* s, uint32_t n, const char* name, MessageFields* fields) {
  uint32_t from, to;
  if (!FindField(s, n, name, &from, &to)) return 0;
  // A Received: field's date follows its last ";".
  if (name[0] == 'r')
    for (uint32_t i = to; i > from; i--)
      if (s[i - 1] == ';') {
        from = i;
        break;
      }
  char value[ValueLimit];
  uint32_t length = Unfold(s, from, to, value, ValueLimit);
  return ParseMailDate(value, length, &fields->date);
}

bool IsSlugByte(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_';
}

// True when slug[0..n), up to its first dot, is a name Windows keeps for a
// device: CON PRN AUX NUL COM1-9 LPT1-9, in any case.
bool IsDeviceName(const char* slug, uint32_t n, uint32_t* stem) {
  uint32_t k = 0;
  while (k < n && slug[k] != '.') k++;
  *stem = k;
  char w[5] = {0, 0, 0, 0, 0};
  if (k < 3 || k > 4) return false;
  for (uint32_t i = 0; i < k; i++) w[i] = (char)Lower((uint8_t)slug[i]);
  if (k == 3) return !strcmp(w, "con") || !strcmp(w, "prn") || !strcmp(w, "aux") || !strcmp(w, "nul");
  return (!strncmp(w, "com", 3) || !strncmp(w, "lpt", 3)) && w[3] >= '1' && w[3] <= '9';
}

}  // namespace

void MakeSlug(const uint8_t* subject, uint32_t n, char* slug) {
  uint32_t k = 0;
  bool run = false, named = false;
  for (uint32_t i = 0; i < n && k < SlugLimit; i++) {
    uint8_t c = subject[i];
    if (IsSlugByte(c)) {
      slug[k++] = (char)c;
      run = false;
      if (c != '.' && c != '_' && c != '-') named = true;
    } else if (!run) {
      slug[k++] = '_';
      run = true;
    }
  }
  while (k > 0 && slug[k - 1] == '.') k--;
  // Only dots and underscores say nothing.
  if (!named) k = 0;
  uint32_t stem;
  if (IsDeviceName(slug, k, &stem)) {
    if (k == SlugLimit) k--;
    memmove(slug + stem + 1, slug + stem, k - stem);
    slug[stem] = '_';
    k++;
    while (slug[k - 1] == '.') k--;
  }
  slug[k] = '\0';
}

void ReadHeaderFields(const uint8_t* s, uint32_t n, MessageFields* fields) {
  if (!SenderFrom(s, n, "return-path", fields) && !SenderFrom(s, n, "from", fields))
    strcpy(fields->sender, "MAILER-DAEMON");
  fields->dated = DateFrom(s, n, "date", fields) || DateFrom(s, n, "received", fields);
  fields->slug[0] = '\0';
  uint32_t from, to;
  if (FindField(s, n, "subject", &from, &to)) {
    static char subject[SubjectLimit];
    static char folded[SubjectLimit];
    uint32_t length = Unfold(s, from, to, subject, SubjectLimit);
    length = FoldSubject((const uint8_t*)subject, length, folded, SubjectLimit);
    MakeSlug((const uint8_t*)folded, length, fields->slug);
  }
}

// The export's line transforms over arbitrary text handed in arbitrary
// pieces, checked against the rules stated plainly. Shared by the transform
// fuzzer and the unit test that replays its regression inputs.
//
// mbox (mboxrd): CR LF becomes LF, a lone CR stays; a line that matches
// ^>*From  gets one more ">"; a final line end is added where the text has
// none, then an empty line. Unquoting the result and taking the separator
// off gives the text with LF line ends back.
// .eml: every LF without a CR before it gets one; nothing else changes, so
// the file with CR LF turned into LF is the text with CR LF turned into LF.
//
// Input: byte 0 bit 0 picks the format (0 mbox, 1 .eml), bits 1..3 give a
// count k of piece lengths in bytes 1..k (0: the rest of the text); the
// text follows. The text goes to the format in pieces of those lengths in
// turn.
#pragma once
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/run_state.h"
#include "export/export.h"
#include "test_platform.h"

namespace transformcheck {

// Every CR LF as LF, left to right (CR CR LF gives CR LF).
inline std::string WithLf(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

// The text's lines (the last one may lack its LF), each with its LF.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t lf = text.find('\n', at);
    size_t end = lf == std::string::npos ? text.size() : lf + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

// Matches ^>*From  (with at least `least` ">").
inline bool IsFromLine(const std::string& line, size_t least) {
  size_t k = 0;
  while (k < line.size() && line[k] == '>') k++;
  return k >= least && line.compare(k, 5, "From ") == 0;
}

inline std::string MboxReference(const std::string& text, bool* line_end_added) {
  std::string lf = WithLf(text), out;
  for (const std::string& line : Lines(lf)) out += (IsFromLine(line, 0) ? ">" : "") + line;
  *line_end_added = lf.empty() || lf.back() != '\n';
  return out + (*line_end_added ? "\n\n" : "\n");
}

inline std::string EmlReference(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

// The message's text through one format of the table, in pieces, as the
// only message of a run. Returns the bytes it wrote for the message.
inline std::string Transform(bool eml, const std::string& text, const std::vector<uint32_t>& lengths,
                             bool* line_end_added) {
  MemReset();
  RunState.SourcePath = "source.tbb";
  Counts = ExportCounts();
  const char* option = eml ? "--eml" : "--mbox";
  const FormatOps* format = nullptr;
  for (int k = 0; ExportFormats[k]; k++)
    if (strcmp(ExportFormats[k]->option, option) == 0) format = ExportFormats[k];
  if (!format) return std::string("(no format ") + option + ")";
  ExportSettings.Output = eml ? "eml" : "out.mbox";
  MessageFields fields;
  memset(&fields, 0, sizeof fields);
  strcpy(fields.sender, "pat@example.org");
  uint8_t header[48] = {};
  if (format->Prepare() != 1 || format->Begin(0, 1, header, fields) != 1) return "(output not opened)";
  size_t at = 0, k = 0;
  while (at < text.size()) {
    uint32_t n = lengths.empty() || lengths[k % lengths.size()] == 0 ? (uint32_t)(text.size() - at)
                                                                     : lengths[k % lengths.size()];
    n = (uint32_t)std::min<size_t>(n, text.size() - at);
    // An exact copy of the piece: a read past its end is caught.
    std::vector<uint8_t> piece(text.begin() + at, text.begin() + at + n);
    format->Text(piece.data(), n);
    at += n;
    k++;
  }
  format->End(fields, 0);
  if (format->Close() != 1 || Counts.exported != 1) return "(the message did not reach the disk)";
  *line_end_added = Counts.line_end_added != 0;
  if (eml) return MemGetText("eml/00001-0.eml");
  std::string out = MemGetText("out.mbox");
  std::string from = "From pat@example.org Thu Jan  1 00:00:00 1970\n";
  if (out.compare(0, from.size(), from) != 0) return "(no From line: " + out.substr(0, 80) + ")";
  return out.substr(from.size());
}

inline std::string Shown(const std::string& s) {
  std::string out;
  for (char c : s.substr(0, 200)) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if ((uint8_t)c < 0x20 || (uint8_t)c >= 0x7F) out += '.';
    else out += c;
  }
  return out + (s.size() > 200 ? "..." : "");
}

inline std::string CheckTransformInput(const uint8_t* data, size_t size) {
  if (size == 0) return "";
  bool eml = data[0] & 1;
  size_t count = std::min<size_t>((data[0] >> 1) & 7, size - 1);
  std::vector<uint32_t> lengths(data + 1, data + 1 + count);
  std::string text((const char*)data + 1 + count, size - 1 - count);
  bool added = false;
  std::string got = Transform(eml, text, lengths, &added);
  if (eml) {
    std::string want = EmlReference(text);
    if (got != want) return ".eml transform of " + Shown(text) + " gives " + Shown(got) + ", not " + Shown(want) + "\n";
    if (WithLf(got) != WithLf(text)) return ".eml transform of " + Shown(text) + " does not read back\n";
    if (added) return ".eml transform says it added a line end\n";
    return "";
  }
  bool want_added = false;
  std::string want = MboxReference(text, &want_added);
  if (got != want) return "mbox transform of " + Shown(text) + " gives " + Shown(got) + ", not " + Shown(want) + "\n";
  if (added != want_added) return "mbox transform: line end added " + std::to_string(added) + "\n";
  // Read back: the separator's empty line off, the added line end off,
  // one ">" off every quoted line.
  std::string body = got.substr(0, got.size() - (added ? 2 : 1)), back;
  for (const std::string& line : Lines(body)) back += IsFromLine(line, 1) ? line.substr(1) : line;
  if (back != WithLf(text)) return "mbox transform of " + Shown(text) + " does not read back: " + Shown(back) + "\n";
  return "";
}

}  // namespace transformcheck

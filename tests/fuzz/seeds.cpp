// Writes the fuzzers' seed inputs: generated message bases with each kind of
// damage under several option sets (run target), command lines of both
// syntaxes (command-line target), and mail dates, header sections and
// texts (the export's targets). Usage: fuzz-seeds CORPUS (each target's seeds go to
// CORPUS/<target>/, which must exist).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "generator.h"
#include "run_check.h"

namespace {

void Put(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string corpus = argv[1], run_dir = corpus + "/run", cli_dir = corpus + "/cli";
  const unsigned option_sets[] = {0,
                                  runcheck::IncludeDeleted,
                                  runcheck::WithLog | runcheck::DdStyle,
                                  runcheck::WithMax | runcheck::WithStart,
                                  runcheck::WithSeek | runcheck::OddSeek | runcheck::IncludeDeleted,
                                  runcheck::WithLog | runcheck::WithMax,
                                  runcheck::ReadFails | runcheck::WithLog};
  for (uint64_t seed = 1; seed <= 24; seed++) {
    GenOptions g;
    g.seed = seed;
    g.messages = 3 + seed % 9;
    g.max_text = seed % 3 == 0 ? 300 : 1200;
    g.leading_bytes = seed % 4 == 1 ? 37 : 0;
    g.style = seed % 5 == 0 ? GenBang : GenPlain;
    g.deleted_pct = 20;
    g.wrong_pct = 30;
    g.negative_pct = seed % 2 ? 10 : 0;
    g.garbage_pct = 20;
    g.nul_pct = 15;
    g.long_pct = seed % 6 == 0 ? 30 : 0;
    g.decoy_pct = 40;
    g.truncate_tail = seed % 7 == 0 ? 30 : 0;
    std::vector<uint8_t> base = GenerateBase(g, nullptr);
    unsigned bits = option_sets[seed % 7];
    // Leading zeros put the base across the first or second pass boundary.
    uint32_t pad = seed % 3 == 0 ? 0 : 65536 - 61 - 150 * (uint32_t)(seed % 7);
    std::vector<uint8_t> in = {(uint8_t)bits, (uint8_t)(seed % 3), 3, (uint8_t)(seed % 4),
                               (uint8_t)pad, (uint8_t)(pad >> 8)};
    in.insert(in.end(), base.begin(), base.end());
    Put(run_dir + "/gen" + std::to_string(seed), in);
  }
#define LINE(text) std::string(text, sizeof text - 1)
  const std::string lines[] = {
      LINE("\0src\0dst"), LINE("\0-l\0src"), LINE("\0if=src\0of=dst\0seek=4k"), LINE("\0-o\0 10M\0a\0b"),
      LINE("\0-ob\0003\0a\0b"), LINE("\0-d+\0-M\0-5\0-m\0002\0-L\0log\0a\0b"),
      LINE("\0seek=9223372036854775807\0a\0b"), LINE("\0-ld+\0-x\0a"), LINE("\1prog \"my file.tbb\" out.tbb"),
      LINE("\1a\"b c\"d \"\" \t\r\nx\""), LINE("\0log=\0of=\0if=\0-?")};
  int k = 0;
  for (const std::string& line : lines)
    Put(cli_dir + "/line" + std::to_string(k++), std::vector<uint8_t>(line.begin(), line.end()));
  // Header sections of generated mail, their dates, and subjects the
  // generator does not write.
  const std::string dates[] = {"Mon,\r\n 7 Feb 1994\r\n\t21:52:25 (comment) -0800 (PST)", "1 Jan 60 00:30 EST",
                               "Fri, 31 Dec 49 23:30:00 -0130", "31 Dec 9999 23:59:60 -1200", "Thursday, 1 Jan 1900 0:0"};
  const std::string subjects[] = {"=?UTF-8?B?R3LD?=\r\n =?UTF-8?B?vMOfZQ==?= aus =?iso-8859-1?q?K=F6ln?=",
                                  "=?windows-1250?q?=8Alapa?= =?koi8-r?B?8NLJ18XU?= Gru\xCC\x88\xC3\x9F" "e \x96 CON"};
  auto put_text = [](const std::string& path, const std::string& text) {
    Put(path, std::vector<uint8_t>(text.begin(), text.end()));
  };
  for (k = 0; k < 5; k++) put_text(corpus + "/date/given" + std::to_string(k), dates[k]);
  for (k = 0; k < 2; k++) put_text(corpus + "/fields/given" + std::to_string(k), "Subject: " + subjects[k] + "\n");
  put_text(corpus + "/transform/given0", "\x04\x01\x03>>From x\r\nFrom\rFrom \r\r\n>From\r");
  for (uint64_t seed = 1; seed <= 16; seed++) {
    GenRng rng{seed};
    std::string text = MakeMailText(rng, 3000, false, false);
    size_t end = text.find("\n\n");
    size_t crlf_end = text.find("\r\n\r\n");
    put_text(corpus + "/fields/gen" + std::to_string(seed), text.substr(0, std::min(end, crlf_end)));
    // The whole text as a transform input: mbox or .eml, in pieces of one
    // to three lengths.
    std::string pieces = {(char)(seed % 2 | (seed % 4) << 1), (char)(seed * 7), (char)(seed * 13 + 1), 0};
    put_text(corpus + "/transform/gen" + std::to_string(seed), pieces.substr(0, 1 + seed % 4) + text);
    size_t date = text.find("\nDate:");
    if (date != std::string::npos)
      put_text(corpus + "/date/gen" + std::to_string(seed), text.substr(date + 6, text.find('\n', date + 1) - date - 6));
  }
  return 0;
}

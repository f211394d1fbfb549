// What a message's Subject: gives its .eml name: encoded words decoded,
// 8-bit bytes read as UTF-8 or else Windows-1252, letters folded to ASCII.
#include <gtest/gtest.h>

#include <string>

#include "export/export.h"

namespace {

TEST(ExportNames, SubjectsBecomeReadableAscii) {
  struct {
    const char* subject;  // the field's value, folded lines and all
    const char* slug;
  } cases[] = {
      {"Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln", "Grusse_aus_Koln"},      // raw UTF-8
      {"Gr\xFC\xDF" "e aus K\xF6ln \x96 Fotos", "Grusse_aus_Koln_Fotos"},  // raw Windows-1252
      {"Gr\xC3\xBC\xC3\x9F" "e K\xF6ln caf\xC3", "Grusse_Koln_cafA"},      // mixed, a cut sequence
      {"Sm\xED\xA0\x80rf \xC0\xAF x", "Smi_rf_A_x"},                        // surrogate, overlong
      {"Gru\xCC\x88\xC3\x9F" "e \xF0\x9F\x8E\x89 \xC3\x86" "ble \xC5\x92uvre \xC3\x9Eing", "Grusse_AEble_OEuvre_THing"},
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", ""},
      {"=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?=", "Grusse_aus_Koln"},
      {"Re: =?utf-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=", "Re_Grusse_aus_Koln"},
      {"=?ISO-8859-1?Q?Gr=FC=DFe?= =?iso-8859-15?q?=A6koda_=BDuvre?=", "GrusseSkoda_oeuvre"},
      {"=?windows-1252?Q?=8Aibenik_=96_=93Zagreb=94?=", "Sibenik_Zagreb_"},
      {"=?ISO-8859-2?Q?=A3=F3d=BC?= =?windows-1250?q?=8Alapa_=9Fr=E1de?=", "LodzSlapa_zrade"},
      {"=?iso-8859-9?q?=DEi=FEli?= =?utf-8*de?q?K=C3=B6ln?=", "SisliKoln"},
      // A character split across two words; white space between words goes,
      // between a word and text it stays.
      {"=?UTF-8?B?R3LD?=\r\n =?UTF-8?B?vMOfZQ==?= aus\r\n\t=?iso-8859-1?q?K=F6ln?=", "Grusse_aus_Koln"},
      {"=?koi8-r?B?8NLJ18XU?= 2024", "_2024"},
      {"=?utf-8?x?abc?= =?utf-8?q?a b?= =?utf-8?q?a=ZZb=4?=", "_utf-8_x_abc_utf-8_q_a_b_a_ZZb_4"},
      {"C\xC3\xB6n", "Con_"},
      {"=?utf-8?q?=C3=A9t=C3=A9?=" "=?utf-8?q?\?=" "=?us-ascii?q?x?=", "etex"},
  };
  for (const auto& c : cases) {
    std::string section = std::string("From: a@b\r\nSubject: ") + c.subject + "\r\n\r\n";
    MessageFields fields;
    ReadHeaderFields((const uint8_t*)section.data(), (uint32_t)section.size(), &fields);
    EXPECT_STREQ(c.slug, fields.slug) << c.subject;
  }
}

}  // namespace

#include "qmHttpResponseText.h"

#include <algorithm>
#include <cwctype>

namespace korvanet {
namespace {

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return text;
}

std::wstring Trim(const std::wstring& text) {
  const wchar_t* blanks = L" \t\"'";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::wstring::npos) return std::wstring();
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// The value of the Content-Type's parameter named charset (in any case,
// blanks around the name and the "=" allowed), or empty. Parameters follow
// the type, separated by semicolons; a quoted value may hold both.
std::wstring CharsetParameter(const std::wstring& contentType) {
  size_t at = contentType.find(L';');
  while (at != std::wstring::npos) {
    size_t equals = contentType.find(L'=', at + 1);
    if (equals == std::wstring::npos) return std::wstring();
    const std::wstring name = Lower(Trim(contentType.substr(at + 1, equals - at - 1)));
    size_t end = equals + 1;
    while (end < contentType.size() && (contentType[end] == L' ' || contentType[end] == L'\t')) ++end;
    if (end < contentType.size() && contentType[end] == L'"') {
      end = contentType.find(L'"', end + 1);
      if (end != std::wstring::npos) ++end;
    }
    end = end == std::wstring::npos ? std::wstring::npos : contentType.find(L';', end);
    if (name == L"charset")
      return contentType.substr(equals + 1, end == std::wstring::npos ? std::wstring::npos : end - equals - 1);
    at = end;
  }
  return std::wstring();
}

// The code pages in which every byte below 0x80 is the ASCII character by
// itself (never part of a longer sequence): a widened ASCII start of a body
// holds for them.
bool ReadsAsciiAsIs(UINT codePage) {
  return codePage == 0 || codePage == CP_UTF8 || codePage == CP_ACP || codePage == 1252;
}

// One pass: every code page yields at most one UTF-16 unit per byte. text
// holds the widening of the first `done` bytes already (ASCII, in a code
// page that reads it as is). Returns false when strict is set and the bytes
// are not valid; the widened ASCII start then stays in text.
bool ToWide(const char* bytes, size_t size, UINT codePage, bool strict, std::wstring& text, size_t done) {
  text.resize(size);
  if (size == 0) return true;
  // Plain ASCII reads the same in UTF-8 and the ANSI code pages: widened
  // directly in one pass, several times faster than the general conversion,
  // which takes over at the first other byte.
  size_t i = 0;
  if (ReadsAsciiAsIs(codePage)) {
    for (i = done; i < size; ++i) {
      const unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (c & 0x80) break;
      text[i] = static_cast<wchar_t>(c);
    }
    if (i == size) return true;
  }
  int n = MultiByteToWideChar(codePage, strict ? MB_ERR_INVALID_CHARS : 0, bytes + i, static_cast<int>(size - i),
                              text.data() + i, static_cast<int>(size - i));
  text.resize(i + (n > 0 ? static_cast<size_t>(n) : 0));
  return n > 0;
}

}  // namespace

bool qmAsciiStartHolds(const std::wstring& contentType) {
  return ReadsAsciiAsIs(qmCodePageOfCharset(CharsetParameter(contentType)));
}

namespace {

// The charset labels web browsers accept, each
// with the Windows code page of their encoding, sorted by label. Labels of
// encodings Windows has no code page for (ISO-8859-10, -14, -16,
// x-user-defined, the replacement encoding) are missing: they keep the
// fallback of an unknown label.
struct qmCharsetLabel {
  const wchar_t* label;
  UINT codePage;
};
constexpr qmCharsetLabel kCharsetLabels[] = {
    {L"866", 866}, {L"ansi_x3.4-1968", 1252}, {L"arabic", 28596},
    {L"ascii", 1252}, {L"asmo-708", 28596}, {L"big5", 950},
    {L"big5-hkscs", 950}, {L"chinese", 936}, {L"cn-big5", 950},
    {L"cp1250", 1250}, {L"cp1251", 1251}, {L"cp1252", 1252},
    {L"cp1253", 1253}, {L"cp1254", 1254}, {L"cp1255", 1255},
    {L"cp1256", 1256}, {L"cp1257", 1257}, {L"cp1258", 1258},
    {L"cp819", 1252}, {L"cp866", 866}, {L"csbig5", 950},
    {L"cseuckr", 949}, {L"cseucpkdfmtjapanese", 20932}, {L"csgb2312", 936},
    {L"csibm866", 866}, {L"csiso2022jp", 50220}, {L"csiso58gb231280", 936},
    {L"csiso88596e", 28596}, {L"csiso88596i", 28596}, {L"csiso88598e", 28598},
    {L"csiso88598i", 38598}, {L"csisolatin1", 1252}, {L"csisolatin2", 28592},
    {L"csisolatin3", 28593}, {L"csisolatin4", 28594}, {L"csisolatin5", 1254},
    {L"csisolatin9", 28605}, {L"csisolatinarabic", 28596}, {L"csisolatincyrillic", 28595},
    {L"csisolatingreek", 28597}, {L"csisolatinhebrew", 28598}, {L"cskoi8r", 20866},
    {L"csksc56011987", 949}, {L"csmacintosh", 10000}, {L"csshiftjis", 932},
    {L"csunicode", 1200}, {L"cyrillic", 28595}, {L"dos-874", 874},
    {L"ecma-114", 28596}, {L"ecma-118", 28597}, {L"elot_928", 28597},
    {L"euc-jp", 20932}, {L"euc-kr", 949}, {L"gb18030", 54936},
    {L"gb2312", 936}, {L"gb_2312", 936}, {L"gb_2312-80", 936},
    {L"gbk", 936}, {L"greek", 28597}, {L"greek8", 28597},
    {L"hebrew", 28598}, {L"ibm819", 1252}, {L"ibm866", 866},
    {L"iso-10646-ucs-2", 1200}, {L"iso-2022-jp", 50220}, {L"iso-8859-1", 1252},
    {L"iso-8859-11", 874}, {L"iso-8859-13", 28603}, {L"iso-8859-15", 28605},
    {L"iso-8859-2", 28592}, {L"iso-8859-3", 28593}, {L"iso-8859-4", 28594},
    {L"iso-8859-5", 28595}, {L"iso-8859-6", 28596}, {L"iso-8859-6-e", 28596},
    {L"iso-8859-6-i", 28596}, {L"iso-8859-7", 28597}, {L"iso-8859-8", 28598},
    {L"iso-8859-8-e", 28598}, {L"iso-8859-8-i", 38598}, {L"iso-8859-9", 1254},
    {L"iso-ir-100", 1252}, {L"iso-ir-101", 28592}, {L"iso-ir-109", 28593},
    {L"iso-ir-110", 28594}, {L"iso-ir-126", 28597}, {L"iso-ir-127", 28596},
    {L"iso-ir-138", 28598}, {L"iso-ir-144", 28595}, {L"iso-ir-148", 1254},
    {L"iso-ir-149", 949}, {L"iso-ir-58", 936}, {L"iso8859-1", 1252},
    {L"iso8859-11", 874}, {L"iso8859-13", 28603}, {L"iso8859-15", 28605},
    {L"iso8859-2", 28592}, {L"iso8859-3", 28593}, {L"iso8859-4", 28594},
    {L"iso8859-5", 28595}, {L"iso8859-6", 28596}, {L"iso8859-7", 28597},
    {L"iso8859-8", 28598}, {L"iso8859-9", 1254}, {L"iso88591", 1252},
    {L"iso885911", 874}, {L"iso885913", 28603}, {L"iso885915", 28605},
    {L"iso88592", 28592}, {L"iso88593", 28593}, {L"iso88594", 28594},
    {L"iso88595", 28595}, {L"iso88596", 28596}, {L"iso88597", 28597},
    {L"iso88598", 28598}, {L"iso88599", 1254}, {L"iso_8859-1", 1252},
    {L"iso_8859-15", 28605}, {L"iso_8859-1:1987", 1252}, {L"iso_8859-2", 28592},
    {L"iso_8859-2:1987", 28592}, {L"iso_8859-3", 28593}, {L"iso_8859-3:1988", 28593},
    {L"iso_8859-4", 28594}, {L"iso_8859-4:1988", 28594}, {L"iso_8859-5", 28595},
    {L"iso_8859-5:1988", 28595}, {L"iso_8859-6", 28596}, {L"iso_8859-6:1987", 28596},
    {L"iso_8859-7", 28597}, {L"iso_8859-7:1987", 28597}, {L"iso_8859-8", 28598},
    {L"iso_8859-8:1988", 28598}, {L"iso_8859-9", 1254}, {L"iso_8859-9:1989", 1254},
    {L"koi", 20866}, {L"koi8", 20866}, {L"koi8-r", 20866},
    {L"koi8-ru", 21866}, {L"koi8-u", 21866}, {L"koi8_r", 20866},
    {L"korean", 949}, {L"ks_c_5601-1987", 949}, {L"ks_c_5601-1989", 949},
    {L"ksc5601", 949}, {L"ksc_5601", 949}, {L"l1", 1252},
    {L"l2", 28592}, {L"l3", 28593}, {L"l4", 28594},
    {L"l5", 1254}, {L"l9", 28605}, {L"latin1", 1252},
    {L"latin2", 28592}, {L"latin3", 28593}, {L"latin4", 28594},
    {L"latin5", 1254}, {L"logical", 38598}, {L"mac", 10000},
    {L"macintosh", 10000}, {L"ms932", 932}, {L"ms_kanji", 932},
    {L"shift-jis", 932}, {L"shift_jis", 932}, {L"sjis", 932},
    {L"sun_eu_greek", 28597}, {L"tis-620", 874}, {L"ucs-2", 1200},
    {L"unicode", 1200}, {L"unicode-1-1-utf-8", CP_UTF8}, {L"unicode11utf8", CP_UTF8},
    {L"unicode20utf8", CP_UTF8}, {L"unicodefeff", 1200}, {L"unicodefffe", 1201},
    {L"us-ascii", 1252}, {L"utf-16", 1200}, {L"utf-16be", 1201},
    {L"utf-16le", 1200}, {L"utf-8", CP_UTF8}, {L"utf8", CP_UTF8},
    {L"visual", 28598}, {L"windows-1250", 1250}, {L"windows-1251", 1251},
    {L"windows-1252", 1252}, {L"windows-1253", 1253}, {L"windows-1254", 1254},
    {L"windows-1255", 1255}, {L"windows-1256", 1256}, {L"windows-1257", 1257},
    {L"windows-1258", 1258}, {L"windows-31j", 932}, {L"windows-874", 874},
    {L"windows-949", 949}, {L"x-cp1250", 1250}, {L"x-cp1251", 1251},
    {L"x-cp1252", 1252}, {L"x-cp1253", 1253}, {L"x-cp1254", 1254},
    {L"x-cp1255", 1255}, {L"x-cp1256", 1256}, {L"x-cp1257", 1257},
    {L"x-cp1258", 1258}, {L"x-euc-jp", 20932}, {L"x-gbk", 936},
    {L"x-mac-cyrillic", 10007}, {L"x-mac-roman", 10000}, {L"x-mac-ukrainian", 10007},
    {L"x-sjis", 932}, {L"x-unicode20utf8", CP_UTF8}, {L"x-x-big5", 950},
};

// Where the system lacks the exact code page, the nearest one it has.
UINT Available(UINT codePage) {
  if (codePage == CP_UTF8 || codePage == 1200 || codePage == 1201 || IsValidCodePage(codePage)) return codePage;
  if (codePage == 38598) return 28598;  // logical and visual Hebrew differ only in display order
  if (codePage == 20932 && IsValidCodePage(51932)) return 51932;
  if (codePage == 54936) return 936;  // GBK: gb18030 without its four-byte sequences
  return 0;
}

}  // namespace

UINT qmCodePageOfCharset(const std::wstring& charset) {
  const std::wstring name = Lower(Trim(charset));
  const auto* end = std::end(kCharsetLabels);
  const auto* found = std::lower_bound(std::begin(kCharsetLabels), end, name,
                                       [](const qmCharsetLabel& entry, const std::wstring& key) {
                                         return key.compare(entry.label) > 0;
                                       });
  if (found != end && name == found->label) return Available(found->codePage);
  // Beyond the standard, as servers also write them: "utf-16-le" and the
  // numbered forms of any code page Windows has.
  if (name == L"utf-16-le") return 1200;
  if (name == L"utf-16-be") return 1201;
  for (const wchar_t* prefix : {L"windows-", L"cp", L"ibm"}) {
    const std::wstring p = prefix;
    if (name.size() > p.size() && name.compare(0, p.size(), p) == 0 &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(p.size()), name.end(),
                    [](wchar_t c) { return c >= L'0' && c <= L'9'; }) &&
        name.size() - p.size() <= 5) {
      UINT codePage = static_cast<UINT>(std::stoul(name.substr(p.size())));
      if (IsValidCodePage(codePage)) return codePage;
    }
  }
  return 0;
}

std::wstring qmDecodeText(const std::string& body, const std::wstring& contentType, std::wstring* asciiStart) {
  // A byte-order mark decides the encoding over any label and is no text.
  const auto starts = [&](const char* mark, size_t n) { return body.size() >= n && body.compare(0, n, mark, n) == 0; };
  const char* bytes = body.data();
  size_t size = body.size();
  UINT codePage = 0;
  if (starts("\xEF\xBB\xBF", 3)) {
    codePage = CP_UTF8;
    bytes += 3;
    size -= 3;
  } else if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) {
    codePage = body[0] == '\xFF' ? 1200 : 1201;
    bytes += 2;
    size -= 2;
  } else {
    codePage = qmCodePageOfCharset(CharsetParameter(contentType));
  }
  std::wstring text;
  size_t done = 0;
  // (No byte-order mark is ASCII, so a widened start means none was found.)
  if (asciiStart && ReadsAsciiAsIs(codePage) && asciiStart->size() <= size) {
    done = asciiStart->size();
    text.swap(*asciiStart);
  }
  if (codePage == 1200 || codePage == 1201) {
    // A last odd byte is half a unit: shown as the replacement character
    // rather than dropped without a trace.
    text.resize(size / 2 + size % 2);
    for (size_t i = 0; i < size / 2; ++i) {
      unsigned char a = static_cast<unsigned char>(bytes[2 * i]);
      unsigned char b = static_cast<unsigned char>(bytes[2 * i + 1]);
      text[i] = static_cast<wchar_t>(codePage == 1200 ? (a | (b << 8)) : ((a << 8) | b));
    }
    if (size % 2) text.back() = L'\xFFFD';
  } else if (codePage == 0) {
    if (!ToWide(bytes, size, CP_UTF8, true, text, done)) ToWide(bytes, size, CP_ACP, false, text, done);
  } else {
    ToWide(bytes, size, codePage, false, text, done);
  }
  return text;
}

}  // namespace korvanet

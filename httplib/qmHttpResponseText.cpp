#include "qmHttpResponseText.h"

#include <zlib.h>

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

// windowBits: 15 + 16 gzip, 15 zlib, -15 raw deflate.
bool Inflate(const std::string& in, int windowBits, std::string& out) {
  z_stream stream = {};
  if (inflateInit2(&stream, windowBits) != Z_OK) return false;
  out.clear();
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  size_t remaining = in.size();
  char chunk[64 * 1024];
  int status = Z_OK;
  do {
    if (stream.avail_in == 0 && remaining > 0) {
      uInt take = static_cast<uInt>(std::min<size_t>(remaining, 1u << 30));
      stream.avail_in = take;
      remaining -= take;
    }
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof(chunk);
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) break;
    out.append(chunk, sizeof(chunk) - stream.avail_out);
    // A stream without progress and without input left is truncated.
    if (status == Z_OK && stream.avail_in == 0 && remaining == 0 && stream.avail_out != 0) {
      status = Z_DATA_ERROR;
      break;
    }
  } while (status != Z_STREAM_END);
  inflateEnd(&stream);
  return status == Z_STREAM_END;
}

// One pass: every code page yields at most one UTF-16 unit per byte.
// Returns false when strict is set and the bytes are not valid.
bool ToWide(const std::string& bytes, UINT codePage, bool strict, std::wstring& text) {
  text.clear();
  if (bytes.empty()) return true;
  text.resize(bytes.size());
  // Plain ASCII reads the same in UTF-8 and the ANSI code pages: widened
  // directly in one pass, several times faster than the general conversion,
  // which takes over at the first other byte.
  if (codePage == CP_UTF8 || codePage == CP_ACP || codePage == 1252 || codePage == 28591 || codePage == 20127) {
    size_t i = 0;
    for (; i < bytes.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (c & 0x80) break;
      text[i] = static_cast<wchar_t>(c);
    }
    if (i == bytes.size()) return true;
  }
  int n = MultiByteToWideChar(codePage, strict ? MB_ERR_INVALID_CHARS : 0, bytes.data(),
                              static_cast<int>(bytes.size()), text.data(), static_cast<int>(text.size()));
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return n > 0;
}

}  // namespace

DWORD qmDecodeContent(const std::wstring& contentEncoding, std::string& body) {
  const std::wstring encoding = Lower(Trim(contentEncoding));
  if (body.empty()) return 0;
  std::string plain;
  if (encoding == L"gzip" || encoding == L"x-gzip") {
    if (!Inflate(body, 15 + 16, plain)) return ERROR_INVALID_DATA;
  } else if (encoding == L"deflate") {
    // Servers send either the zlib format the standard names or raw deflate.
    if (!Inflate(body, 15, plain) && !Inflate(body, -15, plain)) return ERROR_INVALID_DATA;
  } else {
    return 0;
  }
  body.swap(plain);
  return 0;
}

UINT qmCodePageOfCharset(const std::wstring& charset) {
  const std::wstring name = Lower(Trim(charset));
  struct Entry {
    const wchar_t* name;
    UINT codePage;
  };
  static const Entry kNames[] = {
      {L"utf-8", CP_UTF8},          {L"utf8", CP_UTF8},          {L"us-ascii", 20127},
      {L"ascii", 20127},            {L"iso-8859-1", 28591},      {L"latin1", 28591},
      {L"iso-8859-2", 28592},       {L"iso-8859-15", 28605},     {L"utf-16", 1200},
      {L"utf-16le", 1200},          {L"utf-16be", 1201},         {L"utf-16-le", 1200},
      {L"utf-16-be", 1201},         {L"ucs-2", 1200},         {L"koi8-r", 20866},
      {L"shift_jis", 932},          {L"euc-jp", 20932},          {L"gb2312", 936},
      {L"gbk", 936},                {L"big5", 950},              {L"euc-kr", 949},
  };
  for (const Entry& entry : kNames)
    if (name == entry.name) return entry.codePage;
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

std::wstring qmDecodeText(const std::string& body, const std::wstring& contentType) {
  UINT codePage = 0;
  const std::wstring type = Lower(contentType);
  size_t at = type.find(L"charset=");
  if (at != std::wstring::npos) {
    std::wstring charset = type.substr(at + 8);
    size_t end = charset.find(L';');
    if (end != std::wstring::npos) charset.resize(end);
    codePage = qmCodePageOfCharset(charset);
  }
  if (codePage == 1200 || codePage == 1201) {
    std::wstring text(body.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      unsigned char a = static_cast<unsigned char>(body[2 * i]);
      unsigned char b = static_cast<unsigned char>(body[2 * i + 1]);
      text[i] = static_cast<wchar_t>(codePage == 1200 ? (a | (b << 8)) : ((a << 8) | b));
    }
    return text;
  }
  std::wstring text;
  if (codePage == 0) {
    if (!ToWide(body, CP_UTF8, true, text)) ToWide(body, CP_ACP, false, text);
  } else {
    ToWide(body, codePage, false, text);
  }
  return text;
}

}  // namespace korvanet

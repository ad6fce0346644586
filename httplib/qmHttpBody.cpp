#include "qmHttpBody.h"

#include <objbase.h>

#include "qmComTypes.h"

namespace korvanet {
namespace {

// A file's whole content. Returns 0 or the platform's error.
DWORD ReadWholeFile(const std::wstring& path, std::string& content) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD error = 0;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size)) {
    error = GetLastError();
  } else if (size.QuadPart > 0x7FFFFFFF) {
    error = ERROR_FILE_TOO_LARGE;
  } else {
    try {
      content.resize(static_cast<size_t>(size.QuadPart));
      DWORD read = 0;
      if (!content.empty() &&
          (!ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr) ||
           read != content.size()))
        error = GetLastError() ? GetLastError() : ERROR_READ_FAULT;
    } catch (...) {
      error = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  CloseHandle(file);
  return error;
}

// A name or file name inside a quoted Content-Disposition parameter.
std::string QuotedParameter(const std::wstring& text) {
  std::string out;
  for (char c : qmToUtf8(text)) {
    if (c == '"') {
      out += "%22";
    } else if (c == '\r') {
      out += "%0D";
    } else if (c == '\n') {
      out += "%0A";
    } else {
      out += c;
    }
  }
  return out;
}

std::string NewBoundary() {
  GUID guid = {};
  CoCreateGuid(&guid);
  char text[64] = {};
  wsprintfA(text, "----KorvanetBoundary%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
            static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
            guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace

std::string qmToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

std::string qmFormUrlEncode(const std::vector<qmFormField>& fields) {
  static const char kHex[] = "0123456789ABCDEF";
  auto encode = [](const std::wstring& text, std::string& out) {
    for (unsigned char c : qmToUtf8(text)) {
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '_' || c == '.' || c == '*') {
        out += static_cast<char>(c);
      } else if (c == ' ') {
        out += '+';
      } else {
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    }
  };
  std::string out;
  for (const qmFormField& field : fields) {
    if (!out.empty()) out += '&';
    encode(field.name, out);
    out += '=';
    encode(field.value, out);
  }
  return out;
}

std::wstring qmAppendQuery(const std::wstring& url, const std::string& encoded) {
  if (encoded.empty()) return url;
  size_t fragment = url.find(L'#');
  std::wstring base = url.substr(0, fragment);
  std::wstring tail = fragment == std::wstring::npos ? std::wstring() : url.substr(fragment);
  const wchar_t separator = base.find(L'?') == std::wstring::npos ? L'?' : L'&';
  if (!base.empty() && (base.back() == L'?' || base.back() == L'&')) {
    base.append(encoded.begin(), encoded.end());
  } else {
    base += separator;
    base.append(encoded.begin(), encoded.end());
  }
  return base + tail;
}

DWORD qmMultipartBody(const std::vector<qmFormField>& fields, const std::vector<qmUploadField>& uploads,
                      std::wstring& contentType, std::string& body) {
  std::vector<std::string> files(uploads.size());
  for (size_t i = 0; i < uploads.size(); ++i) {
    DWORD error = ReadWholeFile(uploads[i].path, files[i]);
    if (error != 0) return error;
  }
  std::string boundary;
  // The boundary must not occur in any part; a fresh GUID practically never does.
  for (int attempt = 0; attempt < 8; ++attempt) {
    boundary = NewBoundary();
    bool clash = false;
    for (const std::string& file : files) clash = clash || file.find(boundary) != std::string::npos;
    if (!clash) break;
  }
  std::string out;
  for (const qmFormField& field : fields) {
    out += "--" + boundary + "\r\n";
    out += "Content-Disposition: form-data; name=\"" + QuotedParameter(field.name) + "\"\r\n\r\n";
    out += qmToUtf8(field.value) + "\r\n";
  }
  for (size_t i = 0; i < uploads.size(); ++i) {
    const qmUploadField& upload = uploads[i];
    size_t slash = upload.path.find_last_of(L"\\/:");
    std::wstring fileName = slash == std::wstring::npos ? upload.path : upload.path.substr(slash + 1);
    out += "--" + boundary + "\r\n";
    out += "Content-Disposition: form-data; name=\"" + QuotedParameter(upload.name) + "\"; filename=\"" +
           QuotedParameter(fileName) + "\"\r\n";
    std::string type = qmToUtf8(upload.contentType);
    out += "Content-Type: " + (type.empty() ? std::string("application/octet-stream") : type) + "\r\n\r\n";
    out += files[i];
    out += "\r\n";
  }
  out += "--" + boundary + "--\r\n";
  body.swap(out);
  contentType = L"multipart/form-data; boundary=" + std::wstring(boundary.begin(), boundary.end());
  return 0;
}

}  // namespace korvanet

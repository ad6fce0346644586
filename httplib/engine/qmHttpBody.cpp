#include "qmHttpBody.h"

#include <objbase.h>

#include <algorithm>

#include "qmComTypes.h"

namespace korvanet {
namespace {

// A file's size, as the platform reports it when opening it for reading.
DWORD FileSize(const std::wstring& path, ULONGLONG& size) {
  qmFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  LARGE_INTEGER length = {};
  if (!GetFileSizeEx(file.get(), &length)) return GetLastError();
  size = static_cast<ULONGLONG>(length.QuadPart);
  return 0;
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

DWORD qmFullPath(const std::wstring& path, std::wstring& full) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) return GetLastError();
    if (length < buffer.size()) {
      buffer.resize(length);
      full = std::move(buffer);
      return 0;
    }
    buffer.resize(length);
  }
  return ERROR_FILENAME_EXCED_RANGE;
}

DWORD qmMultipartBody(const std::vector<qmFormField>& fields, const std::vector<qmUploadField>& uploads,
                      std::wstring& contentType, std::vector<qmBodyPart>& parts) {
  // A fresh GUID as boundary practically never occurs in a part; the files
  // are not read beforehand to make sure, since they may be large.
  const std::string boundary = NewBoundary();
  std::vector<qmBodyPart> out;
  std::string text;
  for (const qmFormField& field : fields) {
    text += "--" + boundary + "\r\n";
    text += "Content-Disposition: form-data; name=\"" + QuotedParameter(field.name) + "\"\r\n\r\n";
    text += qmToUtf8(field.value) + "\r\n";
  }
  for (const qmUploadField& upload : uploads) {
    qmBodyPart file;
    // Read while it is sent, and again after a redirect: by then the
    // client's current folder may be another.
    DWORD error = qmFullPath(upload.path, file.path);
    if (error == 0) error = FileSize(file.path, file.size);
    if (error != 0) return error;
    size_t slash = upload.path.find_last_of(L"\\/:");
    std::wstring fileName = slash == std::wstring::npos ? upload.path : upload.path.substr(slash + 1);
    text += "--" + boundary + "\r\n";
    text += "Content-Disposition: form-data; name=\"" + QuotedParameter(upload.name) + "\"; filename=\"" +
            QuotedParameter(fileName) + "\"\r\n";
    std::string type = qmToUtf8(upload.contentType);
    text += "Content-Type: " + (type.empty() ? std::string("application/octet-stream") : type) + "\r\n\r\n";
    out.push_back(qmBodyPart{std::move(text), std::wstring(), 0});
    text.clear();
    out.push_back(std::move(file));
    text += "\r\n";
  }
  text += "--" + boundary + "--\r\n";
  out.push_back(qmBodyPart{std::move(text), std::wstring(), 0});
  if (qmBodySize(out) > MAXDWORD) return ERROR_FILE_TOO_LARGE;
  parts.swap(out);
  contentType = L"multipart/form-data; boundary=" + std::wstring(boundary.begin(), boundary.end());
  return 0;
}

ULONGLONG qmBodySize(const std::vector<qmBodyPart>& parts) {
  ULONGLONG size = 0;
  for (const qmBodyPart& part : parts) size += part.path.empty() ? part.bytes.size() : part.size;
  return size;
}

void qmBodyReader::Reset(const std::vector<qmBodyPart>* parts) {
  mpParts = parts;
  mPart = 0;
  mOffset = 0;
  mFile.reset();
}

DWORD qmBodyReader::Read(char* buffer, DWORD size, DWORD* read) {
  *read = 0;
  while (mpParts && mPart < mpParts->size() && *read < size) {
    const qmBodyPart& part = (*mpParts)[mPart];
    const ULONGLONG partSize = part.path.empty() ? part.bytes.size() : part.size;
    if (mOffset >= partSize) {
      ++mPart;
      mOffset = 0;
      mFile.reset();
      continue;
    }
    const DWORD take = static_cast<DWORD>(std::min<ULONGLONG>(partSize - mOffset, size - *read));
    if (part.path.empty()) {
      part.bytes.copy(buffer + *read, take, static_cast<size_t>(mOffset));
    } else {
      if (!mFile) {
        mFile.reset(CreateFileW(part.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!mFile) return GetLastError();
        LARGE_INTEGER to = {};
        to.QuadPart = static_cast<LONGLONG>(mOffset);
        if (!SetFilePointerEx(mFile.get(), to, nullptr, FILE_BEGIN)) return GetLastError();
      }
      DWORD got = 0;
      if (!ReadFile(mFile.get(), buffer + *read, take, &got, nullptr)) return GetLastError();
      // The length went out with the headers: a file that shrank cannot fill it.
      if (got == 0) return ERROR_HANDLE_EOF;
      mOffset += got;
      *read += got;
      continue;
    }
    mOffset += take;
    *read += take;
  }
  return 0;
}

}  // namespace korvanet

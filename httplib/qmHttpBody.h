// What goes on the wire besides the headers: the UTF-8 body text, form
// fields as application/x-www-form-urlencoded (body or query) and uploads
// as multipart/form-data (RFC 7578).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace korvanet {

struct qmFormField {
  std::wstring name;
  std::wstring value;
};

struct qmUploadField {
  std::wstring name;
  std::wstring path;  // a local file, read when the request starts
  std::wstring contentType;  // empty: application/octet-stream
};

std::string qmToUtf8(const std::wstring& text);

// name=value&... with UTF-8 percent-encoding (space as '+').
std::string qmFormUrlEncode(const std::vector<qmFormField>& fields);

// The URL with the encoded fields appended to its query (before any fragment).
std::wstring qmAppendQuery(const std::wstring& url, const std::string& encoded);

// Builds a multipart/form-data body of the fields and the uploads' files.
// Returns 0 and sets contentType and body, or the error of a file read.
DWORD qmMultipartBody(const std::vector<qmFormField>& fields, const std::vector<qmUploadField>& uploads,
                      std::wstring& contentType, std::string& body);

}  // namespace korvanet

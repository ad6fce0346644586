// What goes on the wire besides the headers: the UTF-8 body text, form
// fields as application/x-www-form-urlencoded (body or query) and uploads
// as multipart/form-data (RFC 7578), whose files are read while they are
// sent, so an upload never sits in memory whole.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "qmComTypes.h"

namespace korvanet {

struct qmFormField {
  std::wstring name;
  std::wstring value;
};

struct qmUploadField {
  std::wstring name;
  std::wstring path;  // a local file, as the client named it
  std::wstring contentType;  // empty: application/octet-stream
};

std::string qmToUtf8(const std::wstring& text);

// The full path of a local file that a request reads (an upload) or writes
// (a download), a relative one taken from the current folder now: the
// client changing its folder later moves neither. 0 or the system's error.
DWORD qmFullPath(const std::wstring& path, std::wstring& full);

// name=value&... with UTF-8 percent-encoding (space as '+').
std::string qmFormUrlEncode(const std::vector<qmFormField>& fields);

// The URL with the encoded fields appended to its query (before any fragment).
std::wstring qmAppendQuery(const std::wstring& url, const std::string& encoded);

// One piece of a request body: bytes, or the content of a file.
struct qmBodyPart {
  std::string bytes;
  std::wstring path;    // when set, the file, read as it is sent
  ULONGLONG size = 0;   // the file's size when the request started
};

// The parts' length in bytes.
ULONGLONG qmBodySize(const std::vector<qmBodyPart>& parts);

// Builds a multipart/form-data body of the fields and the uploads' files.
// Returns 0 and sets contentType and parts; the error of opening a file; or
// ERROR_FILE_TOO_LARGE for a body beyond 4 GB, the most one request can
// announce.
DWORD qmMultipartBody(const std::vector<qmFormField>& fields, const std::vector<qmUploadField>& uploads,
                      std::wstring& contentType, std::vector<qmBodyPart>& parts);

// Reads a body's parts in order, one piece at a time.
class qmBodyReader {
 public:
  void Reset(const std::vector<qmBodyPart>* parts);  // from the beginning
  // The next bytes into buffer: 0 and *read (0 at the end), or the error of
  // a file read. A file that became shorter than it was is an error.
  DWORD Read(char* buffer, DWORD size, DWORD* read);

 private:
  const std::vector<qmBodyPart>* mpParts = nullptr;
  size_t mPart = 0;
  ULONGLONG mOffset = 0;  // within the part
  qmFileHandle mFile;     // of the current part, when it is a file
};

}  // namespace korvanet

// Content decoding of response bodies: gzip and deflate, which WinHTTP under
// Wine does not undo. A body is decoded piece by piece as it arrives, so a
// download never has to sit in memory whole to be decoded.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct z_stream_s;

namespace korvanet {

class qmContentDecoder {
 public:
  // Takes each run of plain bytes; returns 0 or an error that ends the decoding.
  using Output = std::function<DWORD(const char* data, size_t size)>;

  // contentEncoding as the response names it; gzip, x-gzip and deflate are
  // undone, any other encoding passes the bytes through as they are.
  explicit qmContentDecoder(const std::wstring& contentEncoding);
  ~qmContentDecoder();
  qmContentDecoder(const qmContentDecoder&) = delete;
  qmContentDecoder& operator=(const qmContentDecoder&) = delete;

  bool Decodes() const { return mKind != Kind::kIdentity; }

  // The next piece of the body. Returns 0; ERROR_INVALID_DATA for a broken
  // stream; ERROR_NOT_ENOUGH_MEMORY; or the error output returned. Bytes
  // after the end of a compressed stream are ignored.
  DWORD Write(const char* data, size_t size, const Output& output);

  // The body is over: ERROR_INVALID_DATA when a compressed stream stopped
  // short of its end (an empty body is no stream and no error).
  DWORD End() const;

 private:
  enum class Kind { kIdentity, kGzip, kDeflate };
  DWORD Start();
  DWORD Inflate(const char* data, size_t size, const Output& output);

  Kind mKind;
  std::unique_ptr<z_stream_s> mpStream;  // once the first bytes came
  bool mbStarted = false;
  bool mbEnded = false;
  std::string mHead;  // deflate: the first two bytes tell zlib from raw
  std::vector<char> mChunk;
};

// Undoes a Content-Encoding of gzip or deflate of a whole body in place.
// Returns 0; ERROR_INVALID_DATA for a broken stream; ERROR_FILE_TOO_LARGE
// when the decoded bytes would exceed limit; or ERROR_NOT_ENOUGH_MEMORY.
// On failure the bytes stay as received.
DWORD qmDecodeContent(const std::wstring& contentEncoding, size_t limit, std::string& body);

}  // namespace korvanet

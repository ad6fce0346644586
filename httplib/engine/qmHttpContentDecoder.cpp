#include "qmHttpContentDecoder.h"

#include <zlib.h>

#include <algorithm>
#include <new>

namespace korvanet {
namespace {

bool IsEncoding(const std::wstring& label, const wchar_t* name) {
  const size_t first = label.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return false;
  const size_t last = label.find_last_not_of(L" \t");
  return CompareStringOrdinal(label.c_str() + first, static_cast<int>(last - first + 1), name, -1, TRUE) ==
         CSTR_EQUAL;
}

}  // namespace

qmContentDecoder::qmContentDecoder(const std::wstring& contentEncoding) {
  if (IsEncoding(contentEncoding, L"gzip") || IsEncoding(contentEncoding, L"x-gzip")) {
    mKind = Kind::kGzip;
  } else if (IsEncoding(contentEncoding, L"deflate")) {
    mKind = Kind::kDeflate;
  } else {
    mKind = Kind::kIdentity;
  }
}

qmContentDecoder::~qmContentDecoder() {
  if (mpStream) inflateEnd(mpStream.get());
}

DWORD qmContentDecoder::Start() {
  // windowBits: 15 + 16 gzip, 15 zlib, -15 raw deflate. Servers send
  // "deflate" either in the zlib format the standard names or raw; a zlib
  // header is a compression method of 8 and a multiple of 31.
  int windowBits = 15 + 16;
  if (mKind == Kind::kDeflate) {
    const unsigned first = static_cast<unsigned char>(mHead[0]), second = static_cast<unsigned char>(mHead[1]);
    windowBits = (first & 0x0F) == 8 && ((first << 8) | second) % 31 == 0 ? 15 : -15;
  }
  try {
    mpStream = std::make_unique<z_stream_s>();
    mChunk.resize(64 * 1024);
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (inflateInit2(mpStream.get(), windowBits) != Z_OK) {
    mpStream.reset();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  mbStarted = true;
  return 0;
}

DWORD qmContentDecoder::Write(const char* data, size_t size, const Output& output) {
  if (size == 0) return 0;
  if (mKind == Kind::kIdentity) return output(data, size);
  if (mbEnded) return 0;
  if (!mbStarted) {
    if (mKind == Kind::kDeflate && mHead.size() < 2) {
      const size_t take = std::min<size_t>(2 - mHead.size(), size);
      try {
        mHead.append(data, take);
      } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
      }
      data += take;
      size -= take;
      if (mHead.size() < 2) return 0;
    }
    DWORD error = Start();
    if (error == 0 && !mHead.empty()) error = Inflate(mHead.data(), mHead.size(), output);
    if (error != 0) return error;
  }
  return Inflate(data, size, output);
}

DWORD qmContentDecoder::Inflate(const char* data, size_t size, const Output& output) {
  z_stream_s& stream = *mpStream;
  while (size > 0 && !mbEnded) {
    const uInt take = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = take;
    data += take;
    size -= take;
    // Until the piece is used up; a full output chunk may hide more.
    do {
      stream.next_out = reinterpret_cast<Bytef*>(mChunk.data());
      stream.avail_out = static_cast<uInt>(mChunk.size());
      const int status = inflate(&stream, Z_NO_FLUSH);
      if (status == Z_MEM_ERROR) return ERROR_NOT_ENOUGH_MEMORY;
      if (status != Z_OK && status != Z_STREAM_END && !(status == Z_BUF_ERROR && stream.avail_in == 0))
        return ERROR_INVALID_DATA;
      const size_t produced = mChunk.size() - stream.avail_out;
      if (produced > 0) {
        DWORD error = output(mChunk.data(), produced);
        if (error != 0) return error;
      }
      if (status == Z_STREAM_END) {
        mbEnded = true;
        break;
      }
    } while (stream.avail_in > 0 || stream.avail_out == 0);
  }
  return 0;
}

DWORD qmContentDecoder::End() const {
  const bool anyInput = mbStarted || !mHead.empty();
  return mKind != Kind::kIdentity && anyInput && !mbEnded ? ERROR_INVALID_DATA : 0;
}

DWORD qmDecodeContent(const std::wstring& contentEncoding, size_t limit, std::string& body) {
  qmContentDecoder decoder(contentEncoding);
  if (!decoder.Decodes() || body.empty()) return 0;
  std::string plain;
  DWORD error = 0;
  try {
    // A few compressed bytes may stand for gigabytes: the limit ends them.
    error = decoder.Write(body.data(), body.size(), [&](const char* data, size_t size) -> DWORD {
      if (size > limit - plain.size()) return ERROR_FILE_TOO_LARGE;
      plain.append(data, size);
      return 0;
    });
  } catch (...) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error == 0) error = decoder.End();
  if (error == 0) body.swap(plain);
  return error;
}

}  // namespace korvanet

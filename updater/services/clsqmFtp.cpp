#include "clsqmFtp.h"

namespace {

// An empty list means "none": WinINet wants a null pointer for that.
const wchar_t* OrNull(const std::wstring& s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

bool clsqmFtp::Connect() {
  if (mhInternet || mhConnection) Disconnect();
  mhInternet.reset(InternetOpenW(L"FTP", INTERNET_OPEN_TYPE_PRECONFIG, OrNull(sProxy), OrNull(sProxyByPass), 0));
  if (mhInternet) {
    mhConnection.reset(InternetConnectW(mhInternet.get(), sRemoteHost.c_str(), INTERNET_DEFAULT_FTP_PORT,
                                        sUsername.c_str(), sPassword.c_str(), INTERNET_SERVICE_FTP, 0, 0));
  }
  return mhConnection.valid();
}

bool clsqmFtp::FileUpload(const std::wstring& sLocalFilename, const std::wstring& sRemoteFilename,
                          int32_t nTransferType) {
  if (!mhConnection) return false;
  return FtpPutFileW(mhConnection.get(), sLocalFilename.c_str(), sRemoteFilename.c_str(),
                     static_cast<DWORD>(nTransferType), 0) != FALSE;
}

void clsqmFtp::Disconnect() {
  mhConnection.reset();
  mhInternet.reset();
}

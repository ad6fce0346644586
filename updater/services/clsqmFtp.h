// Sends files to an FTP server over WinINet: Connect, any number of
// FileUpload calls, Disconnect. The object owns its internet handle and its
// connection handle and closes both at the latest when it is destroyed.
#pragma once

#include "qmInternetHandle.h"

#include <cstdint>
#include <string>

class clsqmFtp {
 public:
  std::wstring sProxy;        // proxy list for the internet handle
  std::wstring sProxyByPass;  // proxy bypass list
  std::wstring sRemoteHost;
  std::wstring sUsername;
  std::wstring sPassword;
  std::wstring sError;        // free text for the caller; the methods leave it alone

  // Closes an open connection first, then opens the internet handle and the
  // FTP connection (port 21, active mode). True when the connection is open.
  // A session handle that opened while the login failed stays open until
  // the next Connect or Disconnect.
  bool Connect();

  // Sends a local file to the server under sRemoteFilename. nTransferType
  // is FTP_TRANSFER_TYPE_BINARY (2) or FTP_TRANSFER_TYPE_ASCII (1). False
  // without an open connection or when the transfer failed.
  bool FileUpload(const std::wstring& sLocalFilename, const std::wstring& sRemoteFilename,
                  int32_t nTransferType = FTP_TRANSFER_TYPE_BINARY);

  // Closes the connection, then the internet handle; does nothing when
  // nothing is open.
  void Disconnect();

 private:
  qmUniqueInternet mhInternet;
  qmUniqueInternet mhConnection;
};

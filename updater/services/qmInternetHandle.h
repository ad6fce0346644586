// Ownership of WinINet handles (internet session and FTP connection).
#pragma once

#include "qmHandle.h"

#include <wininet.h>

struct qmInternetTraits {
  using type = HINTERNET;
  static constexpr type invalid() noexcept { return nullptr; }
  static BOOL close(type h) noexcept { return h ? InternetCloseHandle(h) : FALSE; }
};

using qmUniqueInternet = qmUniqueHandle<qmInternetTraits>;

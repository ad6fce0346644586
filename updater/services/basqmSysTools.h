// Small queries of the system the updater runs on.
#pragma once

#include <string>

// The computer's NetBIOS name, or the empty text when it cannot be read.
[[nodiscard]] std::wstring GetComputerNameText();

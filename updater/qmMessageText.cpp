#include "qmMessageText.h"

void clsqmMessageText::Replace(std::wstring sText) {
  msText = std::move(sText);
  if (mpListener) mpListener->OnReplaced(msText);
}

void clsqmMessageText::Append(std::wstring_view sPiece) {
  msText.append(sPiece);
  if (mpListener) mpListener->OnAppended(sPiece);
}

void clsqmMessageText::Repaint() {
  if (mpListener) mpListener->OnRepaint();
}

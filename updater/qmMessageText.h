// The run's report: the text that the window shows in its output box, that
// the log file copies and that tests read. The run only appends, replaces
// and asks for repaints; whoever shows the text listens.
#pragma once

#include <string>
#include <string_view>

class clsqmMessageText {
 public:
  // A window (or anything else) that mirrors the text. Appends arrive as
  // the appended piece only, so a mirror never has to rewrite the whole text.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void OnReplaced(const std::wstring& sWholeText) = 0;
    virtual void OnAppended(std::wstring_view sPiece) = 0;
    virtual void OnRepaint() = 0;
  };

  void SetListener(Listener* listener) { mpListener = listener; }

  void Replace(std::wstring sText);
  void Append(std::wstring_view sPiece);
  void Repaint();

  [[nodiscard]] const std::wstring& Text() const { return msText; }

 private:
  std::wstring msText;
  Listener* mpListener = nullptr;
};

// A chunked body is whole only with its last (empty) chunk: one whose
// connection closes before it is an error, in memory and as a download.
#include <gtest/gtest.h>
#include <windows.h>
#include <winhttp.h>

#include <string>

#include <initguid.h>

#include "Korvanet_h.h"
#include "korvanetRequestFixture.h"
#include "korvanetTestSupport.h"
#include "qmTestSupport.h"

using namespace korvanettest;

namespace {

class Chunked : public RequestFixture {
 protected:
  qmtest::ScratchFolder folder{L"kvck"};
};

TEST_F(Chunked, ABodyCutBeforeItsLastChunkFailsAndReplacesNoFile) {
  const std::wstring target = folder / L"report.txt";
  const std::string older = "the older report\r\n";
  qmtest::WriteBytes(target, older);
  // The server sends that many of its five chunks, then closes without the last.
  for (const wchar_t* cut : {L"0", L"2", L"4"}) {
    for (bool toFile : {false, true}) {
      req.Put(L"sResponseFile", toFile ? target : std::wstring());
      req.Put(L"sURL", Url(std::wstring(L"/chunked?cut=") + cut));
      EXPECT_TRUE(Get()) << cut << "; it completes, with an error";
      EXPECT_EQ(Long(L"lErrorcode"), ERROR_WINHTTP_CONNECTION_ERROR) << cut << " " << toFile;
      EXPECT_EQ(Text(L"sErrortext"), ErrorText(ERROR_WINHTTP_CONNECTION_ERROR)) << cut;
      EXPECT_EQ(Text(L"sResponse"), L"") << cut;
      EXPECT_EQ(qmtest::ReadBytes(target), older) << cut << " " << toFile;
    }
  }
  // A whole chunked body stays a success when the server closes the
  // connection after its last chunk.
  std::string whole;
  for (int i = 0; i < 5; ++i)
    for (int k = 0; k < 1000; ++k) whole += "part" + std::to_string(i) + ";";
  for (bool toFile : {false, true}) {
    req.Put(L"sResponseFile", toFile ? target : std::wstring());
    req.Put(L"sURL", Url(L"/chunked?close=1"));
    EXPECT_TRUE(Get());
    EXPECT_EQ(Long(L"lErrorcode"), 0) << toFile;
    if (toFile) {
      EXPECT_EQ(qmtest::ReadBytes(target), whole);
    } else {
      EXPECT_EQ(Text(L"sResponse"), std::wstring(whole.begin(), whole.end()));
    }
  }
}

}  // namespace

// The FTP class against a real FTP server on 127.0.0.1:21 that CTest starts
// around these tests. QM_FTP_DIR names the server's folder (a Unix path):
// root/ is what the server serves, events.log gets a line for every control
// connection the server sees opened or closed.
#include "clsqmFtp.h"
#include "qmTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

// Wine maps the Unix root to drive Z:.
std::wstring FtpDir() {
  const char* dir = std::getenv("QM_FTP_DIR");
  std::wstring path = L"Z:";
  for (const char* c = dir ? dir : ""; *c; ++c) path.push_back(*c == '/' ? L'\\' : static_cast<unsigned char>(*c));
  return path;
}

std::wstring Served(const std::wstring& name) { return FtpDir() + L"\\root\\incoming\\" + name; }

// Waits (at most 5 s) until the server has logged the given numbers of
// opened and closed control connections since `from`.
bool WaitForEvents(size_t from, int connects, int disconnects) {
  return qmtest::WaitUntil(
      [&] {
        const std::string log = qmtest::ReadBytes(FtpDir() + L"\\events.log");
        std::istringstream tail(log.substr(std::min(from, log.size())));
        int c = 0, d = 0;
        for (std::string line; std::getline(tail, line);) (line == "connect" ? c : d) += 1;
        return c == connects && d == disconnects;
      },
      5000, 50);
}

class FtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("QM_FTP_DIR")) << "run through CTest, which starts the server";
    LogIn(mFtp);
    qmtest::WriteBytes(mLocal / L"x.bin", "x");
  }
  static void LogIn(clsqmFtp& ftp) {
    ftp.sRemoteHost = L"127.0.0.1";
    ftp.sUsername = L"trevalon";
    ftp.sPassword = L"geheim";
  }

  clsqmFtp mFtp;
  qmtest::ScratchFolder mLocal{L"ftp"};
};

// Binary mode keeps every byte; text mode hands lines to the server, which
// keeps them in its own (Unix) line ends.
TEST_F(FtpTest, UploadArrivesByteForByteInBinaryModeAndAsLinesInTextMode) {
  std::string content;
  for (int i = 0; i < 300 * 256; ++i) content.push_back(static_cast<char>(i % 256));
  content += "line\r\nend\n";
  qmtest::WriteBytes(mLocal / L"data.bin", content);
  qmtest::WriteBytes(mLocal / L"notes.txt", "eins\r\nzwei\r\n");
  ASSERT_TRUE(mFtp.Connect());
  EXPECT_TRUE(mFtp.FileUpload(mLocal / L"data.bin", L"incoming/data.bin"));
  EXPECT_TRUE(mFtp.FileUpload(mLocal / L"notes.txt", L"incoming/notes.txt", FTP_TRANSFER_TYPE_ASCII));
  EXPECT_TRUE(mFtp.FileUpload(mLocal / L"notes.txt", L"incoming/notes.bin"));
  mFtp.Disconnect();
  EXPECT_EQ(content, qmtest::ReadBytes(Served(L"data.bin")));
  EXPECT_EQ("eins\nzwei\n", qmtest::ReadBytes(Served(L"notes.txt")));
  EXPECT_EQ("eins\r\nzwei\r\n", qmtest::ReadBytes(Served(L"notes.bin")));
  EXPECT_TRUE(mFtp.sError.empty());
}

// Not connected (before, after, twice disconnected, wrong password), no
// such remote folder, no such local file: the upload fails.
TEST_F(FtpTest, UploadFailsWithoutConnectionOrTarget) {
  mFtp.Disconnect();
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"x.bin", L"incoming/never.bin"));
  ASSERT_TRUE(mFtp.Connect());
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"x.bin", L"no/such/folder/x.bin"));
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"missing.bin", L"incoming/missing.bin"));
  mFtp.Disconnect();
  mFtp.Disconnect();
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"x.bin", L"incoming/after.bin"));
  mFtp.sPassword = L"falsch";
  EXPECT_FALSE(mFtp.Connect());
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"x.bin", L"incoming/wrongpw.bin"));
  for (const wchar_t* name : {L"never.bin", L"after.bin", L"wrongpw.bin"}) EXPECT_FALSE(qmtest::Exists(Served(name)));
}

// A second Connect closes the first connection; destroying a connected
// object closes its connection.
TEST_F(FtpTest, ConnectTwiceOrDestroyingTheObjectClosesTheConnection) {
  const size_t from = qmtest::ReadBytes(FtpDir() + L"\\events.log").size();
  ASSERT_TRUE(mFtp.Connect());
  ASSERT_TRUE(mFtp.Connect());
  EXPECT_TRUE(WaitForEvents(from, 2, 1)) << "the server should see the first connection closed";
  mFtp.Disconnect();
  EXPECT_TRUE(WaitForEvents(from, 2, 2));
  {
    clsqmFtp ftp;
    LogIn(ftp);
    ASSERT_TRUE(ftp.Connect());
  }
  EXPECT_TRUE(WaitForEvents(from, 3, 3));
}

}  // namespace

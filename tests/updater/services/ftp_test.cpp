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
#include <string>

namespace {

// Wine maps the Unix root to drive Z:.
std::wstring FtpDir() {
  const char* dir = std::getenv("QM_FTP_DIR");
  std::string unix = dir ? dir : "";
  std::wstring path = L"Z:";
  for (char c : unix) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return path;
}

class FtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("QM_FTP_DIR")) << "run through CTest, which starts the server";
    mFtp.sRemoteHost = L"127.0.0.1";
    mFtp.sUsername = L"trevalon";
    mFtp.sPassword = L"geheim";
  }

  static std::wstring Served(const std::wstring& name) { return FtpDir() + L"\\root\\" + name; }

  // Waits (at most 5 s) until the server has logged the given numbers of
  // opened and closed control connections since `from`.
  static bool WaitForEvents(size_t from, int connects, int disconnects) {
    for (int i = 0; i < 100; ++i) {
      std::string log = qmtest::ReadBytes(FtpDir() + L"\\events.log");
      if (log.size() >= from) {
        std::string tail = log.substr(from);
        int c = 0, d = 0;
        for (size_t p = 0; (p = tail.find("connect\n", p)) != std::string::npos; p += 8) {
          if (p >= 3 && tail.compare(p - 3, 3, "dis") == 0) ++d; else ++c;
        }
        if (c == connects && d == disconnects) return true;
      }
      Sleep(50);
    }
    return false;
  }
  static size_t EventsSoFar() { return qmtest::ReadBytes(FtpDir() + L"\\events.log").size(); }

  clsqmFtp mFtp;
  qmtest::ScratchFolder mLocal{L"ftp"};
};

std::string AllBytes() {
  std::string bytes;
  for (int round = 0; round < 300; ++round)
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
  return bytes + "line\r\nend\n";
}

TEST_F(FtpTest, UploadArrivesByteForByteInBinaryMode) {
  const std::string content = AllBytes();
  qmtest::WriteBytes(mLocal / L"data.bin", content);
  ASSERT_TRUE(mFtp.Connect());
  EXPECT_TRUE(mFtp.FileUpload(mLocal / L"data.bin", L"incoming/data.bin"));
  mFtp.Disconnect();
  EXPECT_EQ(content, qmtest::ReadBytes(Served(L"incoming\\data.bin")));
  EXPECT_TRUE(mFtp.sError.empty());
}

TEST_F(FtpTest, TextModeTransfersLinesAsText) {
  qmtest::WriteBytes(mLocal / L"notes.txt", "eins\r\nzwei\r\n");
  ASSERT_TRUE(mFtp.Connect());
  EXPECT_TRUE(mFtp.FileUpload(mLocal / L"notes.txt", L"incoming/notes.txt", FTP_TRANSFER_TYPE_ASCII));
  EXPECT_TRUE(mFtp.FileUpload(mLocal / L"notes.txt", L"incoming/notes.bin"));
  mFtp.Disconnect();
  // The server keeps text in its own (Unix) line ends; binary keeps bytes.
  EXPECT_EQ("eins\nzwei\n", qmtest::ReadBytes(Served(L"incoming\\notes.txt")));
  EXPECT_EQ("eins\r\nzwei\r\n", qmtest::ReadBytes(Served(L"incoming\\notes.bin")));
}

TEST_F(FtpTest, WrongPasswordFailsConnectAndLaterUploads) {
  qmtest::WriteBytes(mLocal / L"x.bin", "x");
  mFtp.sPassword = L"falsch";
  EXPECT_FALSE(mFtp.Connect());
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"x.bin", L"incoming/wrongpw.bin"));
  EXPECT_FALSE(qmtest::Exists(Served(L"incoming\\wrongpw.bin")));
}

TEST_F(FtpTest, UploadFailsWithoutConnectionOrTarget) {
  qmtest::WriteBytes(mLocal / L"x.bin", "x");
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"x.bin", L"incoming/never.bin"));  // not connected
  ASSERT_TRUE(mFtp.Connect());
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"x.bin", L"no/such/folder/x.bin"));
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"missing.bin", L"incoming/missing.bin"));
  mFtp.Disconnect();
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"x.bin", L"incoming/after.bin"));  // disconnected
  EXPECT_FALSE(qmtest::Exists(Served(L"incoming\\never.bin")));
  EXPECT_FALSE(qmtest::Exists(Served(L"incoming\\after.bin")));
}

TEST_F(FtpTest, ConnectTwiceClosesTheFirstConnection) {
  const size_t from = EventsSoFar();
  ASSERT_TRUE(mFtp.Connect());
  ASSERT_TRUE(mFtp.Connect());
  EXPECT_TRUE(WaitForEvents(from, 2, 1)) << "the server should see the first connection closed";
  mFtp.Disconnect();
  EXPECT_TRUE(WaitForEvents(from, 2, 2));
}

TEST_F(FtpTest, DisconnectIsHarmlessWhenNothingIsOpen) {
  mFtp.Disconnect();
  mFtp.Disconnect();
  ASSERT_TRUE(mFtp.Connect());
  mFtp.Disconnect();
  mFtp.Disconnect();
  qmtest::WriteBytes(mLocal / L"x.bin", "x");
  EXPECT_FALSE(mFtp.FileUpload(mLocal / L"x.bin", L"incoming/x.bin"));
}

TEST_F(FtpTest, DestroyingAConnectedObjectClosesTheConnection) {
  const size_t from = EventsSoFar();
  {
    clsqmFtp ftp;
    ftp.sRemoteHost = L"127.0.0.1";
    ftp.sUsername = L"trevalon";
    ftp.sPassword = L"geheim";
    ASSERT_TRUE(ftp.Connect());
  }
  EXPECT_TRUE(WaitForEvents(from, 1, 1));
}

}  // namespace

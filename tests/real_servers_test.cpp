// Proves the real-server harness on this machine: each server starts on its
// own loopback address, logs a user in and moves a file both ways in active
// mode, checked with curl.

#include "ProgramRun.h"
#include "RealFtpServers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using namespace std::chrono_literals;

class RealServersTest : public testing::TestWithParam<EFtpServerKind> {};

TEST_P(RealServersTest, LogsInAndMovesAFileBothWaysInActiveMode) {
  if (std::string why = TRealFtpServer::UnavailableReason(GetParam()); !why.empty()) {
    GTEST_SKIP() << why;
  }
  std::unique_ptr<TRealFtpServer> server = TRealFtpServer::Start(GetParam());
  TTempDir local;
  const std::string served = PatternBytes(5 * 1024 * 1024 + 3, 11);
  server->PutFile("served.bin", served);
  WriteFile(local / "upload.bin", PatternBytes(3 * 1024 * 1024 + 1, 12));

  // -P - sends PORT with the control connection's own address; without EPRT
  // the command is the same PORT a,b,c,d,p1,p2 tavix-ftp sends.
  TProgramResult download = RunProgram(
      "/usr/bin/curl", {.Args = {"-sS", "-P", "-", "--disable-eprt", "-o",
                                 (local / "served.bin").string(), server->Url("served.bin")},
                        .Timeout = 30s});
  ASSERT_EQ(download.ExitCode, 0) << Describe(download) << server->Output();
  EXPECT_TRUE(ReadFile(local / "served.bin") == served);

  TProgramResult upload = RunProgram(
      "/usr/bin/curl", {.Args = {"-sS", "-P", "-", "--disable-eprt", "-T",
                                 (local / "upload.bin").string(), server->Url("uploaded.bin")},
                        .Timeout = 30s});
  ASSERT_EQ(upload.ExitCode, 0) << Describe(upload) << server->Output();
  EXPECT_TRUE(ReadFile(server->Home() / "uploaded.bin") == ReadFile(local / "upload.bin"));

  EXPECT_EQ(server->CountCommands("USER"), 2u);
  EXPECT_EQ(server->CountCommands("PORT"), 2u);
  EXPECT_EQ(server->CountCommands("RETR"), 1u);
  EXPECT_EQ(server->CountCommands("STOR"), 1u);
  EXPECT_EQ(server->Commands().front(), "USER " + server->User());

  std::filesystem::path home = server->Home();
  server->Stop();
  EXPECT_FALSE(std::filesystem::exists(home)) << "Stop() left the home directory behind";
  // A stopped server leaves nothing that keeps the next one from starting.
  EXPECT_NO_THROW(server = TRealFtpServer::Start(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServersTest,
                         testing::Values(EFtpServerKind::Pyftpdlib, EFtpServerKind::Vsftpd),
                         [](const testing::TestParamInfo<EFtpServerKind>& row) {
                           return std::string(KindName(row.param));
                         });

}  // namespace

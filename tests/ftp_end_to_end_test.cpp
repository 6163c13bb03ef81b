// The built program against real FTP servers on loopback addresses of their
// own, in the terminal interface, answering the retry dialog through stdin.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "RealFtpServers.h"

namespace {

using namespace std::chrono_literals;

std::string Unix(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') out.push_back(c);
    }
    return out;
}

class EndToEndTest : public testing::TestWithParam<EFtpServerKind> {
protected:
    void SetUp() override {
        if (std::string why = TRealFtpServer::UnavailableReason(GetParam()); !why.empty()) GTEST_SKIP() << why;
        Server = TRealFtpServer::Start(GetParam());
    }

    TInformation Job(int send, const std::string& remote, const std::string& local) const {
        return TInformation{.Server = Server->Address(),
                            .Username = Server->User(),
                            .Password = Server->Password(),
                            .Send = send,
                            .RemotePath = remote,
                            .LocalPath = local};
    }

    // Runs the program on an information file; stdin answers the dialogs.
    TProgramResult Run(const TInformation& information, const std::string& answers = "") {
        std::filesystem::path ini = WriteInformationFile(Local.Path(), information);
        TProgramResult result = RunProgram(TAVIX_BINARY, {.Args = {ini.string()},
                                                          .Env = {{"TAVIX_FTP_UI", "console"}},
                                                          .StdinText = answers,
                                                          .Timeout = 120s});
        EXPECT_FALSE(std::filesystem::exists(ini)) << "the information file is deleted once read";
        EXPECT_EQ(result.ExitCode, 0) << Describe(result) << Server->Output();
        return result;
    }

    static std::size_t Occurrences(const std::string& text, const std::string& part) {
        std::size_t count = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
        return count;
    }

    std::unique_ptr<TRealFtpServer> Server;
    TTempDir Local{"tavix-e2e"};
};

TEST_P(EndToEndTest, DownloadsAndUploadsByteForByte) {
    const std::size_t sizes[] = {0, 1, 1024 * 1024, 64 * 1024 * 1024};
    for (std::size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string name = "file" + std::to_string(size) + ".bin";
        const std::string served = PatternBytes(size, static_cast<std::uint32_t>(size + 3));
        Server->PutFile(name, served);
        TProgramResult download = Run(Job(0, "/" + name, (Local / ("got-" + name)).string()));
        EXPECT_TRUE(ReadFile(Local / ("got-" + name)) == served) << Describe(download);
        EXPECT_NE(download.Stderr.find("Transfering: /" + name), std::string::npos);
        EXPECT_EQ(download.Stderr.find("[Unable login to server...]"), std::string::npos) << Describe(download);

        const std::string upload = PatternBytes(size, static_cast<std::uint32_t>(size + 7));
        WriteFile(Local / ("up-" + name), upload);
        TProgramResult stored = Run(Job(1, "/up-" + name, (Local / ("up-" + name)).string()));
        EXPECT_TRUE(ReadFile(Server->Home() / ("up-" + name)) == upload) << Describe(stored);
    }
    EXPECT_EQ(Server->CountCommands("TYPE"), 8u);
    EXPECT_EQ(Server->CountCommands("QUIT"), 8u);
}

TEST_P(EndToEndTest, TextFileMovesInTextType) {
    const std::string text = "first line\r\nsecond line\r\n";
    Server->PutFile("readme.txt", text);
    Run(Job(0, "/readme.txt", (Local / "readme.txt").string()));
    EXPECT_EQ(Unix(ReadFile(Local / "readme.txt")), Unix(text));
    std::vector<std::string> commands = Server->Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "TYPE A"), commands.end());
}

TEST_P(EndToEndTest, WrongPasswordRetriesWithFreshLoginsThenAsks) {
    TInformation job = Job(0, "/nothing.bin", (Local / "nothing.bin").string());
    job.Password = "wrong-password";
    TProgramResult result = Run(job, "o\nc\n");
    // Ten attempts, the dialog, one more attempt, the dialog again, cancel.
    EXPECT_EQ(Server->CountCommands("USER"), 11u) << Describe(result);
    EXPECT_EQ(Server->CountCommands("RETR"), 0u);
    EXPECT_EQ(Occurrences(result.Stderr, "[Unable login to server...]"), 2u);
    EXPECT_EQ(result.Stderr.find("[Error]"), std::string::npos) << "a refused login shows no error box";
    EXPECT_NE(result.Stderr.find("[status] Closing connection..."), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Local / "nothing.bin"));
}

TEST_P(EndToEndTest, MissingRemoteFileReusesTheOpenControlConnection) {
    TProgramResult result = Run(Job(0, "/missing.bin", (Local / "missing.bin").string()), "c\n");
    EXPECT_EQ(Server->CountCommands("USER"), 1u) << Describe(result);
    EXPECT_EQ(Server->CountCommands("RETR"), 10u);
    EXPECT_EQ(Occurrences(result.Stderr, "[Unable login to server...]"), 1u);
    EXPECT_FALSE(std::filesystem::exists(Local / "missing.bin"));
}

TEST_P(EndToEndTest, MissingLocalFileForAnUploadStoresNothing) {
    TProgramResult result = Run(Job(1, "/never.bin", (Local / "absent.bin").string()));  // end of input: no choice
    EXPECT_EQ(Server->CountCommands("USER"), 1u) << Describe(result);
    EXPECT_EQ(Server->CountCommands("STOR"), 0u);
    EXPECT_EQ(Occurrences(result.Stderr, "[Unable login to server...]"), 1u);
    EXPECT_FALSE(std::filesystem::exists(Server->Home() / "never.bin"));
}

INSTANTIATE_TEST_SUITE_P(Servers, EndToEndTest, testing::Values(EFtpServerKind::Pyftpdlib, EFtpServerKind::Vsftpd),
                         [](const testing::TestParamInfo<EFtpServerKind>& row) {
                             return std::string(KindName(row.param));
                         });

}  // namespace
